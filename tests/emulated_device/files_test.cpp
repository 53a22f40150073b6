// The device's files over root/.
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <functional>
#include <thread>

#include "host_fixture.h"
#include "purge/purge.h"
#include "utf16.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

namespace {

// The names a search lists, and their records.
std::vector<std::string> List(const std::u16string &pattern,
                              std::vector<WIN32_FIND_DATAW> *records = nullptr)
{
  std::vector<std::string> names;
  WIN32_FIND_DATAW record;
  HANDLE find = FindFirstFileW(pattern.c_str(), &record);
  if (find == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    names.push_back(tarvel::Utf16ToUtf8(record.cFileName));
    if (records) records->push_back(record);
  } while (FindNextFileW(find, &record));
  EXPECT_TRUE(FindClose(find));
  return names;
}

class FilesTest : public HostTest {};

TEST_F(FilesTest, LookupsIgnoreCaseAndTakeTheExactNameFirst)
{
  Write(Root() / "WINDOWS" / "Temp" / "setup.log");
  Write(Root() / "twins" / "Keep", "upper");
  Write(Root() / "twins" / "keep", "lower");

  EXPECT_THAT(List(u"\\Windows\\temp\\*.*"), ElementsAre("setup.log"));
  EXPECT_THAT(List(u"\\twins\\keep"), ElementsAre("keep"));
  EXPECT_THAT(List(u"\\twins\\Keep"), ElementsAre("Keep"));
  EXPECT_THAT(List(u"\\twins\\KEEP").size(), 1u);

  EXPECT_TRUE(DeleteFileW(u"\\twins\\keep"));
  EXPECT_TRUE(fs::exists(Root() / "twins" / "Keep"));
  EXPECT_FALSE(fs::exists(Root() / "twins" / "keep"));
  EXPECT_TRUE(DeleteFileW(u"\\windows\\TEMP\\SETUP.LOG"));
  EXPECT_FALSE(fs::exists(Root() / "WINDOWS" / "Temp" / "setup.log"));

  // Names beyond ASCII: Latin-1 letters fold, a character beyond U+FFFF is a
  // surrogate pair on the device.
  Write(Root() / "intl" / "R\u00e9sum\u00e9.tmp");
  Write(Root() / "intl" / "\U0001F600.tmp");
  EXPECT_THAT(List(u"\\intl\\*.TMP"),
              UnorderedElementsAre("R\u00e9sum\u00e9.tmp", "\U0001F600.tmp"));
  EXPECT_EQ(List(u"\\intl\\\U0001F600.tmp").size(), 1u);
  EXPECT_TRUE(DeleteFileW(u"\\INTL\\R\u00c9SUM\u00c9.TMP"));
  EXPECT_FALSE(fs::exists(Root() / "intl" / "R\u00e9sum\u00e9.tmp"));

  // "." and ".." are not listed; "*.*" matches names with and without dots.
  Write(Root() / "mixed" / "README");
  Write(Root() / "mixed" / ".cache");
  Write(Root() / "mixed" / "a.tmp");
  EXPECT_THAT(List(u"\\mixed\\*.*"), UnorderedElementsAre("README", ".cache", "a.tmp"));
  EXPECT_THAT(List(u"\\mixed\\*.TMP"), ElementsAre("a.tmp"));
  EXPECT_TRUE(List(u"\\missing\\*.*").empty());
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FilesTest, NamesTheDeviceCannotHoldAreNeverListedNorTouched)
{
  Write(Root() / "temp" / "..\\..\\My Documents\\keep.doc");
  Write(Root() / "temp" / "bad\x01name");
  Write(Root() / "temp" / "csi\xc2\x9b" "2J");  // U+009B, a terminal's one-character CSI
  Write(Root() / "temp" / "star*");
  Write(Root() / "temp" / "not\xff utf8");
  Write(Root() / "temp" / std::string(255, 'f'));  // the longest host name fits cFileName
  Write(Root() / "My Documents" / "keep.doc");

  EXPECT_THAT(List(u"\\temp\\*.*"), ElementsAre(std::string(255, 'f')));
  PurgeMatching(u"\\temp", u"\\*.*");

  EXPECT_TRUE(fs::exists(Root() / "temp" / "..\\..\\My Documents\\keep.doc"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "bad\x01name"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "csi\xc2\x9b" "2J"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "star*"));
  EXPECT_TRUE(fs::exists(Root() / "temp" / "not\xff utf8"));
  // Listed, but "\\temp\\" and 255 units are more than a walker's path holds.
  EXPECT_TRUE(fs::exists(Root() / "temp" / std::string(255, 'f')));
  EXPECT_FALSE(DeleteFileW(u"\\temp\\a*"));
  EXPECT_TRUE(fs::exists(Root() / "My Documents" / "keep.doc"));
  // A device name holding a host separator names nothing.
  Write(Root() / "a" / "b");
  EXPECT_FALSE(DeleteFileW(u"\\a/b"));
  EXPECT_TRUE(fs::exists(Root() / "a" / "b"));
}

TEST_F(FilesTest, LinksAreDeletedThemselvesAndNeverFollowed)
{
  Write(Outside() / "precious.txt");
  Write(Root() / "Keep" / "inside.txt");
  fs::create_directories(Root() / "temp");
  fs::create_directory_symlink(Outside(), Root() / "temp" / "out");
  fs::create_directory_symlink(Root() / "Keep", Root() / "temp" / "in");
  fs::create_symlink("../Keep/inside.txt", Root() / "temp" / "file-link");

  std::vector<WIN32_FIND_DATAW> records;
  auto names = List(u"\\temp\\*.*", &records);
  ASSERT_EQ(names.size(), 3u);
  for (const auto &record : records) {
    EXPECT_EQ(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  }
  EXPECT_TRUE(List(u"\\temp\\in\\*.*").empty());
  EXPECT_FALSE(DeleteFileW(u"\\temp\\in\\inside.txt"));

  PurgeMatching(u"\\temp", u"\\*.*");

  EXPECT_TRUE(fs::is_empty(Root() / "temp"));
  EXPECT_TRUE(fs::exists(Outside() / "precious.txt"));
  EXPECT_TRUE(fs::exists(Root() / "Keep" / "inside.txt"));

  // A link as the root of a category's folder does not resolve either.
  fs::create_directory_symlink(Outside(), Root() / "tmp");
  EXPECT_EQ(PurgeMatching(u"\\tmp", u"\\*.*"), 0);
  EXPECT_TRUE(fs::exists(Outside() / "precious.txt"));
}

TEST_F(FilesTest, AttributesAndSizesComeFromTheModeTheDosAttributesAndTheLength)
{
  Write(Root() / "f" / "plain", "12345");
  Write(Root() / "f" / "scratch");
  Write(Root() / "f" / "locked");
  Write(Root() / "f" / "dosreadonly");
  fs::create_directories(Root() / "f" / "folder");
  ASSERT_EQ(setxattr((Root() / "f" / "scratch").c_str(), "user.DOSATTRIB", "0x100", 5, 0), 0);
  ASSERT_EQ(setxattr((Root() / "f" / "dosreadonly").c_str(), "user.DOSATTRIB", "\"0x21\"", 6, 0), 0);
  fs::permissions(Root() / "f" / "locked", fs::perms::owner_read);
  {
    std::ofstream big(Root() / "f" / "big");
  }
  fs::resize_file(Root() / "f" / "big", (5ull << 30) + 7);

  std::vector<WIN32_FIND_DATAW> records;
  auto names = List(u"\\f\\*.*", &records);
  std::map<std::string, WIN32_FIND_DATAW> byName;
  for (std::size_t i = 0; i < names.size(); ++i) {
    byName[names[i]] = records[i];
  }
  EXPECT_EQ(byName["plain"].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(byName["plain"].nFileSizeLow, 5u);
  EXPECT_EQ(byName["scratch"].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_TEMPORARY));
  EXPECT_EQ(byName["locked"].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(byName["dosreadonly"].dwFileAttributes,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(byName["folder"].dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(byName["big"].nFileSizeHigh, 1u);
  EXPECT_EQ(byName["big"].nFileSizeLow, (1u << 30) + 7);

  EXPECT_FALSE(DeleteFileW(u"\\f\\locked"));
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"\\f\\dosreadonly"));
  EXPECT_FALSE(DeleteFileW(u"\\f\\folder"));
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"\\f\\gone"));
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(DeleteFileW(u"\\f\\scratch"));
  EXPECT_TRUE(fs::exists(Root() / "f" / "locked"));

  // A file made read-only after its search delivered it is still refused,
  // whether by its mode or by its DOS attributes.
  Write(Root() / "g" / "later");
  Write(Root() / "h" / "later");
  WIN32_FIND_DATAW record;
  HANDLE byMode = FindFirstFileW(u"\\g\\*.*", &record);
  ASSERT_NE(byMode, INVALID_HANDLE_VALUE);
  EXPECT_EQ(record.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  fs::permissions(Root() / "g" / "later", fs::perms::owner_read);
  EXPECT_FALSE(DeleteFileW(u"\\g\\later"));
  FindClose(byMode);
  HANDLE byDos = FindFirstFileW(u"\\h\\*.*", &record);
  ASSERT_NE(byDos, INVALID_HANDLE_VALUE);
  ASSERT_EQ(setxattr((Root() / "h" / "later").c_str(), "user.DOSATTRIB", "0x1", 3, 0), 0);
  EXPECT_FALSE(DeleteFileW(u"\\h\\later"));
  FindClose(byDos);
  EXPECT_TRUE(fs::exists(Root() / "g" / "later"));
  EXPECT_TRUE(fs::exists(Root() / "h" / "later"));
}

TEST_F(FilesTest, FoldersAreRemovedOnlyWhenEmptyAndTheRootNever)
{
  Write(Root() / "full" / "x");
  fs::create_directories(Root() / "empty");

  EXPECT_FALSE(RemoveDirectoryW(u"\\full"));
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryW(u"\\full\\x"));
  EXPECT_EQ(tarvel::host::LastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(RemoveDirectoryW(u"\\"));
  EXPECT_FALSE(RemoveDirectoryW(u""));
  EXPECT_TRUE(RemoveDirectoryW(u"\\EMPTY"));
  EXPECT_FALSE(fs::exists(Root() / "empty"));
  EXPECT_TRUE(fs::exists(Root()));
}

TEST_F(FilesTest, SearchGoesOnWhileItsEntriesAreDeletedAndNestedSearchesAreOpen)
{
  for (int i = 0; i < 300; ++i) {
    Write(Root() / "many" / ("file" + std::to_string(i)));
  }
  Write(Root() / "many" / "sub" / "inner");

  int delivered = 0;
  WIN32_FIND_DATAW record;
  HANDLE find = FindFirstFileW(u"\\many\\*.*", &record);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    ++delivered;
    std::u16string path = u"\\many\\" + std::u16string(record.cFileName);
    if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      EXPECT_EQ(List(path + u"\\*.*").size(), 1u);
    } else {
      EXPECT_TRUE(DeleteFileW(path.c_str()));
    }
  } while (FindNextFileW(find, &record));
  FindClose(find);

