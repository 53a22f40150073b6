// The keep list on the host: set with tarvel-keep, obeyed by a run and its
// preview alike, told as kept lines, counted in the summary, and a list
// that cannot be used said before the run and in the result bubble.
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "host_fixture.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

class KeepListTest : public HostTest {
 protected:
  Outcome Run(const fs::path &device, const std::string &program, const std::string &arguments)
  {
    return RunCommand("TARVEL_DEVICE='" + device.string() + "' timeout 10 '" + program + "' " +
                      arguments);
  }
  fs::path Sample(const std::string &name)
  {
    fs::path folder = base_ / name;
    MakeSampleDevice(folder);
    return folder;
  }
};

std::vector<std::string> Lines(const std::string &out, const std::string &prefix)
{
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) {
      lines.push_back(line);
    }
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The summary's numbers of a row, by its label's first words.
std::pair<long long, long long> Row(const std::string &out, const std::string &label)
{
  std::smatch match;
  std::regex row("\n  " + label + "[^\n]*?  +([0-9,]+) +([0-9,]+)");
  if (!std::regex_search(out, match, row)) {
    return {-1, -1};
  }
  auto number = [](std::string text) {
    std::erase(text, ',');
    return std::stoll(text);
  };
  return {number(match[1]), number(match[2])};
}

TEST_F(KeepListTest, RunAndPreviewKeepTheListedEntriesAndCountOnlyWhatGoes)
{
  fs::path plain = Sample("plain");
  fs::path kept = Sample("kept");
  Outcome set = Run(kept, TARVEL_KEEP_BINARY,
                    "--set '\\Windows\\profiles\\?\\Cookies\\*mybank*' "
                    "'\\My Documents\\Setup\\player.CAB' '\\temp\\keepme'");
  ASSERT_EQ(set.status, 0) << set.err;
  Outcome shown = Run(kept, TARVEL_KEEP_BINARY, "");
  EXPECT_EQ(shown.out,
            "\\Windows\\profiles\\?\\Cookies\\*mybank*\n\\My Documents\\Setup\\player.CAB\n"
            "\\temp\\keepme\n");
  EXPECT_EQ(shown.err, "");
  fs::path copy = base_ / "copy";
  ASSERT_EQ(std::system(("cp -a '" + kept.string() + "' '" + copy.string() + "'").c_str()), 0);

  Outcome without = Run(plain, TARVEL_BINARY, "-v");
  Outcome preview = Run(kept, TARVEL_BINARY, "-n");
  Outcome run = Run(copy, TARVEL_BINARY, "-v");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, Not(HasSubstr("warning")));

  // The same removals and kept lines in the preview and the run: all that
  // goes without the list but the kept entries and what is below them.
  auto removals = Lines(run.out, "\\");
  EXPECT_EQ(Lines(preview.out, "\\"), removals);
  auto keptLines = Lines(run.out, "kept ");
  EXPECT_EQ(Lines(preview.out, "kept "), keptLines);
  EXPECT_EQ(keptLines, (std::vector<std::string>{
                           "kept \\My Documents\\Setup\\player.CAB",
                           "kept \\Windows\\Profiles\\1\\Cookies\\owner@mybank.txt",
                           "kept \\Windows\\Profiles\\2\\Cookies\\owner@mybank.txt",
                           "kept \\temp\\keepme"}));
  std::vector<std::string> expected;
  for (const auto &line : Lines(without.out, "\\")) {
    if (!line.starts_with("\\temp\\keepme\\") && line.find("mybank") == std::string::npos &&
        !line.starts_with("\\My Documents\\Setup\\player.CAB")) {
      expected.push_back(line);
    }
  }
  EXPECT_EQ(removals, expected);
  EXPECT_EQ(removals.size() + 7, Lines(without.out, "\\").size());  // 5 files, 2 folders
  fs::path root = copy / "root";
  for (const char *path : {"temp/keepme/session.dat", "temp/keepme/cache/part1.bin",
                           "My Documents/Setup/player.CAB",
                           "Windows/Profiles/1/Cookies/owner@mybank.txt"}) {
    EXPECT_TRUE(fs::exists(root / path)) << path;
  }
  EXPECT_FALSE(fs::exists(root / "My Documents/Setup/codec.CAB"));

  // The summary adds up: the categories make the run's total, which is
  // what the list names and the statistics store; the kept count is the
  // kept lines'.
  long long files = 0, bytes = 0, listedFiles = 0, listedBytes = 0;
  for (const char *category : {"temporary folders", "browser data", "temporary files",
                               "installer archives", "storage card"}) {
    auto [f, b] = Row(run.out, category);
    files += f;
    bytes += b;
  }
  for (const auto &line : removals) {
    if (std::size_t tab = line.find('\t'); tab != std::string::npos && line[tab + 1] != '\t') {
      ++listedFiles;
      listedBytes += std::stoll(line.substr(tab + 1));
    }
  }
  EXPECT_EQ(Row(run.out, "in all"), std::make_pair(files, bytes));
  EXPECT_EQ(Row(run.out, "in all"), std::make_pair(listedFiles, listedBytes));
  EXPECT_EQ(Row(run.out, "lifetime totals"), std::make_pair(listedFiles, listedBytes));
  EXPECT_EQ(Row(preview.out, "in all"), Row(run.out, "in all"));
  EXPECT_THAT(run.out, HasSubstr("The keep list kept 4 file(s) and folder(s)"));
}

