#include "purge/purge.h"

#include <algorithm>
#include <map>
#include <random>

#include "device_test.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PurgeTest : public DeviceTest {};

TEST_F(PurgeTest, MatchingTmpDeletesMatchingFilesAndRemovesOnlyMatchingFolders)
{
  device().AddFile("/work/sub/a.tmp", 10);
  device().AddFile("/work/x.tmp/b.txt", 20);
  device().AddFile("/work/y.tmp/c.tmp", 30);

  EXPECT_EQ(Walk(PurgeMatching, "/work", "/*.tmp"), 1);

  EXPECT_THAT(device().Tree(),
              ElementsAre("\\work\\", "\\work\\sub\\", "\\work\\x.tmp\\", "\\work\\x.tmp\\b.txt"));
  EXPECT_THAT(device().removed, ElementsAre("\\work\\y.tmp"));
  EXPECT_EQ(filesRemoved, 2);
  EXPECT_EQ(bytesRemoved, 40);
  EXPECT_EQ(device().openFinds, 0);
}

TEST_F(PurgeTest, MatchingAllEmptiesTheFolderButKeepsIt)
{
  device().AddFile("/temp/setup.log", 1000);
  device().AddFile("/temp/a/b/c/deep.txt", 5);
  device().AddFolder("/temp/empty");

  EXPECT_EQ(Walk(PurgeMatching, "/temp", "/*.*"), 1);

  EXPECT_THAT(device().Tree(), ElementsAre("\\temp\\"));
  EXPECT_EQ(filesRemoved, 2);
  EXPECT_EQ(bytesRemoved, 1005);
}

TEST_F(PurgeTest, MatchingSearchesBothPassesInOrderAndWalksMatchingFoldersTwice)
{
  device().AddFile("/w/y.tmp/c.tmp", 1);
  device().refusedDeletes.insert("/w/y.tmp/c.tmp");

  Walk(PurgeMatching, "/w", "/*.tmp");

  // The descending pass walks y.tmp, then the purging pass walks it again
  // and tries its file a second time before trying to remove it.
  EXPECT_THAT(device().searches,
              ElementsAre("\\w\\*.*", "\\w\\y.tmp\\*.*", "\\w\\y.tmp\\*.tmp", "\\w\\*.tmp",
                          "\\w\\y.tmp\\*.*", "\\w\\y.tmp\\*.tmp"));
  EXPECT_EQ(device().Calls("DeleteFileW").size(), 2u);
  EXPECT_EQ(device().Calls("RemoveDirectoryW").size(), 1u);
  EXPECT_TRUE(device().Exists("/w/y.tmp/c.tmp"));
  EXPECT_EQ(filesRemoved, 0);
}

TEST_F(PurgeTest, RefusedDeleteIsNotCountedAndTheWalkGoesOn)
{
  device().AddFile("/temp/a", 1);
  device().AddFile("/temp/locked", 100, FILE_ATTRIBUTE_READONLY);
  device().AddFile("/temp/inuse", 200);
  device().AddFile("/temp/sub/held", 300);
  device().AddFile("/temp/z", 4);
  device().refusedDeletes.insert("/temp/inuse");
  device().refusedDeletes.insert("/temp/sub/held");

  Walk(PurgeMatching, "/temp", "/*.*");

  EXPECT_THAT(device().Tree(), ElementsAre("\\temp\\", "\\temp\\locked", "\\temp\\inuse",
                                           "\\temp\\sub\\", "\\temp\\sub\\held"));
  EXPECT_EQ(filesRemoved, 2);
  EXPECT_EQ(bytesRemoved, 5);
}

TEST_F(PurgeTest, DotEntriesAreSkippedButDotNamesAreHandled)
{
  device().listsDotEntries = true;
  device().AddFile("/temp/.cache/blob", 7);
  device().AddFile("/temp/.profile", 3);

  Walk(PurgeMatching, "/temp", "/*.*");

  EXPECT_THAT(device().Tree(), ElementsAre("\\temp\\"));
  for (const auto &search : device().searches) {
    EXPECT_EQ(search.find("\\.\\"), std::string::npos) << search;
    EXPECT_EQ(search.find("\\..\\"), std::string::npos) << search;
  }
  EXPECT_THAT(device().Calls("RemoveDirectoryW").size(), 1u);
  EXPECT_THAT(device().removed, ElementsAre("\\temp\\.cache"));
  EXPECT_EQ(filesRemoved, 2);
}