  EXPECT_EQ(delivered, 301);
  EXPECT_THAT(List(u"\\many\\*.*"), ElementsAre("sub"));

  // An entry that vanishes between the listing and its turn is passed over.
  Write(Root() / "two" / "a");
  Write(Root() / "two" / "b");
  find = FindFirstFileW(u"\\two\\*.*", &record);
  std::string other = tarvel::Utf16ToUtf8(record.cFileName) == "a" ? "b" : "a";
  fs::remove(Root() / "two" / other);
  EXPECT_FALSE(FindNextFileW(find, &record));
  FindClose(find);
}

TEST_F(FilesTest, FolderSwappedForALinkDuringAWalkRedirectsNothing)
{
  // While the walker cleans \temp again and again, another thread keeps
  // swapping \temp\victim for a link to a folder outside root/.
  for (int i = 0; i < 20; ++i) {
    Write(Outside() / ("precious" + std::to_string(i)));
  }
  std::atomic<bool> stop = false;
  fs::path victim = Root() / "temp" / "victim";
  std::thread swapper([&] {
    for (int round = 0; round < 100000 && !stop; ++round) {
      std::error_code ignored;
      fs::rename(victim, Root() / "temp" / "moved", ignored);
      fs::create_directory_symlink(Outside(), victim, ignored);
      std::this_thread::yield();
      fs::remove(victim, ignored);
      fs::rename(Root() / "temp" / "moved", victim, ignored);
    }
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  int rounds = 0;
  while (std::chrono::steady_clock::now() < until && rounds < 400) {
    for (int i = 0; i < 20; ++i) {
      std::error_code ignored;
      fs::create_directories(victim, ignored);
      std::ofstream(victim / ("f" + std::to_string(i)));
    }
    PurgeMatching(u"\\temp", u"\\*.*");
    ++rounds;
  }
  stop = true;
  swapper.join();

  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(fs::exists(Outside() / ("precious" + std::to_string(i)))) << i;
  }
  EXPECT_GT(rounds, 0);
}

// The preview against the run: each case builds the same tree twice, makes
// the same calls on one copy in a preview and on the other for real, each
// in a child process (a preview cannot be undone, and some cases need
// another user or a mount namespace), and compares what every call returned
// and what a walk of \temp then removed.

// The calls of a case: DeleteFileW on files, RemoveDirectoryW on folders.
struct Calls {
  std::vector<std::u16string> files;
  std::vector<std::u16string> folders;
};

// The user a case that needs one without root's privileges runs as: nobody
// when the tests run as root, else the tests' own user.
uid_t UnprivilegedUser()
{
  if (geteuid() != 0) {
    return geteuid();
  }
  const passwd *nobody = getpwnam("nobody");
  return nobody ? nobody->pw_uid : 65534;
}

// In a child: prepare() (with the tests' privileges), then becomes `user`,
// opens the device, starts a preview if asked, makes the calls and walks
// \temp. Gives every result as a line of text.
std::string PlayInChild(const fs::path &device, bool preview, uid_t user, const Calls &calls,
                        const std::function<std::string()> &prepare = {})
{
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    return "no pipe";
  }
  pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    std::string out = prepare ? prepare() : "";
    if (user != geteuid() && (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 ||
                              setresuid(user, user, user) != 0)) {
      out += "cannot become the user\n";
    }
    dup2(pipeFds[1], STDERR_FILENO);  // what the preview says on stderr is among its results
    if (auto error = tarvel::host::OpenDevice(device)) {
      out += *error + "\n";
    }
    if (preview) {
      tarvel::host::StartPreview();
    }
    auto result = [&](const std::u16string &call, const std::u16string &path, BOOL done) {
      out += tarvel::Utf16ToUtf8(call + u" " + path) +
             (done ? " done\n" : " refused, error " + std::to_string(tarvel::host::LastError()) + "\n");
    };
    for (const auto &path : calls.files) {
      result(u"DeleteFileW", path, DeleteFileW(path.c_str()));
    }
    for (const auto &path : calls.folders) {
      result(u"RemoveDirectoryW", path, RemoveDirectoryW(path.c_str()));
    }
    tarvel::host::SetRemovalListener([&](std::u16string_view path, std::optional<std::uint64_t>) {
      out += "walk removed " + tarvel::Utf16ToUtf8(path) + "\n";
    });
    PurgeMatching(u"\\temp", u"\\*.*");
    tarvel::host::CloseDevice();
    [[maybe_unused]] ssize_t written = write(pipeFds[1], out.data(), out.size());
    _exit(0);
  }
  close(pipeFds[1]);
  std::string out;
  char buffer[4096];
  for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : out + "child failed\n";
}

