// What the parts of the emulated ARM processor share: the guest's address
// space, the guest as the served calls see it (arguments, memory, handles),
// the table of served imports and the loaded image.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arm_program.h"

namespace tarvel::arm {

// The guest's address space: the image between kLowestBase and kImagesEnd,
// the stack below kStackTop (unmapped pages on both sides, so that running
// off it faults), and one page of import thunks, a 4-byte thunk each (a
// return to the caller: the call is served when the processor reaches it),
// after them the address WinMain returns to.
constexpr std::uint32_t kLowestBase = 0x10000;
constexpr std::uint32_t kImagesEnd = 0x70000000;
constexpr std::uint32_t kStackTop = 0x7FF00000;
constexpr std::uint32_t kThunkBase = 0x7FFF0000;
constexpr std::uint32_t kPage = 0x1000;
// The command line WinMain is given: an empty wide string, on a page of its own.
constexpr std::uint32_t kCommandLine = 0x7FFE0000;

// An address or value in messages: "0x10000".
std::string Hex(std::uint64_t value);

// A fault of the guest program met while serving a call (a pointer to
// memory it does not have, a string without an end): the run stops.
struct GuestFault {
  std::string what;
};

// Host handles (64-bit pointers: keys, searches, icons) as 32-bit guest
// values and back. Null is 0, INVALID_HANDLE_VALUE is 0xFFFFFFFF and
// HKEY_CURRENT_USER 0x80000001 on both sides; any other host handle gets a
// guest value of its own the first time it crosses, and keeps it.
class Handles {
 public:
  std::uint32_t ToGuest(const void *host);
  // A guest value no host handle crossed as is passed on as the number it
  // is: the emulated device knows its handles and refuses it, as it
  // refuses any handle it did not give.
  void *ToHost(std::uint32_t guest) const;

 private:
  std::unordered_map<const void *, std::uint32_t> toGuest_;
  std::unordered_map<std::uint32_t, void *> toHost_;
  std::uint32_t next_ = 0x00001000;
};

// The guest as a served call sees it. Every access of guest memory that
// fails throws GuestFault.
class Guest {
 public:
  Guest(uc_engine *engine, std::uint32_t instance)
      : engine_(engine), instance_(instance), handles_(ProcessHandles())
  {
  }

  // The call's argument `index` (from 0): r0 to r3, then the stack's words.
  std::uint32_t Argument(int index);
  // The call's result, in r0.
  void Return(std::uint32_t value);

  std::vector<std::uint8_t> Read(std::uint32_t address, std::uint32_t size);
  void Write(std::uint32_t address, const void *data, std::size_t size);
  std::uint32_t ReadWord(std::uint32_t address);
  void WriteWord(std::uint32_t address, std::uint32_t value);
  // A zero-terminated UTF-16 string; at most 32,767 code units before its end.
  std::u16string Text(std::uint32_t address);

  // The program's instance handle: the address it is loaded at.
  std::uint32_t Instance() const { return instance_; }
  Handles &handles() { return handles_; }

 private:
  // The handles the program was given stay as long as the process, as on
  // the device: the icons it loads are never released, and stay reachable.
  static Handles &ProcessHandles()
  {
    static Handles *handles = new Handles;
    return *handles;
  }

  uc_engine *engine_;
  std::uint32_t instance_;
  Handles &handles_;
};

// One import the emulated device serves: its library, its name, and how a
// call is served (the arguments taken from the guest, the emulated device's
// own call made, its results given back).
struct ServedImport {
  const char *library;
  const char *name;
  void (*serve)(Guest &guest);
};

// The table of served imports (imports.cpp), and the entry for a library's
// function (the library's name without regard to case).
std::span<const ServedImport> ServedImports();
const ServedImport *FindServedImport(std::string_view library, std::string_view name);

// An image read, placed at its load address and relocated, its imports
// found in the table.
struct Image {
  std::uint32_t base = 0;
  std::uint32_t size = 0;
  std::uint32_t entry = 0;
  std::uint32_t stackReserve = 0;
  // The image's memory as loaded, `size` bytes; the address-table entries
  // are bound when it is mapped.
  std::vector<std::uint8_t> memory;
  // Each page's protection (UC_PROT_*), from its section's characteristics.
  std::vector<std::uint32_t> pageProtection;
  struct Import {
    const ServedImport *served;
    std::uint32_t slot;  // the address of its address-table entry
  };
  std::vector<Import> imports;
};

// Reads a PE file into `image`: nothing, or why it cannot run here.
std::optional<std::string> ReadImage(const std::vector<std::uint8_t> &file,
                                     const LoadOptions &options, Image &image);

class LoadedProgram {
 public:
  Image image;
};

}  // namespace tarvel::arm
