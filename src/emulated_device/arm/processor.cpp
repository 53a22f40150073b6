// Running the image on Unicorn's emulated ARM processor: the image mapped
// page by page with its sections' protections, the stack below it, one
// thunk a served import; WinMain entered with the program's instance and
// an empty command line, the run ended when it returns or when the
// processor meets what a handheld would stop the program for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "coredll.h"
#include "guest.h"
#include "host.h"

namespace tarvel::arm {

const char kProcessorName[] = "StrongARM SA-1110";

namespace {

constexpr uc_cpu_arm kProcessor = UC_CPU_ARM_SA1110;
// The thunk every served import's address-table entry points at: MOV PC, LR.
constexpr std::uint32_t kReturnToCaller = 0xE1A0F00E;
// The largest file read as a program.
constexpr off_t kLargestFile = 16 << 20;
// The status register's Thumb state bit.
constexpr std::uint32_t kThumbBit = 1u << 5;
// Once the run is asked to wind down, the instructions a program may still
// run to reach its end. The device then ends every search and removes
// nothing, so the handheld's program ends within a few thousand
// instructions (a whole run of the sample device takes about 150,000); a
// program that is still running after this many never calls the device
// again, or loops, and is stopped, so that the first Ctrl-C ends every run.
constexpr std::uint64_t kWindDownInstructions = 100'000'000;

std::optional<std::string> ReadFile(const std::string &path, std::vector<std::uint8_t> &data)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return std::strerror(errno);
  }
  struct stat status;
  std::optional<std::string> why;
  if (fstat(fd, &status) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    why = "not a regular file";
  } else if (status.st_size > kLargestFile) {
    why = "larger than 16 MiB, which no handheld program is";
  } else {
    data.resize(static_cast<std::size_t>(status.st_size));
    std::size_t got = 0;
    while (got < data.size()) {
      ssize_t n = read(fd, data.data() + got, data.size() - got);
      if (n <= 0) {
        why = n < 0 ? std::strerror(errno) : "it changed while it was read";
        break;
      }
      got += static_cast<std::size_t>(n);
    }
  }
  close(fd);
  return why;
}

// What the hooks share during a run.
struct Run {
  Guest *guest = nullptr;
  const Image *image = nullptr;
  std::string stopped;
  std::uint64_t instructions = 0;
  // The count when the run was first seen winding down.
  std::optional<std::uint64_t> windDownAt;
  // The last memory access that failed, for the message.
  std::string fault;
};

void Stop(uc_engine *engine, Run &run, const std::string &why)
{
  if (run.stopped.empty()) {
    run.stopped = why;
  }
  uc_emu_stop(engine);
}

// A thunk reached: the call is served, then the thunk's MOV PC, LR returns.
void OnThunk(uc_engine *engine, std::uint64_t address, std::uint32_t, void *data)
{
  Run &run = *static_cast<Run *>(data);
  std::size_t index = (address - kThunkBase) / 4;
  if (index >= run.image->imports.size()) {
    return;
  }
  const ServedImport &served = *run.image->imports[index].served;
  try {
    served.serve(*run.guest);
  } catch (const GuestFault &fault) {
    Stop(engine, run, std::string(served.name) + " was given " + fault.what);
  }
}

// Every translated block: counted, and refused in Thumb state (the device
// program is ARM code; the StrongARM has no Thumb state at all).
void OnBlock(uc_engine *engine, std::uint64_t address, std::uint32_t size, void *data)
{
  Run &run = *static_cast<Run *>(data);
  run.instructions += size / 4;
  if (tarvel::host::WindingDown()) {
    if (!run.windDownAt) {
      run.windDownAt = run.instructions;
    } else if (run.instructions - *run.windDownAt > kWindDownInstructions) {
      Stop(engine, run, "it did not end within " + std::to_string(kWindDownInstructions) +
                            " instructions of the interruption");
    }
  }
  std::uint32_t cpsr = 0;
  uc_reg_read(engine, UC_ARM_REG_CPSR, &cpsr);
  if (cpsr & kThumbBit) {
    Stop(engine, run, "it switched to Thumb state at " + Hex(address));
  }
}

bool OnBadAccess(uc_engine *, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                 void *data)
{
  Run &run = *static_cast<Run *>(data);
  const char *what = "an access of";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
      what = "a read of";
      break;
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
      what = "a write to";
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      what = "a jump to";
      break;
    default:
      break;
  }
  bool unmapped = type == UC_MEM_READ_UNMAPPED || type == UC_MEM_WRITE_UNMAPPED ||
                  type == UC_MEM_FETCH_UNMAPPED;
  run.fault = std::string("a memory fault: ") + what + " " + std::to_string(size) +
              " byte(s) at " + Hex(address) + (unmapped ? ", where it has no memory" :
                                            ", which that memory does not allow");
  return false;
}

}  // namespace

std::string Hex(std::uint64_t value)
{
  char text[24];
  std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
  return text;
}

// --- Handles ---