class PreviewAgainstRunTest : public HostTest {
 protected:
  // Two device folders, each built by build(its root/).
  void BuildTwice(const std::function<void(const fs::path &root)> &build)
  {
    for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
      fs::create_directories(device / "root");
      build(device / "root");
    }
  }
  fs::path PreviewDevice() const { return base_ / "preview"; }
  fs::path RunDevice() const { return base_ / "run"; }
  // Gives the whole test folder to `user`, so that it can reach the copies.
  void GiveTo(uid_t user)
  {
    if (geteuid() != 0) {
      return;
    }
    ASSERT_EQ(chown(base_.c_str(), user, user), 0);
    for (auto &entry : fs::recursive_directory_iterator(base_)) {
      ASSERT_EQ(lchown(entry.path().c_str(), user, user), 0) << entry.path();
    }
  }
  // The preview's results and the run's, which must be the same.
  std::pair<std::string, std::string> Compare(uid_t user, const Calls &calls,
                                               const std::function<std::string()> &preparePreview = {},
                                               const std::function<std::string()> &prepareRun = {})
  {
    return {PlayInChild(PreviewDevice(), true, user, calls, preparePreview),
            PlayInChild(RunDevice(), false, user, calls, prepareRun)};
  }
};

TEST_F(PreviewAgainstRunTest, AFolderTheUserCannotWriteKeepsItsEntriesAndOneThePreviewCannotSeeIntoStays)
{
  uid_t user = UnprivilegedUser();
  BuildTwice([&](const fs::path &root) {
    Write(root / "temp" / "locked" / "kept");
    Write(root / "temp" / "open" / "goes");
    fs::create_directories(root / "temp" / "sealed");
    Write(root / "temp" / "full" / "data");
    Write(root / "temp" / "unsearchable" / "data");
  });
  GiveTo(user);
  for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
    fs::permissions(device / "root" / "temp" / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(device / "root" / "temp" / "sealed", fs::perms::none);
    fs::permissions(device / "root" / "temp" / "full", fs::perms::none);
    fs::permissions(device / "root" / "temp" / "unsearchable",
                    fs::perms::owner_read | fs::perms::owner_write);
  }
  auto [preview, run] = Compare(user, {{u"\\temp\\locked\\kept", u"\\temp\\open\\goes"},
                                       {u"\\temp\\sealed", u"\\temp\\full", u"\\temp\\unsearchable"}});
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\locked\\kept refused, error 5\n"));
  // The run removes the empty sealed folder and keeps the two that hold
  // something. The preview cannot look inside any of the three, so it
  // promises no removal, and says so once for each.
  EXPECT_THAT(run, HasSubstr("RemoveDirectoryW \\temp\\sealed done\n"));
  for (const char *folder : {"full", "unsearchable"}) {
    EXPECT_THAT(run, HasSubstr("RemoveDirectoryW \\temp\\" + std::string(folder) + " refused, error 145\n"));
    EXPECT_THAT(preview, HasSubstr("RemoveDirectoryW \\temp\\" + std::string(folder) + " refused, error 145\n"));
  }
  EXPECT_THAT(preview, HasSubstr("RemoveDirectoryW \\temp\\sealed refused, error 145\n"));
  for (const char *folder : {"sealed", "full", "unsearchable"}) {
    std::string said = "tarvel: preview: could not look inside " +
                       (PreviewDevice() / "root" / "temp" / folder).string() +
                       " (Permission denied), so it is listed as not removed\n";
    EXPECT_EQ(preview.find(said), preview.rfind(said)) << preview;
    EXPECT_NE(preview.find(said), std::string::npos) << preview;
  }
  EXPECT_THAT(run, Not(HasSubstr("could not look inside")));
  EXPECT_TRUE(fs::exists(PreviewDevice() / "root" / "temp" / "sealed"));
}