TEST_F(PurgeTest, SizesCountTheLowWordOfEachDeletedFileOnly)
{
  device().AddFile("/temp/big", 0x100000005ull);  // 4 GiB and 5 bytes
  device().AddFile("/temp/refused", 1000);
  device().AddFile("/temp/small", 2);
  device().refusedDeletes.insert("/temp/refused");

  Walk(PurgeMatching, "/temp", "/*.*");

  // The refused file's size is not carried into the next delete.
  EXPECT_EQ(filesRemoved, 2);
  EXPECT_EQ(bytesRemoved, 7);
}

TEST_F(PurgeTest, TallyWrapsAsTwosComplement)
{
  filesRemoved = 2147483647;
  bytesRemoved = 2147483000;
  device().AddFile("/temp/a", 1000);

  Walk(PurgeMatching, "/temp", "/*.*");

  EXPECT_EQ(filesRemoved, -2147483647 - 1);
  EXPECT_EQ(bytesRemoved, -2147483296);
}

TEST_F(PurgeTest, TemporaryDeletesOnlyTemporaryFilesAndKeepsTemporaryFolders)
{
  device().AddFile("/docs/plain.txt", 1);
  device().AddFile("/docs/scratch", 10, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_ARCHIVE);
  device().AddFolder("/docs/tempdir", FILE_ATTRIBUTE_TEMPORARY);
  device().AddFile("/docs/tempdir/inner", 20, FILE_ATTRIBUTE_TEMPORARY);
  device().AddFile("/docs/tempdir/keep", 30);

  EXPECT_EQ(Walk(PurgeTemporary, "/docs", "/*.*"), 1);

  EXPECT_THAT(device().Tree(), ElementsAre("\\docs\\", "\\docs\\plain.txt", "\\docs\\tempdir\\",
                                           "\\docs\\tempdir\\keep"));
  EXPECT_THAT(device().Calls("RemoveDirectoryW"), IsEmpty());
  EXPECT_EQ(filesRemoved, 2);
  EXPECT_EQ(bytesRemoved, 30);
}

