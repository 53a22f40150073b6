// The emulated ARM processor: runs the handheld's own program, a Windows CE
// ARM executable, on the emulated device instead of the built-in device
// program. The image is loaded and its imports bound before anything of the
// device is touched; each import it calls is served by the emulated
// device's own implementation of that call (imports.cpp), so the lock, the
// store, the preview, the list and the trace are the same for both
// programs.
//
// This folder: pe_image.cpp reads and relocates the image, imports.cpp is
// the table of served calls with their marshalling, processor.cpp runs the
// image on Unicorn's emulated processor, guest.h is what they share.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tarvel::arm {

class LoadedProgram;

// Where an image is loaded: its own base unless `base` is given (a multiple
// of 64 KiB), when its base relocations are applied.
struct LoadOptions {
  std::optional<std::uint32_t> base;
};

// How a run on the emulated processor ended.
struct RunOutcome {
  // WinMain's result, when the program returned.
  std::optional<int> result;
  // Why it stopped otherwise: a memory fault, an undefined instruction, a
  // switch to Thumb state, a call that could not be served.
  std::string stopped;
  // Instructions executed, counted by translated block.
  std::uint64_t instructions = 0;
};

// The processor model that runs the program: the oldest of the handhelds'
// processors, so that an instruction newer than ARMv4 is caught.
extern const char kProcessorName[];

class Program {
 public:
  // Reads the executable at `path` and checks that it can run here: a
  // Windows CE ARM program whose every import the emulated device serves.
  // Gives why not, as the rest of a sentence that begins with the path.
  static std::optional<std::string> Load(const std::string &path, const LoadOptions &options,
                                         std::unique_ptr<Program> &program);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  // Runs WinMain on the emulated processor against the open device.
  RunOutcome Run();

 private:
  Program();
  std::unique_ptr<LoadedProgram> loaded_;
};

// Reads an address as written on the command line: decimal, or hex after
// 0x; a multiple of 64 KiB. Nothing when it is not one.
std::optional<std::uint32_t> ParseBase(const std::string &text);

}  // namespace tarvel::arm
