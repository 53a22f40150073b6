// The platform's debug output: the device program tells through it what the
// keep list kept. A handheld hands it to an attached debugger; the emulated
// device hands it to the launcher, which lists it.
#include "host.h"
#include "host_internal.h"
#include "trace.h"
#include "utf16.h"

namespace tarvel::host {

namespace {

std::function<void(std::u16string_view text)> onDebugOutput;

}  // namespace

void SetDebugOutputListener(std::function<void(std::u16string_view text)> listener)
{
  onDebugOutput = std::move(listener);
}

}  // namespace tarvel::host

using namespace tarvel::host;

extern "C" {

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString)
{
  if (lpOutputString != nullptr && onDebugOutput) {
    onDebugOutput(tarvel::TextView(lpOutputString));
  }
  Trace([&] { return tarvel::trace::OutputDebugStringW(lpOutputString); });
}

}  // extern "C"
