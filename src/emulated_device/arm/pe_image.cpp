// Reading a Windows CE ARM executable: its headers checked, its sections
// placed at the load address with their protections, its base relocations
// applied when it is loaded elsewhere than its own base, its imports looked
// up in the table of served calls. Every offset and size read from the file
// is checked before use: a file that is not what it claims is refused, never
// read beyond.
#include <algorithm>
#include <cstring>

#include "guest.h"

namespace tarvel::arm {

namespace {

constexpr std::uint16_t kMachineArm = 0x01C0;
constexpr std::uint16_t kSubsystemWindowsCeGui = 9;
constexpr std::uint16_t kCharacteristicRelocsStripped = 0x0001;
constexpr std::uint16_t kCharacteristicExecutable = 0x0002;
constexpr std::uint16_t kCharacteristicDll = 0x2000;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;
// The largest image and stack taken: far beyond any handheld program's.
constexpr std::uint32_t kLargestImage = 16u << 20;
constexpr std::uint32_t kLargestStack = 1u << 20;
// Bounds of the import directory's walk.
constexpr int kMostLibraries = 64;
constexpr int kMostFunctions = 4096;

// Little-endian reads from a byte range; nothing when beyond it.
class Bytes {
 public:
  Bytes(const std::vector<std::uint8_t> &data) : data_(data) {}
  bool Has(std::uint64_t at, std::uint64_t size) const { return at + size <= data_.size(); }
  std::optional<std::uint32_t> Word(std::uint64_t at) const { return Little(at, 4); }
  std::optional<std::uint32_t> Half(std::uint64_t at) const { return Little(at, 2); }

 private:
  std::optional<std::uint32_t> Little(std::uint64_t at, int size) const
  {
    if (!Has(at, size)) {
      return std::nullopt;
    }
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
      value = value << 8 | data_[at + i];
    }
    return value;
  }
  const std::vector<std::uint8_t> &data_;
};

std::uint32_t AlignUp(std::uint32_t value, std::uint32_t alignment)
{
  return (value + alignment - 1) / alignment * alignment;
}

// A zero-terminated ASCII name at `rva` of the image: nothing when it does
// not end inside it or holds other bytes.
std::optional<std::string> Name(const std::vector<std::uint8_t> &memory, std::uint32_t rva)
{
  std::string name;
  for (std::uint64_t at = rva; at < memory.size() && name.size() < 256; ++at) {
    if (memory[at] == 0) {
      return name;
    }
    if (memory[at] < 0x20 || memory[at] > 0x7E) {
      return std::nullopt;
    }
    name += static_cast<char>(memory[at]);
  }
  return std::nullopt;
}

std::optional<std::string> ApplyRelocations(Image &image, std::uint32_t directory,
                                            std::uint32_t size, std::uint32_t delta)
{
  Bytes memory(image.memory);
  if (!memory.Has(directory, size)) {
    return "its base relocations lie outside the image";
  }
  for (std::uint32_t at = directory; at + 8 <= directory + size;) {
    std::uint32_t page = *memory.Word(at);
    std::uint32_t blockSize = *memory.Word(at + 4);
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > directory + size - at) {
      return "a block of its base relocations has a size of " + std::to_string(blockSize) + " bytes";
    }
    for (std::uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
      std::uint32_t value = *memory.Half(entry);
      std::uint32_t type = value >> 12;
      std::uint32_t target = page + (value & 0xFFF);
      if (type == 0) {  // padding
        continue;
      }
      if (type != 3) {
        return "it has a base relocation of type " + std::to_string(type) +
               " (only HIGHLOW is served)";
      }
      if (!memory.Has(target, 4)) {
        return "a base relocation at " + Hex(target) + " lies outside the image";
      }
      std::uint32_t word = *memory.Word(target) + delta;
      for (int i = 0; i < 4; ++i) {
        image.memory[target + i] = static_cast<std::uint8_t>(word >> (8 * i));
      }
    }
    at += blockSize;
  }
  return std::nullopt;
}