std::uint32_t Handles::ToGuest(const void *host)
{
  if (host == nullptr) {
    return 0;
  }
  if (host == INVALID_HANDLE_VALUE) {
    return 0xFFFFFFFFu;
  }
  if (host == HKEY_CURRENT_USER) {
    return 0x80000001u;
  }
  auto [at, added] = toGuest_.try_emplace(host, next_);
  if (added) {
    toHost_[next_] = const_cast<void *>(host);
    next_ += 4;
  }
  return at->second;
}

void *Handles::ToHost(std::uint32_t guest) const
{
  if (guest == 0xFFFFFFFFu) {
    return INVALID_HANDLE_VALUE;
  }
  if (guest == 0x80000001u) {
    return HKEY_CURRENT_USER;
  }
  auto at = toHost_.find(guest);
  return at != toHost_.end() ? at->second
                             : reinterpret_cast<void *>(static_cast<std::uintptr_t>(guest));
}

// --- Guest ---

std::uint32_t Guest::Argument(int index)
{
  static const int kRegisters[] = {UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3};
  std::uint32_t value = 0;
  if (index < 4) {
    uc_reg_read(engine_, kRegisters[index], &value);
    return value;
  }
  std::uint32_t sp = 0;
  uc_reg_read(engine_, UC_ARM_REG_SP, &sp);
  return ReadWord(sp + 4 * (index - 4));
}

void Guest::Return(std::uint32_t value)
{
  uc_reg_write(engine_, UC_ARM_REG_R0, &value);
}

std::vector<std::uint8_t> Guest::Read(std::uint32_t address, std::uint32_t size)
{
  // No guest has more memory than its largest image, stack and thunks: a
  // larger size is refused before anything is allocated for it.
  const std::uint32_t kMostMemory = 32u << 20;
  std::vector<std::uint8_t> bytes;
  bool readable = size <= kMostMemory && static_cast<std::uint64_t>(address) + size <= 0x100000000ull;
  if (readable) {
    bytes.resize(size);
    readable = uc_mem_read(engine_, address, bytes.data(), size) == UC_ERR_OK;
  }
  if (!readable) {
    throw GuestFault{"a pointer to " + std::to_string(size) + " bytes at " + Hex(address) +
                     " that it has no memory for"};
  }
  return bytes;
}

void Guest::Write(std::uint32_t address, const void *data, std::size_t size)
{
  // Only where the program itself may write: the call writes for it.
  uc_mem_region *regions = nullptr;
  std::uint32_t count = 0;
  bool writable = uc_mem_regions(engine_, &regions, &count) == UC_ERR_OK;
  for (std::uint64_t at = address; writable && at < address + size; at = (at | (kPage - 1)) + 1) {
    bool found = false;
    for (std::uint32_t i = 0; i < count; ++i) {
      found = found || (regions[i].begin <= at && at <= regions[i].end &&
                        (regions[i].perms & UC_PROT_WRITE));
    }
    writable = found;
  }
  uc_free(regions);
  if (!writable || uc_mem_write(engine_, address, data, size) != UC_ERR_OK) {
    throw GuestFault{"a pointer to " + std::to_string(size) + " bytes at " + Hex(address) +
                     " that it may not write"};
  }
}

std::uint32_t Guest::ReadWord(std::uint32_t address)
{
  auto bytes = Read(address, 4);
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void Guest::WriteWord(std::uint32_t address, std::uint32_t value)
{
  std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                           static_cast<std::uint8_t>(value >> 16),
                           static_cast<std::uint8_t>(value >> 24)};
  Write(address, bytes, 4);
}

std::u16string Guest::Text(std::uint32_t address)
{
  // Longer than any path or text of the device (32,767 code units is the
  // longest path Windows knows).
  const std::size_t kLongest = 32767;
  std::u16string text;
  std::uint8_t unit[2];
  for (std::uint64_t at = address;; at += 2) {
    if (text.size() > kLongest || at + 2 > 0x100000000ull ||
        uc_mem_read(engine_, at, unit, 2) != UC_ERR_OK) {
      throw GuestFault{"a string at " + Hex(address) + " that does not end in its memory"};
    }
    char16_t c = static_cast<char16_t>(unit[0] | unit[1] << 8);
    if (c == 0) {
      return text;
    }
    text += c;
  }
}

// --- Program ---

Program::Program() : loaded_(std::make_unique<LoadedProgram>()) {}
Program::~Program() = default;

std::optional<std::string> Program::Load(const std::string &path, const LoadOptions &options,
                                         std::unique_ptr<Program> &program)
{
  std::vector<std::uint8_t> file;
  if (auto why = ReadFile(path, file)) {
    return why;
  }
  std::unique_ptr<Program> loaded(new Program());
  if (auto why = ReadImage(file, options, loaded->loaded_->image)) {
    return why;
  }
  if (loaded->loaded_->image.imports.size() * 4 + 4 > kPage) {
    return "it imports more calls than the emulated device has thunks for";
  }
  program = std::move(loaded);
  return std::nullopt;
}

