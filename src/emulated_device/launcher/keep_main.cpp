// The tarvel-keep program: shows or sets the keep list ("keep" in user.reg)
// of an emulated device, so that nobody writes its UTF-16 bytes by hand.
// It finds, locks and checks the device folder as tarvel does, and writes
// through the emulated device's registry calls, as any program on the
// device would.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "coredll.h"
#include "device_folder.h"
#include "host.h"
#include "keep_list.h"
#include "purge/keep.h"
#include "run/run.h"

namespace {

using namespace tarvel::launcher;

const char kUsage[] =
    "Usage: tarvel-keep\n"
    "   or: tarvel-keep --set [PATTERN]...\n"
    "Shows the keep list of the emulated device, one pattern a line, or sets it\n"
    "to the patterns given (none: an empty list). A pattern is a device path\n"
    "from the root, such as '\\My Documents\\Setup\\player.CAB'; each part may hold\n"
    "\"*\" (any run of characters) and \"?\" (any one), matched without regard to\n"
    "case, and never across a \"\\\". Every clean-up leaves what a pattern names,\n"
    "and all below it, in place. At most 32 patterns of at most 259 characters.\n"
    "TARVEL_DEVICE names the device folder, as for tarvel. See tarvel(1).\n";

int Refuse(const std::string &message)
{
  std::fprintf(stderr, "tarvel-keep: %s\n", message.c_str());
  return kCannotStart;
}

// Writes the list through the options key, made if it is missing.
std::optional<std::string> SetKeepList(const std::vector<std::string> &patterns)
{
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, OptionsKeyPath(), 0, nullptr, 0, 0, nullptr,
                                &key, &disposition);
  if (status == ERROR_SUCCESS) {
    std::vector<unsigned char> data = KeepListData(patterns);
    status = RegSetValueExW(key, u"keep", 0, REG_MULTI_SZ, data.data(),
                            static_cast<DWORD>(data.size()));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    return "the keep list could not be written (error " + std::to_string(status) + ")";
  }
  return tarvel::host::FinishRegistry();
}

}  // namespace

int main(int argc, char **argv)
{
  std::vector<std::string> arguments(argv + 1, argv + argc);
  bool set = !arguments.empty() && arguments[0] == "--set";
  if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (!set && !arguments.empty()) {
    return Refuse("unknown argument '" + arguments[0] + "'; try 'tarvel-keep --help'");
  }
  std::vector<std::string> patterns(arguments.begin() + (set ? 1 : 0), arguments.end());
  if (auto why = CheckPatterns(patterns)) {
    return Refuse(*why + "; nothing was changed");
  }
  DeviceLocation location;
  if (auto why = LocateDevice(location)) {
    return Refuse(*why);
  }
  TakenDevice device;
  if (auto why = TakeDevice(location, set, device)) {
    return Refuse(*why);
  }
  if (auto why = tarvel::host::OpenDevice(device.Fd())) {
    return Refuse(device.Folder() + *why);
  }
  if (auto why = tarvel::host::CheckRegistryFile()) {
    return Refuse(location.path + "/user.reg" + (why->starts_with(":") ? "" : " ") + *why +
                  "; nothing was done");
  }
  device.Keep();
  if (set) {
    if (auto why = SetKeepList(patterns)) {
      tarvel::host::CloseDevice();
      return Refuse(device.Folder() + "/user.reg: " + *why);
    }
  } else {
    PrintKeepList();
  }
  tarvel::host::CloseDevice();
  return std::fflush(stdout) == 0 ? 0 : 1;
}
