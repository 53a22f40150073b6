// A fresh device folder in a temporary place, opened as the emulated
// device, for the host platform's tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "coredll.h"
#include "host.h"

namespace fs = std::filesystem;

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    char pattern[] = "/tmp/tarvel-host-XXXXXX";
    base_ = mkdtemp(pattern);
    device_ = base_ / "device";
    fs::create_directories(device_ / "root");
    ASSERT_FALSE(tarvel::host::OpenDevice(device_).has_value());
  }
  void TearDown() override
  {
    tarvel::host::CloseDevice();
    // Read-only folders would stop the clean-up.
    for (auto &entry : fs::recursive_directory_iterator(base_)) {
      if (!entry.is_symlink()) {
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
      }
    }
    fs::remove_all(base_);
  }

  fs::path Root() const { return device_ / "root"; }
  fs::path Outside() const { return base_ / "outside"; }
  void Write(const fs::path &path, const std::string &text = "x")
  {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  std::string Read(const fs::path &path)
  {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A command's exit status (-1 when a signal ended it), stdout and stderr.
  struct Outcome {
    int status;
    std::string out;
    std::string err;
  };
  // Runs a shell command line, its stdout and stderr each to a file.
  Outcome RunCommand(const std::string &command)
  {
    std::string line = command + " >'" + (base_ / "out").string() + "' 2>'" +
                       (base_ / "err").string() + "'";
    int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(base_ / "out"), Read(base_ / "err")};
  }
  // Fills `folder` with the sample handheld (tools/make-sample-device.py).
  void MakeSampleDevice(const fs::path &folder)
  {
    std::string command = "python3 '" TARVEL_SAMPLE_MAKER "' '" + folder.string() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }
  // Every path below `folder`, relative to it, sorted.
  std::vector<std::string> Files(const fs::path &folder)
  {
    std::vector<std::string> paths;
    for (auto &entry : fs::recursive_directory_iterator(folder)) {
      paths.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  fs::path base_;
  fs::path device_;
};

// Sets or clears inode flags (as chattr does); false where the file system
// has none.
inline bool SetInodeFlags(const fs::path &path, int flags)
{
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  int current = 0;
  bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &current) == 0 &&
              ioctl(fd, FS_IOC_SETFLAGS, &(current = (current & ~(FS_IMMUTABLE_FL | FS_APPEND_FL)) | flags)) == 0;
  if (fd >= 0) {
    close(fd);
  }
  return done;
}
