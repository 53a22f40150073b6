// libFuzzer target for the user.reg parser: no input crashes it or leaks,
// and what it parsed, written and parsed again, is the same registry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
  auto parsed = tarvel::regfile::Parse(
      std::string_view(reinterpret_cast<const char *>(data), size));
  if (auto *registry = std::get_if<tarvel::reg::Registry>(&parsed)) {
    std::string text = tarvel::regfile::Write(*registry);
    auto again = tarvel::regfile::Parse(text);
    auto *reparsed = std::get_if<tarvel::reg::Registry>(&again);
    if (reparsed == nullptr || !(*reparsed == *registry)) {
      std::abort();
    }
  }
  return 0;
}
