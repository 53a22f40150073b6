// The process entry of the handheld's program. Windows CE starts the main
// thread here with WinMain's four arguments and ends the process with what
// it returns; there is no C runtime to set up: the device program needs no
// static constructors (the linker script refuses any) and no heap of the
// runtime's.
#include "coredll.h"

extern "C" int WinMainCRTStartup(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine,
                                 int show)
{
  return WinMain(instance, previous, commandLine, show);
}