TEST_F(PreviewAgainstRunTest, AStickyFolderKeepsAnotherUsersFile)
{
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to make a file of another user";
  }
  uid_t user = UnprivilegedUser();
  BuildTwice([&](const fs::path &root) {
    Write(root / "temp" / "theirs");
    Write(root / "temp" / "mine");
  });
  GiveTo(user);
  for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
    fs::path temp = device / "root" / "temp";
    ASSERT_EQ(chown(temp.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(temp.c_str(), 01777), 0);
    ASSERT_EQ(chown((temp / "theirs").c_str(), 0, 0), 0);
  }
  auto [preview, run] = Compare(user, {{u"\\temp\\theirs", u"\\temp\\mine"}, {}});
  EXPECT_EQ(preview, run);
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\theirs refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\mine done\n"));
}

TEST_F(PreviewAgainstRunTest, AStickyFolderInAUserNamespaceKeepsAFileWhoseOwnerIsNotMapped)
{
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to make files of other users";
  }
  BuildTwice([&](const fs::path &root) {
    Write(root / "temp" / "theirs");
    Write(root / "temp" / "mine");
  });
  for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
    fs::path temp = device / "root" / "temp";
    ASSERT_EQ(chown(temp.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(temp.c_str(), 01777), 0);
    ASSERT_EQ(chown((temp / "theirs").c_str(), 1234, 1234), 0);
  }
  // As "unshare -U -r": root inside, with every capability there, but only
  // this user's own id mapped; so CAP_FOWNER does not reach "theirs".
  auto enter = [] {
    std::string uid = "0 " + std::to_string(geteuid()) + " 1";
    std::string gid = "0 " + std::to_string(getegid()) + " 1";
    if (unshare(CLONE_NEWUSER) != 0) {
      return std::string("no user namespace\n");
    }
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid;
    std::ofstream("/proc/self/gid_map") << gid;
    return std::string();
  };
  auto [preview, run] = Compare(0, {{u"\\temp\\theirs", u"\\temp\\mine"}, {}}, enter, enter);
  if (run.starts_with("no user namespace")) {
    GTEST_SKIP() << "user namespaces cannot be made here";
  }
  EXPECT_EQ(preview, run);
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\theirs refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\mine done\n"));
}