TEST_F(KeepListTest, ListThatCannotBeUsedRemovesNothingAndBothSidesSayWhy)
{
  fs::path device = Sample("bad");
  // "\temp" and "a": the second is not from the root.
  std::ofstream(device / "user.reg", std::ios::app)
      << "\n[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n"
         "\"keep\"=hex(7):5c,00,74,00,65,00,6d,00,70,00,00,00,61,00,00,00,00,00\n";
  std::string before = Read(device / "user.reg");

  Outcome run = Run(device, TARVEL_BINARY, "-v");

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("\"keep\" in user.reg: pattern 2, \"a\", is malformed: it does "
                                 "not begin with \"\\\", so the run will remove nothing"));
  EXPECT_THAT(Lines(run.out, "\\"), IsEmpty());
  EXPECT_THAT(run.out, HasSubstr("Keep list unreadable: nothing removed."));
  EXPECT_THAT(run.out, Not(HasSubstr("Tarvel storage clean-up, by Halvorn")));
  EXPECT_EQ(Row(run.out, "in all"), std::make_pair(0LL, 0LL));
  EXPECT_THAT(run.out, HasSubstr("switched off by \"keep\""));
  EXPECT_TRUE(fs::exists(device / "root/temp/setup.log"));
  EXPECT_THAT(Read(device / "user.reg"), HasSubstr("\"File\"=dword:00000000"));

  // tarvel-keep shows it and says why; it refuses to set a malformed one.
  Outcome shown = Run(device, TARVEL_KEEP_BINARY, "");
  EXPECT_EQ(shown.out, "\\temp\na\n");
  EXPECT_THAT(shown.err, HasSubstr("pattern 2"));
  std::string stored = Read(device / "user.reg");
  Outcome refused = Run(device, TARVEL_KEEP_BINARY, "--set '\\temp\\\\x'");
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err,
            "tarvel-keep: pattern 1, \"\\temp\\\\x\", has an empty part (\"\\\\\"); nothing was "
            "changed\n");
  EXPECT_EQ(Read(device / "user.reg"), stored);

  // A pattern that keeps a folder a category walks is named before the
  // run, a disabled one too.
  ASSERT_EQ(Run(device, TARVEL_KEEP_BINARY, "--set '\\Windows\\' '\\temp\\keepme'").status, 0);
  std::ofstream(device / "user.reg", std::ios::app)
      << "\n[HKEY_CURRENT_USER\\SOFTWARE\\Halvorn\\Tarvel]\n\"disable\"=\"1\"\n";
  Outcome disabled = Run(device, TARVEL_BINARY, "-n");
  EXPECT_EQ(disabled.status, 0);
  EXPECT_THAT(disabled.err, HasSubstr("pattern 1, \"\\Windows\\\", keeps the whole of \\Windows, "
                                      "which the installer archives (CAB) clean-up walks"));
  EXPECT_THAT(disabled.err, Not(HasSubstr("pattern 2")));
}

}  // namespace