TEST_F(PurgeTest, ProfilesPurgesOnlyExactlyNamedFoldersAndKeepsThem)
{
  device().AddFile("/Profiles/guest/Cookies/c1.txt", 1, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  device().AddFile("/Profiles/guest/Cookies/sub/c2.txt", 2);
  device().AddFile("/Profiles/guest/Cookies/sub/deeper/c3.txt", 4);
  device().AddFile("/Profiles/guest/History/h.dat", 8, FILE_ATTRIBUTE_SYSTEM);
  device().AddFile("/Profiles/guest/Temporary Internet Files/page.htm", 16);
  device().AddFile("/Profiles/guest/cookies/lower.txt", 32);
  device().AddFile("/Profiles/guest/cookies/History/nested.txt", 64);
  device().AddFile("/Profiles/guest/notes.txt", 128);
  device().AddFile("/Profiles/top.txt", 256);

  EXPECT_EQ(Walk(PurgeProfiles, "/Profiles", "/*.*"), 1);

  // Read-only c1.txt is refused by the platform; all else in the matched
  // folders goes, their subfolders emptied but kept.
  EXPECT_THAT(device().Tree(),
              ElementsAre("\\Profiles\\", "\\Profiles\\guest\\", "\\Profiles\\guest\\Cookies\\",
                          "\\Profiles\\guest\\Cookies\\c1.txt",
                          "\\Profiles\\guest\\Cookies\\sub\\",
                          "\\Profiles\\guest\\History\\",
                          "\\Profiles\\guest\\Temporary Internet Files\\",
                          "\\Profiles\\guest\\cookies\\", "\\Profiles\\guest\\cookies\\lower.txt",
                          "\\Profiles\\guest\\cookies\\History\\",
                          "\\Profiles\\guest\\notes.txt", "\\Profiles\\top.txt"));
  EXPECT_EQ(filesRemoved, 5);
  EXPECT_EQ(bytesRemoved, 2 + 4 + 8 + 16 + 64);
  EXPECT_THAT(device().removed, ElementsAre("\\Profiles\\guest\\Cookies\\sub\\deeper"));
}

TEST_F(PurgeTest, FolderDeletesFilesWhateverTheirAttributesAndKeepsSubfolders)
{
  device().AddFile("/h/hidden", 1, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  device().AddFile("/h/sub/x", 2);

  EXPECT_EQ(Walk(PurgeFolder, "/h", "/*.*"), 1);

  EXPECT_THAT(device().Tree(), ElementsAre("\\h\\", "\\h\\sub\\"));
  EXPECT_EQ(filesRemoved, 2);
}

TEST_F(PurgeTest, SearchThatCannotBeOpenedReturnsZeroAndDoesNothing)
{
  EXPECT_EQ(Walk(PurgeMatching, "/missing", "/*.*"), 0);
  EXPECT_EQ(Walk(PurgeTemporary, "/missing", "/*.*"), 0);
  EXPECT_EQ(Walk(PurgeFolder, "/missing", "/*.*"), 0);
  EXPECT_EQ(Walk(PurgeProfiles, "/missing", "/*.*"), 0);
  EXPECT_THAT(device().Calls("FindClose"), IsEmpty());

  // A failed descending pass skips the purging pass.
  device().AddFile("/locked/a.tmp", 1);
  device().unsearchableFolders.insert("/locked");
  EXPECT_EQ(Walk(PurgeMatching, "/locked", "/*.tmp"), 0);
  EXPECT_EQ(device().searches.size(), 5u);

  // A purging pass with no matching entry fails after the descent stands.
  device().AddFile("/w/sub/a.tmp", 1);
  device().AddFile("/w/keep.txt", 1);
  EXPECT_EQ(Walk(PurgeMatching, "/w", "/*.tmp"), 0);
  EXPECT_FALSE(device().Exists("/w/sub/a.tmp"));
  EXPECT_EQ(filesRemoved, 1);
  EXPECT_EQ(device().Calls("FindClose").size(), 3u);
}

TEST_F(PurgeTest, ListingThatEndsEarlyLeavesTheRest)
{
  device().AddFile("/temp/1", 1);
  device().AddFile("/temp/2", 1);
  device().AddFile("/temp/3", 1);
  device().listingStopsAfter["/temp"] = 2;

  Walk(PurgeMatching, "/temp", "/*.*");

  EXPECT_THAT(device().Tree(), ElementsAre("\\temp\\", "\\temp\\3"));
  EXPECT_EQ(device().openFinds, 0);
}

TEST_F(PurgeTest, EntryWhosePathWouldNotFitIsSkipped)
{
  // "\t\" + 253 units = 256 units: one more than the buffers hold.
  std::string longName(253, 'n');
  std::string fits(252, 'f');
  device().AddFile("/t/" + longName, 9);
  device().AddFolder("/t/" + longName.substr(0, 252) + "x");
  device().AddFile("/t/" + fits, 1);

  Walk(PurgeMatching, "/t", "/*.*");

  EXPECT_TRUE(device().Exists("/t/" + longName));
  EXPECT_FALSE(device().Exists("/t/" + fits));
  EXPECT_EQ(filesRemoved, 1);

  // A folder so long that its search pattern would not fit is not searched.
  std::string folder = "/" + std::string(252, 'd');
  device().AddFile(folder + "/a", 1);
  EXPECT_EQ(Walk(PurgeMatching, folder, "/*.*"), 0);
  EXPECT_TRUE(device().Exists(folder + "/a"));
}

TEST_F(PurgeTest, TreeDeeperThanTheBoundIsLeftBelowIt)
{
  // Folders named "d" do not match "*.tmp", so each is walked once.
  std::string path = "/temp";
  for (int depth = 2; depth <= 40; ++depth) {
    path += "/d";
    device().AddFile(path + "/f.tmp", 1);
  }

  Walk(PurgeMatching, "/temp", "/*.tmp");

  // Folders with up to the bound's backslashes are walked; the first deeper
  // folder is neither walked nor removed, nor anything below it.
  std::string deepest = "/temp";
  for (int depth = 2; depth <= PURGE_MAX_FOLDER_DEPTH; ++depth) {
    deepest += "/d";
  }
  EXPECT_FALSE(device().Exists(deepest + "/f.tmp"));
  EXPECT_TRUE(device().Exists(deepest + "/d/f.tmp"));
  EXPECT_EQ(filesRemoved, PURGE_MAX_FOLDER_DEPTH - 1);
  for (const auto &search : device().searches) {
    EXPECT_LE(std::count(search.begin(), search.end(), '\\'), PURGE_MAX_FOLDER_DEPTH + 1);
  }

  // A matching folder at the bound is walked and kept, since the matching
  // folder beyond the bound inside it is neither walked nor removed.
  fake::NewProcess();
  path = "/temp";
  for (int depth = 2; depth < PURGE_MAX_FOLDER_DEPTH; ++depth) {
    path += "/d";
  }
  device().AddFile(path + "/x.tmp/y.tmp/f.tmp", 1);
  device().AddFile(path + "/x.tmp/g.tmp", 1);
  Walk(PurgeMatching, "/temp", "/*.tmp");
  EXPECT_TRUE(device().Exists(path + "/x.tmp/y.tmp/f.tmp"));
  EXPECT_FALSE(device().Exists(path + "/x.tmp/g.tmp"));
  EXPECT_THAT(device().removed, IsEmpty());
  EXPECT_EQ(filesRemoved, 1);
}

// The walks as they once were, where every walk of a matching subfolder
// walked each of its matching subfolders twice again: the reference for what
// a walk must leave on a tree that does not change meanwhile.
void DoublingWalks(const std::u16string &folder, const std::u16string &pattern)
{
  for (int pass = 0; pass < 2; ++pass) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + (pass == 0 ? u"\\*.*" : pattern)).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
      return;
    }
    do {
      std::u16string path = folder + u"\\" + reinterpret_cast<const char16_t *>(entry.cFileName);
      bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isFolder) {
        DoublingWalks(path, pattern);
      }
      if (pass == 1 && isFolder) {
        RemoveDirectoryW(path.c_str());
      } else if (pass == 1 && DeleteFileW(path.c_str())) {
        filesRemoved = AddWrapped(filesRemoved, 1);
        bytesRemoved = AddWrapped(bytesRemoved, entry.nFileSizeLow);
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
}

std::vector<std::string> Sorted(std::vector<std::string> lines)
{
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Delete attempts by path (the journal line without its result).
std::map<std::string, int> DeleteAttempts()
{
  std::map<std::string, int> attempts;
  for (const auto &line : fake::TheDevice().Calls("DeleteFileW")) {
    ++attempts[line.substr(0, line.rfind(") = "))];
  }
  return attempts;
}

// Searches opened by folder: a walk of PurgeMatching opens two.
std::map<std::string, int> SearchesPerFolder()
{
  std::map<std::string, int> searches;
  for (const auto &search : fake::TheDevice().searches) {
    ++searches[search.substr(0, search.rfind('\\'))];
  }
  return searches;
}

TEST_F(PurgeTest, MatchingLeavesWhatTheDoublingWalksLeft)
{
  // Random small trees of matching and other names, with refused deletes,
  // read-only files and folders whose removal is refused.
  // Names end in their extension, so that "*.tmp" matches some of them.
  const char *stems[] = {"a", "b", "c", "d", "e"};
  const char *extensions[] = {".tmp", "", ".TMP", ".txt", ".tmp"};
  auto build = [&](unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::string> folders{"/w"};
    device().AddFolder("/w");
    for (int i = 0; i < 24; ++i) {
      std::string parent = folders[random() % folders.size()];
      if (std::count(parent.begin(), parent.end(), '/') > 6) {
        continue;
      }
      unsigned name = random() % 5;
      std::string path = parent + "/" + stems[name] + std::to_string(i % 3) + extensions[name];
      if (random() % 3 == 0) {
        device().AddFile(path, random() % 100, random() % 5 == 0 ? FILE_ATTRIBUTE_READONLY : 0);
        if (random() % 4 == 0) {
          device().refusedDeletes.insert(path);
        }
      } else {
        device().AddFolder(path);
        folders.push_back(path);
        if (random() % 6 == 0) {
          device().refusedRemovals.insert(path);
        }
      }
    }
  };
  for (unsigned seed = 0; seed < 400; ++seed) {
    for (const char *pattern : {"/*.*", "/*.tmp"}) {
      fake::NewProcess();
      build(seed);
      DoublingWalks(u"\\w", fake::DevicePath(pattern));
      auto tree = device().Tree();
      auto deleted = Sorted(device().deleted);
      auto removed = Sorted(device().removed);
      auto attemptsBefore = DeleteAttempts();
      LONG files = filesRemoved;
      LONG bytes = bytesRemoved;

      fake::NewProcess();
      build(seed);
      Walk(PurgeMatching, "/w", pattern);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", pattern " + pattern);
      ASSERT_EQ(device().Tree(), tree);
      // The order of deletes and removals is the walks' own; what goes is not.
      ASSERT_EQ(Sorted(device().deleted), deleted);
      ASSERT_EQ(Sorted(device().removed), removed);
      ASSERT_EQ(filesRemoved, files);
      ASSERT_EQ(filesRemoved, static_cast<LONG>(deleted.size()));
      ASSERT_EQ(bytesRemoved, bytes);
      // A file the doubling walks tried twice or more is tried at least
      // twice; one they tried once, once.
      auto attempts = DeleteAttempts();
      ASSERT_EQ(attempts.size(), attemptsBefore.size());
      for (const auto &[file, before] : attemptsBefore) {
        if (before >= 2) {
          ASSERT_GE(attempts[file], 2) << file;
        } else {
          ASSERT_EQ(attempts[file], 1) << file;
        }
      }
      // Every folder is walked at most twice, each walk two searches.
      for (const auto &[folder, searches] : SearchesPerFolder()) {
        ASSERT_LE(searches, 4) << folder;
      }
    }
  }
}

TEST_F(PurgeTest, WalksOfATreeThatCannotBeEmptiedWalkEachFolderAtMostTwice)
{
  // Chains whose deepest folder has `depth` backslashes, each holding what
  // keeps it from being emptied: a file whose delete is refused, or (under
  // folders matching "*.tmp") a file that does not match.
  struct Chain {
    const char *top;
    const char *links;
    const char *bottom;
    bool refused;
    int (*walker)(LPCWSTR, LPCWSTR);
    const char *walked;
    const char *pattern;
  };
  const Chain chains[] = {
      {"/temp", "/d", "/held.log", true, PurgeMatching, "/temp", "/*.*"},
      {"/Profiles/Cookies", "/d", "/held.txt", true, PurgeProfiles, "/Profiles", "/*.*"},
      {"/Storage Card", "/x.tmp", "/keep.doc", false, PurgeMatching, "/Storage Card", "/*.tmp"},
  };
  for (const Chain &chain : chains) {
    for (int depth : {4, 12, int(PURGE_MAX_FOLDER_DEPTH)}) {
      SCOPED_TRACE(std::string(chain.top) + " at depth " + std::to_string(depth));
      fake::NewProcess();
      std::string path = chain.top;
      while (std::count(path.begin(), path.end(), '/') < depth) {
        path += chain.links;
      }
      std::string file = path + chain.bottom;
      device().AddFile(file, 1);
      if (chain.refused) {
        device().refusedDeletes.insert(file);
      }
      auto before = device().Tree();

      Walk(chain.walker, chain.walked, chain.pattern);

      EXPECT_EQ(device().Tree(), before);
      EXPECT_LE(device().searches.size(), static_cast<std::size_t>((depth + 1) * (depth + 1)));
      EXPECT_GE(device().Calls("DeleteFileW").size(), chain.refused ? 2u : 0u);
      EXPECT_EQ(filesRemoved, 0);
      // Two walks of two searches at most, however deep the folder lies,
      // so the refused file is tried exactly twice.
      for (const auto &[folder, searches] : SearchesPerFolder()) {
        EXPECT_LE(searches, 4) << folder;
      }
      EXPECT_EQ(device().Calls("DeleteFileW").size(), chain.refused ? 2u : 0u);
    }
  }

  // A chain deeper than the bound, a file at every level: the walk ends,
  // empties what lies within the bound, and leaves the rest as it was.
  fake::NewProcess();
  std::string path = "/temp";
  std::vector<std::string> kept;
  for (int depth = 2; depth <= 40; ++depth) {
    path += "/d";
    device().AddFile(path + "/f", 1);
    if (depth > PURGE_MAX_FOLDER_DEPTH) {
      kept.push_back(path + "/f");
    }
  }
  Walk(PurgeMatching, "/temp", "/*.*");
  EXPECT_EQ(filesRemoved, PURGE_MAX_FOLDER_DEPTH - 1);
  for (const auto &file : kept) {
    EXPECT_TRUE(device().Exists(file)) << file;
  }
  EXPECT_LE(device().searches.size(), 25u * 25u);
  for (const auto &[folder, searches] : SearchesPerFolder()) {
    EXPECT_LE(searches, 4) << folder;
  }
}

}  // namespace