// A file of several links: deleting one name leaves the others, in its
// folder and elsewhere, so the folder is not empty yet.
TEST_F(PreviewAgainstRunTest, EachNameOfAFileOfSeveralLinksGoesOnItsOwn)
{
  BuildTwice([&](const fs::path &root) {
    Write(root / "temp" / "a" / "one");
    fs::create_directories(root / "temp" / "b");
    fs::create_hard_link(root / "temp" / "a" / "one", root / "temp" / "a" / "two");
    fs::create_hard_link(root / "temp" / "a" / "one", root / "temp" / "b" / "three");
  });
  auto [preview, run] = Compare(geteuid(), {{u"\\temp\\a\\one"}, {u"\\temp\\a"}});
  EXPECT_EQ(preview, run);
  EXPECT_THAT(run, HasSubstr("RemoveDirectoryW \\temp\\a refused, error 145\n"));
  EXPECT_THAT(run, HasSubstr("walk removed \\temp\\b\\three\n"));
}

TEST_F(PreviewAgainstRunTest, ImmutableAndAppendOnlyEntriesAndFoldersKeepTheirFiles)
{
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to set inode flags";
  }
  BuildTwice([&](const fs::path &root) {
    Write(root / "temp" / "frozen");
    Write(root / "temp" / "log");
    Write(root / "temp" / "appending" / "inside");
    Write(root / "temp" / "plain");
  });
  const std::vector<std::pair<std::string, int>> flagged = {
      {"frozen", FS_IMMUTABLE_FL}, {"log", FS_APPEND_FL}, {"appending", FS_APPEND_FL}};
  for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
    for (const auto &[name, flag] : flagged) {
      if (!SetInodeFlags(device / "root" / "temp" / name, flag)) {
        GTEST_SKIP() << "the file system under " << base_ << " has no inode flags";
      }
    }
  }
  auto [preview, run] = Compare(
      geteuid(), {{u"\\temp\\frozen", u"\\temp\\log", u"\\temp\\appending\\inside", u"\\temp\\plain"},
                  {u"\\temp\\appending"}});
  for (const fs::path &device : {PreviewDevice(), RunDevice()}) {
    for (const auto &[name, flag] : flagged) {
      SetInodeFlags(device / "root" / "temp" / name, 0);
    }
  }
  EXPECT_EQ(preview, run);
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\frozen refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\log refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\appending\\inside refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\plain done\n"));
}

