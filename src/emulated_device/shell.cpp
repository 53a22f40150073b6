// The shell's bubbles on standard output, the program's icon, and Sleep.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "aygshell.h"
#include "host.h"
#include "host_internal.h"
#include "trace.h"
#include "utf16.h"

// The program's icon file (resources/tarvel.ico), linked into the tarvel
// program; absent from builds that do not carry it.
extern "C" {
extern const unsigned char tarvel_icon_start[] __attribute__((weak));
extern const unsigned char tarvel_icon_end[] __attribute__((weak));
}

namespace tarvel::host {

namespace {

const int kIconGroup = 101;

// An icon handle: the image in the program's icon file that was asked for.
struct Icon {
  const unsigned char *image;
  std::size_t size;
  int width;
  int height;
};

unsigned ReadLittle(const unsigned char *at, int bytes)
{
  unsigned value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | at[i];
  }
  return value;
}

// Finds the image of the given size in an .ico file.
const Icon *FindIcon(const unsigned char *file, std::size_t size, int width, int height)
{
  if (file == nullptr || size < 6 || ReadLittle(file + 2, 2) != 1) {
    return nullptr;
  }
  unsigned count = ReadLittle(file + 4, 2);
  for (unsigned i = 0; i < count && 6 + 16 * (i + 1) <= size; ++i) {
    const unsigned char *entry = file + 6 + 16 * i;
    int w = entry[0] == 0 ? 256 : entry[0];
    int h = entry[1] == 0 ? 256 : entry[1];
    unsigned bytes = ReadLittle(entry + 8, 4);
    unsigned offset = ReadLittle(entry + 12, 4);
    if (w == width && h == height && offset <= size && bytes <= size - offset) {
      // Never released, as on the device.
      return new Icon{file + offset, bytes, w, h};
    }
  }
  return nullptr;
}

// The bubble's HTML as text: tags dropped, <br> as a line break, entities
// of the five kinds decoded, other white space as in HTML.
std::string HtmlAsText(const std::string &html)
{
  std::string text;
  for (std::size_t i = 0; i < html.size(); ++i) {
    char c = html[i];
    if (c == '<') {
      std::size_t close = html.find('>', i);
      if (close == std::string::npos) {
        break;
      }
      std::string tag = html.substr(i + 1, close - i - 1);
      for (auto &t : tag) t = static_cast<char>(std::tolower(static_cast<unsigned char>(t)));
      if (tag == "br" || tag == "br/" || tag == "br /") {
        text += '\n';
      }
      i = close;
    } else if (c == '&') {
      static const std::pair<const char *, char> entities[] = {
          {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&nbsp;", ' '}};
      bool decoded = false;
      for (const auto &[entity, character] : entities) {
        if (html.compare(i, std::strlen(entity), entity) == 0) {
          text += character;
          i += std::strlen(entity) - 1;
          decoded = true;
          break;
        }
      }
      if (!decoded) {
        text += c;
      }
    } else if (c == '\n' || c == '\r' || c == '\t') {
      text += ' ';
    } else {
      text += c;
    }
  }
  // Each line trimmed and indented.
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line.erase(0, line.find_first_not_of(' '));
    line.erase(line.find_last_not_of(' ') + 1);
    out += line.empty() ? "\n" : "  " + line + "\n";
    start = end + 1;
  }
  while (out.size() >= 2 && out.ends_with("\n\n")) out.pop_back();
  return out;
}

std::string Narrow(const WCHAR *text)
{
  return Utf16ToUtf8(TextView(text));
}

// What a bubble's title is followed by, and whether Sleep waits: chosen
// once, before the run. A preview's bubbles say so and never wait; a run's
// wait only when real time is asked for (SetRealTime).
const char *titleNote = "";
bool previewing = false;
bool realTime = false;

// The device's clock: the real time since the program started, and
// the time of every Sleep that did not wait, so that it reads as if the
// device had waited. The bubbles read it to say how long each was up.
const auto clockStart = std::chrono::steady_clock::now();
std::uint64_t sleptWithoutWaiting = 0;  // milliseconds

// When each bubble was shown, by the device's clock: the two of the
// program, by their identifiers.
struct ShownAt {
  DWORD id;
  std::uint64_t at;
};
ShownAt shownAt[2] = {{0, 0}, {0, 0}};

std::function<void()> beforeOutput;

void BeforeOutput()
{
  if (beforeOutput) {
    beforeOutput();
  }
}

const DWORD kResultBubble = 4713;
bool resultShown = false;

}  // namespace

void PreviewShell()
{
  titleNote = "  [preview: nothing is changed]";
  previewing = true;
}

void SetRealTime(bool wanted)
{
  realTime = wanted;
}

std::uint64_t DeviceMilliseconds()
{
  auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - clockStart);
  return static_cast<std::uint64_t>(real.count()) + sleptWithoutWaiting;
}