std::optional<std::string> FindImports(Image &image, std::uint32_t directory)
{
  Bytes memory(image.memory);
  for (int library = 0;; ++library) {
    std::uint32_t descriptor = directory + 20 * library;
    if (library == kMostLibraries || !memory.Has(descriptor, 20)) {
      return "its import directory has no end inside the image";
    }
    std::uint32_t lookup = *memory.Word(descriptor);
    std::uint32_t nameRva = *memory.Word(descriptor + 12);
    std::uint32_t addresses = *memory.Word(descriptor + 16);
    if (nameRva == 0) {
      return std::nullopt;
    }
    auto libraryName = Name(image.memory, nameRva);
    if (!libraryName) {
      return "an imported library's name lies outside the image";
    }
    if (lookup == 0) {
      lookup = addresses;  // an address table that is its own lookup table
    }
    for (int function = 0;; ++function) {
      std::uint32_t entry = lookup + 4 * function;
      std::uint32_t slot = addresses + 4 * function;
      if (function == kMostFunctions || !memory.Has(entry, 4) || !memory.Has(slot, 4)) {
        return "its imports from " + *libraryName + " have no end inside the image";
      }
      std::uint32_t hintName = *memory.Word(entry);
      if (hintName == 0) {
        break;
      }
      if (hintName & 0x80000000u) {
        return "it imports ordinal " + std::to_string(hintName & 0xFFFF) + " from " + *libraryName +
               ", which the emulated device cannot serve (it serves calls by name)";
      }
      auto name = Name(image.memory, hintName + 2);
      if (!name) {
        return "the name of an import from " + *libraryName + " lies outside the image";
      }
      const ServedImport *served = FindServedImport(*libraryName, *name);
      if (served == nullptr) {
        return "it imports " + *name + " from " + *libraryName +
               ", which the emulated device does not serve";
      }
      image.imports.push_back({served, image.base + slot});
    }
  }
}

}  // namespace