// In a child about to play its calls: a mount namespace of its own, with a
// file system mounted at root/temp/card and root/temp/readonly bound onto
// itself read-only.
std::function<std::string()> MountInto(const fs::path &root)
{
  return [root] {
    std::string card = root / "temp" / "card", readonly = root / "temp" / "readonly";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", card.c_str(), "tmpfs", 0, nullptr) != 0 ||
        mount(readonly.c_str(), readonly.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, readonly.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return std::string("cannot mount: ") + std::strerror(errno) + "\n";
    }
    return std::string();
  };
}

TEST_F(PreviewAgainstRunTest, MountPointsAndReadOnlyMountsStay)
{
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to mount";
  }
  BuildTwice([&](const fs::path &root) {
    fs::create_directories(root / "temp" / "card");
    Write(root / "temp" / "readonly" / "kept");
  });
  auto [preview, run] =
      Compare(geteuid(), {{u"\\temp\\readonly\\kept"}, {u"\\temp\\card"}},
              MountInto(PreviewDevice() / "root"), MountInto(RunDevice() / "root"));
  if (run.starts_with("cannot mount")) {
    GTEST_SKIP() << run;
  }
  EXPECT_EQ(preview, run);
  EXPECT_THAT(run, HasSubstr("DeleteFileW \\temp\\readonly\\kept refused, error 5\n"));
  EXPECT_THAT(run, HasSubstr("RemoveDirectoryW \\temp\\card refused, error 32\n"));
}

}  // namespace