void SetBeforeShellOutput(std::function<void()> hook)
{
  beforeOutput = std::move(hook);
}

bool ResultShown()
{
  return resultShown;
}

HINSTANCE ProgramInstance()
{
  static const char module = 0;
  return reinterpret_cast<HINSTANCE>(const_cast<char *>(&module));
}

}  // namespace tarvel::host

using namespace tarvel::host;

extern "C" {

HANDLE WINAPI LoadImageW(HINSTANCE hInst, LPCWSTR name, UINT type, int cx, int cy, UINT fuLoad)
{
  const Icon *icon = nullptr;
  if (hInst == ProgramInstance() && reinterpret_cast<std::uintptr_t>(name) == kIconGroup &&
      type == IMAGE_ICON && tarvel_icon_start != nullptr && tarvel_icon_end != nullptr) {
    icon = FindIcon(tarvel_icon_start, static_cast<std::size_t>(tarvel_icon_end - tarvel_icon_start),
                    cx, cy);
  }
  auto result = const_cast<Icon *>(icon);
  Trace([&] { return tarvel::trace::LoadImageW(hInst, name, type, cx, cy, fuLoad, result); });
  return result;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
  Trace([&] { return tarvel::trace::Sleep(dwMilliseconds); });
  std::fflush(stdout);
  if (!realTime || previewing) {
    sleptWithoutWaiting += dwMilliseconds;
  } else {
    // In slices, so that a run told to wind down stops waiting at once;
    // what it does not wait, the clock counts as waited.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    while (!WindingDown() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(50),
                                                        until - std::chrono::steady_clock::now()));
    }
    auto left = until - std::chrono::steady_clock::now();
    if (left > std::chrono::steady_clock::duration::zero()) {
      sleptWithoutWaiting += static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
    }
  }
}

LRESULT WINAPI SHNotificationAdd(SHNOTIFICATIONDATA *pndAdd)
{
  LRESULT result = 0;
  if (pndAdd == nullptr) {
    result = ERROR_INVALID_PARAMETER;
  } else {
    BeforeOutput();
    std::printf("+-- %s%s\n%s", Narrow(pndAdd->pszTitle).c_str(), titleNote,
                HtmlAsText(Narrow(pndAdd->pszHTML)).c_str());
    std::fflush(stdout);
    resultShown = resultShown || pndAdd->dwID == kResultBubble;
    ShownAt &slot = shownAt[shownAt[0].id == pndAdd->dwID || shownAt[0].id == 0 ? 0 : 1];
    slot = {pndAdd->dwID, DeviceMilliseconds()};
  }
  Trace([&] { return tarvel::trace::SHNotificationAdd(pndAdd, result); });
  return result;
}

LRESULT WINAPI SHNotificationRemove(const CLSID *pclsid, DWORD dwID)
{
  BeforeOutput();
  std::string upFor;
  for (const ShownAt &shown : shownAt) {
    if (shown.id == dwID && dwID != 0) {
      char text[48];
      std::snprintf(text, sizeof text, " after %.1f s",
                    static_cast<double>(DeviceMilliseconds() - shown.at) / 1000.0);
      upFor = text;
    }
  }
  std::printf("+-- (bubble %u removed%s)\n", static_cast<unsigned>(dwID), upFor.c_str());
  std::fflush(stdout);
  Trace([&] { return tarvel::trace::SHNotificationRemove(pclsid, dwID, 0); });
  return 0;
}

}  // extern "C"