RunOutcome Program::Run()
{
  const Image &image = loaded_->image;
  RunOutcome outcome;
  uc_engine *engine = nullptr;
  if (uc_open(UC_ARCH_ARM, UC_MODE_ARM, &engine) != UC_ERR_OK) {
    outcome.stopped = "the emulated processor could not be started";
    return outcome;
  }
  Guest guest(engine, image.base);
  struct Run run;
  run.guest = &guest;
  run.image = &image;
  std::uint32_t stackBottom = kStackTop - image.stackReserve;
  std::uint32_t exitAddress = kThunkBase + 4 * static_cast<std::uint32_t>(image.imports.size());

  bool ready = uc_ctl_set_cpu_model(engine, kProcessor) == UC_ERR_OK;
  // The image, run by run of pages of one protection.
  std::vector<std::uint8_t> memory = image.memory;
  for (std::size_t i = 0; i < image.imports.size(); ++i) {
    std::uint32_t thunk = kThunkBase + 4 * static_cast<std::uint32_t>(i);
    std::memcpy(&memory[image.imports[i].slot - image.base], &thunk, 4);
  }
  for (std::size_t first = 0; ready && first < image.pageProtection.size();) {
    std::size_t last = first;
    while (last + 1 < image.pageProtection.size() &&
           image.pageProtection[last + 1] == image.pageProtection[first]) {
      ++last;
    }
    std::uint32_t at = image.base + static_cast<std::uint32_t>(first) * kPage;
    std::uint32_t size = static_cast<std::uint32_t>(last - first + 1) * kPage;
    ready = uc_mem_map(engine, at, size, image.pageProtection[first]) == UC_ERR_OK &&
            uc_mem_write(engine, at, &memory[at - image.base], size) == UC_ERR_OK;
    first = last + 1;
  }
  std::vector<std::uint32_t> thunks(kPage / 4, kReturnToCaller);
  ready = ready &&
          uc_mem_map(engine, stackBottom, image.stackReserve, UC_PROT_READ | UC_PROT_WRITE) == UC_ERR_OK &&
          uc_mem_map(engine, kCommandLine, kPage, UC_PROT_READ) == UC_ERR_OK &&
          uc_mem_map(engine, kThunkBase, kPage, UC_PROT_READ | UC_PROT_EXEC) == UC_ERR_OK &&
          uc_mem_write(engine, kThunkBase, thunks.data(), kPage) == UC_ERR_OK;
  uc_hook thunkHook, blockHook, faultHook;
  ready = ready &&
          uc_hook_add(engine, &thunkHook, UC_HOOK_CODE, reinterpret_cast<void *>(OnThunk), &run,
                      kThunkBase, exitAddress - 1) == UC_ERR_OK &&
          uc_hook_add(engine, &blockHook, UC_HOOK_BLOCK, reinterpret_cast<void *>(OnBlock), &run, 1,
                      0) == UC_ERR_OK &&
          uc_hook_add(engine, &faultHook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnBadAccess),
                      &run, 1, 0) == UC_ERR_OK;
  // WinMain(instance, no previous instance, an empty command line,
  // SW_SHOWNORMAL), as the built-in program is called; it returns to the
  // exit address, where the run ends.
  std::uint32_t registers[][2] = {{UC_ARM_REG_R0, image.base}, {UC_ARM_REG_R1, 0},
                                  {UC_ARM_REG_R2, kCommandLine}, {UC_ARM_REG_R3, 1},
                                  {UC_ARM_REG_SP, kStackTop}, {UC_ARM_REG_LR, exitAddress}};
  for (auto &[reg, value] : registers) {
    ready = ready && uc_reg_write(engine, static_cast<int>(reg), &value) == UC_ERR_OK;
  }
  if (!ready) {
    uc_close(engine);
    outcome.stopped = "the emulated processor could not be prepared";
    return outcome;
  }

  uc_err error = uc_emu_start(engine, image.entry, exitAddress, 0, 0);
  std::uint32_t pc = 0;
  uc_reg_read(engine, UC_ARM_REG_PC, &pc);
  outcome.instructions = run.instructions;
  if (!run.stopped.empty()) {
    outcome.stopped = run.stopped;
  } else if (error != UC_ERR_OK) {
    if (!run.fault.empty()) {
      outcome.stopped = run.fault + " (near " + Hex(pc) + ")";
    } else if (error == UC_ERR_INSN_INVALID) {
      outcome.stopped = std::string("an instruction the ") + kProcessorName +
                        " does not have, at " + Hex(pc);
    } else {
      outcome.stopped = std::string("the processor stopped at ") + Hex(pc) + ": " + uc_strerror(error);
    }
  } else if (pc != exitAddress) {
    outcome.stopped = "the processor stopped at " + Hex(pc) + " before WinMain returned";
  } else {
    std::uint32_t result = 0;
    uc_reg_read(engine, UC_ARM_REG_R0, &result);
    outcome.result = static_cast<int>(result);
  }
  uc_close(engine);
  return outcome;
}

}  // namespace tarvel::arm