std::optional<std::string> ReadImage(const std::vector<std::uint8_t> &file,
                                     const LoadOptions &options, Image &image)
{
  Bytes bytes(file);
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
    return "not a Windows executable (no MZ header)";
  }
  std::uint32_t pe = *bytes.Word(0x3C);
  if (!bytes.Has(pe, 24) || std::memcmp(&file[pe], "PE\0\0", 4) != 0) {
    return "not a Windows executable (no PE header)";
  }
  std::uint32_t machine = *bytes.Half(pe + 4);
  std::uint32_t sectionCount = *bytes.Half(pe + 6);
  std::uint32_t optionalSize = *bytes.Half(pe + 20);
  std::uint32_t characteristics = *bytes.Half(pe + 22);
  if (machine != kMachineArm) {
    return "not an ARM program (its machine is " + Hex(machine) + ", ARM is 0x1c0)";
  }
  if (!(characteristics & kCharacteristicExecutable) || (characteristics & kCharacteristicDll)) {
    return "not an executable program (a library or an object file)";
  }
  std::uint32_t o = pe + 24;
  if (optionalSize < 96 || !bytes.Has(o, optionalSize) || *bytes.Half(o) != 0x10B) {
    return "not a 32-bit PE image";
  }
  std::uint32_t subsystem = *bytes.Half(o + 68);
  if (subsystem != kSubsystemWindowsCeGui) {
    return "not a Windows CE program (its subsystem is " + std::to_string(subsystem) +
           ", Windows CE GUI is 9)";
  }
  std::uint32_t entry = *bytes.Word(o + 16);
  std::uint32_t preferred = *bytes.Word(o + 28);
  image.size = *bytes.Word(o + 56);
  std::uint32_t headerSize = *bytes.Word(o + 60);
  image.stackReserve = AlignUp(*bytes.Word(o + 72), kPage);
  std::uint32_t directoryCount = *bytes.Word(o + 92);
  auto directory = [&](std::uint32_t index) -> std::pair<std::uint32_t, std::uint32_t> {
    if (index >= directoryCount || 96 + 8 * index + 8 > optionalSize) {
      return {0, 0};
    }
    return {*bytes.Word(o + 96 + 8 * index), *bytes.Word(o + 96 + 8 * index + 4)};
  };
  if (image.size == 0 || image.size > kLargestImage || headerSize > image.size ||
      headerSize > file.size()) {
    return "its image size of " + std::to_string(image.size) + " bytes cannot be loaded";
  }
  if (image.stackReserve == 0 || image.stackReserve > kLargestStack) {
    return "its stack reserve of " + std::to_string(image.stackReserve) + " bytes cannot be given";
  }
  image.size = AlignUp(image.size, kPage);
  image.base = options.base.value_or(preferred);
  if (image.base % 0x10000 != 0 || image.base < kLowestBase ||
      image.base > kImagesEnd - image.size) {
    return "it cannot be loaded at " + Hex(image.base) + " (images go at multiples of 64 KiB from " +
           Hex(kLowestBase) + " to " + Hex(kImagesEnd) + ")";
  }

  image.memory.assign(image.size, 0);
  std::copy(file.begin(), file.begin() + headerSize, image.memory.begin());
  image.pageProtection.assign(image.size / kPage, UC_PROT_READ);
  bool entryInCode = false;
  std::uint32_t table = o + optionalSize;
  if (!bytes.Has(table, 40ull * sectionCount)) {
    return "its section table lies outside the file";
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    std::uint32_t at = table + 40 * i;
    std::uint32_t virtualSize = *bytes.Word(at + 8);
    std::uint32_t rva = *bytes.Word(at + 12);
    std::uint32_t rawSize = *bytes.Word(at + 16);
    std::uint32_t rawAt = *bytes.Word(at + 20);
    std::uint32_t flags = *bytes.Word(at + 36);
    std::string name(reinterpret_cast<const char *>(&file[at]),
                     strnlen(reinterpret_cast<const char *>(&file[at]), 8));
    std::uint32_t span = std::max(virtualSize, rawSize);
    if (rva < headerSize || static_cast<std::uint64_t>(rva) + span > image.size) {
      return "its section " + name + " lies outside the image";
    }
    std::uint32_t copied = std::min(rawSize, virtualSize == 0 ? rawSize : virtualSize);
    if (!bytes.Has(rawAt, copied)) {
      return "its section " + name + " lies outside the file";
    }
    std::copy(file.begin() + rawAt, file.begin() + rawAt + copied, image.memory.begin() + rva);
    std::uint32_t protection = UC_PROT_READ | (flags & kSectionWrite ? UC_PROT_WRITE : 0) |
                               (flags & kSectionExecute ? UC_PROT_EXEC : 0);
    for (std::uint32_t page = rva / kPage; page < AlignUp(rva + span, kPage) / kPage; ++page) {
      image.pageProtection[page] |= protection;
    }
    entryInCode = entryInCode || ((flags & kSectionExecute) && entry >= rva && entry < rva + span);
  }
  if (!entryInCode) {
    return "its entry point " + Hex(entry) + " is not in an executable section";
  }
  image.entry = image.base + entry;

  auto [relocations, relocationSize] = directory(5);
  if (image.base != preferred && (relocationSize == 0 || characteristics & kCharacteristicRelocsStripped)) {
    return "it has no base relocations, so it can only be loaded at " + Hex(preferred);
  }
  if (relocationSize != 0) {
    if (auto why = ApplyRelocations(image, relocations, relocationSize, image.base - preferred)) {
      return why;
    }
  }
  auto [imports, importSize] = directory(1);
  if (importSize != 0) {
    return FindImports(image, imports);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> ParseBase(const std::string &text)
{
  if (text.empty() || text.size() > 12) {
    return std::nullopt;
  }
  std::size_t used = 0;
  unsigned long long value = 0;
  try {
    value = std::stoull(text, &used, text.starts_with("0x") || text.starts_with("0X") ? 16 : 10);
  } catch (const std::exception &) {
    return std::nullopt;
  }
  if (used != text.size() || text[0] == '-' || text[0] == '+' || value > 0xFFFFFFFFull ||
      value % 0x10000 != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace tarvel::arm
