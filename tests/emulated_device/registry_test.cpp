// The registry in user.reg: its text format and the registry calls over it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>

#include "host_fixture.h"
#include "reg_file.h"
#include "utf16.h"

using ::testing::HasSubstr;

namespace {

namespace reg = tarvel::reg;
namespace regfile = tarvel::regfile;

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

reg::Registry Parsed(const std::string &text)
{
  auto result = regfile::Parse(text);
  if (auto *error = std::get_if<regfile::ParseError>(&result)) {
    ADD_FAILURE() << "line " << error->line << ": " << error->message;
    return {};
  }
  return std::move(std::get<reg::Registry>(result));
}

TEST(RegFileTest, EveryKindOfValueRoundTripsByteForByte)
{
  reg::Registry registry;
  reg::Key &key = registry.Create({u"HKEY_CURRENT_USER", u"SOFTWARE", u"Halvorn", u"Tarvel"});
  key.SetValue(u"ie", REG_SZ, {'1', 0, 0, 0});
  key.SetValue(u"quiet", REG_DWORD, {1, 0, 0, 0});
  key.SetValue(u"CAB", REG_SZ, {'1', 0});  // no terminator
  key.SetValue(u"blob", REG_BINARY, {0, 1, 2, 0xFF});
  key.SetValue(u"empty", REG_BINARY, {});
  key.SetValue(u"odd", REG_SZ, {'1'});
  key.SetValue(u"short dword", REG_DWORD, {7});
  key.SetValue(u"multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
  key.SetValue(u"with \"quotes\" and \\", REG_SZ, {'\\', 0, '"', 0, 0xE9, 0, 0, 0});
  key.SetValue(u"newline", REG_SZ, {'a', 0, '\n', 0, 0, 0});
  key.SetValue(u"", REG_SZ, {'d', 0, 0, 0});
  std::vector<BYTE> padded(80, 0);
  std::u16string history = u"\\Windows\\profiles\\2\\History";
  for (std::size_t i = 0; i < history.size(); ++i) {
    padded[2 * i] = static_cast<BYTE>(history[i]);
  }
  reg::Key &shell = registry.Create({u"HKEY_CURRENT_USER", u"Shell Folders"});
  shell.SetValue(u"History", REG_SZ, padded);
  registry.Create({u"HKEY_LOCAL_MACHINE", u"Other"}).SetValue(u"x", 11, {1, 2, 3, 4, 5, 6, 7, 8});
  registry.Create({u"HKEY_CURRENT_USER", u"Empty key"});

  std::string text = regfile::Write(registry);

  EXPECT_TRUE(Parsed(text) == registry) << text;
  EXPECT_THAT(text, HasSubstr("\"ie\"=\"1\"\n"));
  EXPECT_THAT(text, HasSubstr("\"quiet\"=dword:00000001\n"));
  EXPECT_THAT(text, HasSubstr("\"CAB\"=hex(1):31,00\n"));
  EXPECT_THAT(text, HasSubstr("\"with \\\"quotes\\\" and \\\\\"=\"\\\\\\\"\xC3\xA9\"\n"));
  EXPECT_THAT(text, HasSubstr("@=\"d\"\n"));
  EXPECT_THAT(text, HasSubstr("\"History\"=hex(1):5c,00,57,00"));
  EXPECT_THAT(text, HasSubstr("[HKEY_CURRENT_USER\\Empty key]\n"));
  EXPECT_THAT(text, HasSubstr("\"x\"=hex(b):01,02"));
}

TEST(RegFileTest, ReadsUtf16AndContinuedHexAndTheOldHeader)
{
  std::string utf8 = std::string(kHeader) +
                     "[HKEY_CURRENT_USER\\K]\r\n\"a\"=hex:01,02,\\\r\n  03\r\n; comment\r\n\"b\"=\"\xC3\xA9\"\r\n";
  std::string utf16 = "\xFF\xFE";
  auto wide = *tarvel::Utf8ToUtf16(utf8);
  for (char16_t unit : wide) {
    utf16.push_back(static_cast<char>(unit & 0xFF));
    utf16.push_back(static_cast<char>(unit >> 8));
  }
  for (const std::string &text : {utf8, "\xEF\xBB\xBF" + utf8, utf16}) {
    reg::Registry registry = Parsed(text);
    const reg::Key *key = registry.Find({u"HKEY_CURRENT_USER", u"k"});
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->FindValue(u"A")->data, (std::vector<BYTE>{1, 2, 3}));
    EXPECT_EQ(key->FindValue(u"b")->data, (std::vector<BYTE>{0xE9, 0, 0, 0}));
  }
  EXPECT_NE(Parsed("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=dword:2a\n")
                .Find({u"HKEY_CURRENT_USER", u"K"})
                ->FindValue(u"a"),
            nullptr);
}

TEST(RegFileTest, OldFilesAreReadInTheirCodePage)
{
  // Windows-1252, as a Western handheld's registry editor wrote it: é and €
  // in a key, a value name and the data.
  std::string western = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Caf\xE9]\r\n\"\x80\"=\"\xE9t\xE9 \x80\"\r\n";
  reg::Registry registry = Parsed(western);
  const reg::Key *key = registry.Find({u"HKEY_CURRENT_USER", u"Caf\u00E9"});
  ASSERT_NE(key, nullptr);
  ASSERT_NE(key->FindValue(u"\u20AC"), nullptr);
  EXPECT_EQ(key->FindValue(u"\u20AC")->data,
            (std::vector<BYTE>{0xE9, 0, 't', 0, 0xE9, 0, ' ', 0, 0xAC, 0x20, 0, 0}));
  // Written back as UTF-8, version 5.00, the same registry.
  std::string written = regfile::Write(registry);
  EXPECT_TRUE(written.starts_with(kHeader));
  EXPECT_EQ(Parsed(written), registry);

  // Korean, in the code page named: 한 is C7 D1 in CP949.
  auto korean = regfile::Parse("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"\xC7\xD1\"\n", "CP949");
  ASSERT_TRUE(std::holds_alternative<reg::Registry>(korean));
  EXPECT_EQ(std::get<reg::Registry>(korean).Find({u"HKEY_CURRENT_USER", u"K"})->FindValue(u"a")->data,
            (std::vector<BYTE>{0x5C, 0xD5, 0, 0}));

  // The last character of a file without a final line end is kept, also in
  // a code page whose converter holds it back for a combining mark.
  auto vietnamese =
      regfile::Parse("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"\xE9\"=dword:0000000a", "WINDOWS-1258");
  ASSERT_TRUE(std::holds_alternative<reg::Registry>(vietnamese));
  EXPECT_EQ(std::get<reg::Registry>(vietnamese).Find({u"HKEY_CURRENT_USER", u"K"})->FindValue(u"\u00E9")->data,
            (std::vector<BYTE>{10, 0, 0, 0}));

  // A REGEDIT4 file that is valid UTF-8 stays UTF-8: é, not Ã©.
  EXPECT_EQ(Parsed("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"a\"=\"\xC3\xA9\"\n")
                .Find({u"HKEY_CURRENT_USER", u"K"})->FindValue(u"a")->data,
            (std::vector<BYTE>{0xE9, 0, 0, 0}));

  // A byte the code page lacks (0x81 in Windows-1252) is refused where it
  // stands; a version 5.00 file is never read in a code page.
  auto unconvertible = regfile::Parse("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"\xE9\"=\"a\x81\"\n");
  auto *error = std::get_if<regfile::ParseError>(&unconvertible);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(std::make_pair(error->line, error->column), std::make_pair(3, 7)) << error->message;
  EXPECT_TRUE(std::holds_alternative<regfile::ParseError>(
      regfile::Parse(std::string(kHeader) + "[HKEY_CURRENT_USER\\Caf\xE9]\n")));
}

TEST(RegFileTest, BrokenFilesAreRefusedWithTheirLine)
{
  struct Case {
    std::string text;
    int line;
    int column = 0;  // 0: not checked
  };
  std::string tooDeep = "[HKEY_CURRENT_USER";
  for (std::size_t level = 0; level <= tarvel::regfile::kDeepestKey; ++level) {
    tooDeep += "\\k";
  }
  std::string utf16NoMark;
  for (char c : std::string(kHeader)) {
    utf16NoMark += c;
    utf16NoMark += '\0';
  }
  const Case cases[] = {
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"unterminated\n", 4},
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=hex:01,0", 4},
      {"\x89PNG\r\n\x1a\n\x00\x01\x02garbage", 1},
      {utf16NoMark, 1},
      {std::string(kHeader) + "\"a\"=\"outside\"\n", 3},
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\n\"a\"=qword:1\n", 5},
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\K\n", 3},
      {std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=dword:123456789\n", 4},
      {"", 1},
      {std::string(kHeader) + "[-HKEY_CURRENT_USER\\K]\n", 3},
      // A root that begins with "-" once its empty first part is dropped
      // would be written back as a deletion.
      {std::string(kHeader) + "[\\-HKEY_CURRENT_USER\\K]\n", 3},
      {std::string(kHeader) + tooDeep + "]\n", 3, 2},
      // Where the fault stands, in characters, continued hex lines included.
      {std::string(kHeader) + "[K]\n\"\u00e9\"=dword:12x4\n", 4, 13},
      {std::string(kHeader) + "[K]\n\"a\"=hex:01,02,\\\n  03;04\n", 5, 5},
      {std::string(kHeader) + "[K]\n  \"a\"=\"x\" y\n", 4, 11},
      {std::string(kHeader) + "[K]\n\"a\"=hex(z):00\n", 4, 9},
  };
  for (const Case &c : cases) {
    auto result = regfile::Parse(c.text);
    auto *error = std::get_if<regfile::ParseError>(&result);
    ASSERT_NE(error, nullptr) << c.text;
    EXPECT_EQ(error->line, c.line) << c.text << ": " << error->message;
    if (c.column != 0) {
      EXPECT_EQ(error->column, c.column) << c.text << ": " << error->message;
    }
  }
}

class HostRegistryTest : public HostTest {
 protected:
  fs::path File() { return device_ / "user.reg"; }
  HKEY Open(const char16_t *path)
  {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    return key;
  }
};

TEST_F(HostRegistryTest, CreatedKeyIsSavedWhenClosedAndReadOnlyHandlesTakeWrites)
{
  HKEY key = nullptr;
  DWORD disposition = 0;
  EXPECT_FALSE(fs::exists(File()));
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Halvorn\\Tarvel", 0, nullptr, 0, 0,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_THAT(Read(File()), HasSubstr("[HKEY_CURRENT_USER\\Software\\Halvorn\\Tarvel]\n"));

  key = Open(u"SOFTWARE\\Halvorn\\Tarvel");
  DWORD value = 42;
  EXPECT_EQ(RegSetValueExW(key, u"File", 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4),
            ERROR_SUCCESS);

  // A query never writes past its size and leaves the buffer on failure.
  BYTE two[] = {'1', 0, '2', 0, 0, 0};
  RegSetValueExW(key, u"two", 0, REG_SZ, two, 6);
  BYTE buffer[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  DWORD size = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"two", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_THAT(Read(File()), HasSubstr("\"File\"=dword:0000002a\n"));
}

TEST_F(HostRegistryTest, ChangeFromOutsideIsSeenAndKeptByTheNextWrite)
{
  Write(File(), std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"1\"\n\n"
                                       "[HKEY_LOCAL_MACHINE\\Elsewhere]\n\"keep\"=dword:00000001\n");
  HKEY key = Open(u"K");
  BYTE buffer[4];
  DWORD size = 4, type;
  EXPECT_EQ(RegQueryValueExW(key, u"a", nullptr, &type, buffer, &size), ERROR_SUCCESS);

  // A hand edit while the key is open.
  Write(File(), std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=\"0\"\n\"b\"=\"x\"\n\n"
                                       "[HKEY_LOCAL_MACHINE\\Elsewhere]\n\"keep\"=dword:00000001\n");
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"a", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(buffer[0], '0');
  DWORD one = 1;
  RegSetValueExW(key, u"c", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4);
  RegCloseKey(key);
  std::string text = Read(File());
  EXPECT_THAT(text, HasSubstr("\"b\"=\"x\"\n"));
  EXPECT_THAT(text, HasSubstr("\"c\"=dword:00000001\n"));
  EXPECT_THAT(text, HasSubstr("[HKEY_LOCAL_MACHINE\\Elsewhere]\n\"keep\"=dword:00000001\n"));
}

TEST_F(HostRegistryTest, FileThatCannotBeParsedIsNeverOverwritten)
{
  std::string broken = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"a\"=nonsense\n";
  Write(File(), broken);

  auto error = tarvel::host::CheckRegistryFile();
  ASSERT_TRUE(error.has_value());
  EXPECT_THAT(*error, ::testing::StartsWith(":4:5: "));
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, u"K", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  EXPECT_NE(RegCreateKeyExW(HKEY_CURRENT_USER, u"K2", 0, nullptr, 0, 0, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(Read(File()), broken);
}

TEST_F(HostRegistryTest, OutsideChangeThatDoesNotParseIsNotTakenUntilItIsMended)
{
  std::string good = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"disable\"=\"1\"\n";
  Write(File(), good);
  HKEY key = Open(u"K");
  BYTE buffer[8];
  DWORD size = sizeof buffer;
  ASSERT_EQ(RegQueryValueExW(key, u"disable", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);

  // An editor half-way through saving in place: the file is cut short.
  std::string half = good.substr(0, good.size() - 4);
  Write(File(), half);
  ::testing::internal::CaptureStderr();
  for (int read = 0; read < 2; ++read) {
    buffer[0] = 0;
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(key, u"disable", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(buffer[0], '1');
  }
  // Nothing is stored over it: the change is undone.
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key, u"mine", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
            ERROR_SUCCESS);
  EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Read(File()), half);
  EXPECT_FALSE(tarvel::host::StoredValue(u"K", u"mine").has_value());
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_THAT(said, HasSubstr("user.reg:4:")) << said;
  EXPECT_TRUE(tarvel::host::FinishRegistry().has_value());

  // Once mended, it is taken again.
  Write(File(), std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"disable\"=\"0\"\n");
  EXPECT_EQ(tarvel::host::StoredValue(u"K", u"disable"), (std::vector<BYTE>{'0', 0, 0, 0}));
}

TEST_F(HostRegistryTest, KeysChangesReachTheFileTogetherWhenClosedOrNotAtAll)
{
  std::string original = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"v0\"=dword:00000000\n";
  Write(File(), original);
  int replaces = 0;
  bool failReplace = false;
  tarvel::host::SetBeforeReplaceHook([&] {
    ++replaces;
    if (failReplace) {
      // The replace fails: its temporary file is gone.
      fs::remove(device_ / ("user.reg.tmp." + std::to_string(getpid())));
    }
  });
  auto setTwelve = [&](HKEY key, DWORD number) {
    for (int v = 0; v < 12; ++v) {
      std::u16string name = *tarvel::Utf8ToUtf16("v" + std::to_string(v));
      ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&number), 4),
                ERROR_SUCCESS);
    }
  };

  // Seen by the run at once, stored all together in one replace on close.
  HKEY key = Open(u"K");
  setTwelve(key, 7);
  EXPECT_EQ(tarvel::host::StoredValue(u"K", u"v11"), (std::vector<BYTE>{7, 0, 0, 0}));
  EXPECT_EQ(Read(File()), original);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(replaces, 1);
  EXPECT_EQ(Parsed(Read(File())).Find({u"HKEY_CURRENT_USER", u"K"})->values.size(), 12u);

  // A key created and not closed is stored when the run ends, holding no
  // value.
  HKEY created = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"New\\Deep", 0, nullptr, 0, 0, nullptr, &created,
                            nullptr),
            ERROR_SUCCESS);
  EXPECT_FALSE(tarvel::host::FinishRegistry().has_value());
  EXPECT_THAT(Read(File()), HasSubstr("[HKEY_CURRENT_USER\\New\\Deep]\n"));
  EXPECT_EQ(replaces, 2);

  // A replace that fails stores none of them and leaves none in memory.
  std::string stored = Read(File());
  failReplace = true;
  key = Open(u"K");
  setTwelve(key, 9);
  EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);
  tarvel::host::SetBeforeReplaceHook(nullptr);
  EXPECT_EQ(Read(File()), stored);
  EXPECT_EQ(tarvel::host::StoredValue(u"K", u"v11"), (std::vector<BYTE>{7, 0, 0, 0}));
  auto why = tarvel::host::FinishRegistry();
  ASSERT_TRUE(why.has_value());
  EXPECT_THAT(*why, HasSubstr("could not be replaced"));
}

TEST_F(HostRegistryTest, WriteThatWouldOutgrowWhatTheStoreReadsStoresNothing)
{
  std::string original = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n";
  Write(File(), original);
  // Each byte takes three in the file ("00,").
  std::vector<BYTE> data(tarvel::host::kLargestRegistryFile / 3 + 1);
  HKEY key = Open(u"K");
  EXPECT_EQ(RegSetValueExW(key, u"big", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
  EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(Read(File()) == original);  // not printed: it may be 64 MiB
  EXPECT_FALSE(tarvel::host::StoredValue(u"K", u"big").has_value());
}

TEST_F(HostRegistryTest, ConcurrentWritersNeverCorruptTheFileNorLoseAValue)
{
  const int kWriters = 4, kValues = 25;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t child = fork();
    if (child == 0) {
      tarvel::host::CloseDevice();
      tarvel::host::OpenDevice(device_);
      // Each writer holds the device lock, as the launcher does for a run.
      int lock = open(device_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (lock < 0 || flock(lock, LOCK_EX) != 0) _exit(1);
      HKEY key = nullptr;
      RegCreateKeyExW(HKEY_CURRENT_USER, u"Shared", 0, nullptr, 0, 0, nullptr, &key, nullptr);
      for (int v = 0; v < kValues; ++v) {
        std::u16string name = u"w" + std::u16string(1, u'0' + w) + u"v" +
                              std::u16string(1, u'a' + v);
        DWORD data = static_cast<DWORD>(v);
        RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE *>(&data), 4);
      }
      RegCloseKey(key);
      _exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  reg::Registry registry = Parsed(Read(File()));
  const reg::Key *key = registry.Find({u"HKEY_CURRENT_USER", u"Shared"});
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.size(), static_cast<std::size_t>(kWriters * kValues));
}

TEST_F(HostRegistryTest, KeysAsDeepAsTheRegistryAllowsAreReadAndWrittenOnTheDeviceStack)
{
  std::string path = "HKEY_CURRENT_USER";
  for (std::size_t level = 0; level < tarvel::regfile::kDeepestKey; ++level) {
    path += "\\k";
  }
  Write(File(), std::string(kHeader) + "[" + path + "]\n\"deep\"=dword:00000001\n");
  // A write, and the release of what was read, on a thread with the
  // device's 64 KiB stack (eight times that under AddressSanitizer, as the
  // tarvel program gives it).
  std::size_t stack = 64 * 1024;
#if defined(__SANITIZE_ADDRESS__)
  stack *= 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  stack *= 8;
#endif
#endif
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, stack);
  pthread_t device;
  auto run = [](void *) -> void * {
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, u"k", 0, KEY_READ, &key);
    DWORD one = 1;
    RegSetValueExW(key, u"v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4);
    RegCloseKey(key);
    tarvel::host::CloseDevice();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&device, &attributes, run, nullptr), 0);
  pthread_join(device, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_THAT(Read(File()), HasSubstr("[" + path + "]\n\"deep\"=dword:00000001\n"));
  EXPECT_THAT(Read(File()), HasSubstr("[HKEY_CURRENT_USER\\k]\n\"v\"=dword:00000001\n"));
}

TEST_F(HostRegistryTest, ReplaceKeepsTheModeAndEditsAndNeverWritesThroughALeftover)
{
  Write(File(), std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n");
  fs::permissions(File(), fs::perms::owner_read | fs::perms::owner_write);
  // Left over by writers that were killed: a hard link to a file outside
  // the device under this process's own temporary name, and a FIFO.
  Write(Outside(), "outside");
  fs::create_hard_link(Outside(), device_ / ("user.reg.tmp." + std::to_string(getpid())));
  ASSERT_EQ(mkfifo((device_ / "user.reg.tmp.1").c_str(), 0644), 0);
  // Not the store's: kept.
  Write(device_ / "user.reg.tmp.orig", "a person's");
  // An editor saves by rename while the first write is under way.
  int edits = 0;
  tarvel::host::SetBeforeReplaceHook([&] {
    if (edits++ == 0) {
      Write(device_ / "edited", std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"edit\"=\"1\"\n");
      fs::permissions(device_ / "edited", fs::perms::owner_read | fs::perms::owner_write);
      fs::rename(device_ / "edited", File());
    }
  });

  HKEY key = Open(u"K");
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key, u"mine", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
  tarvel::host::SetBeforeReplaceHook(nullptr);

  std::string text = Read(File());
  EXPECT_THAT(text, HasSubstr("\"edit\"=\"1\"\n"));
  EXPECT_THAT(text, HasSubstr("\"mine\"=dword:00000001\n"));
  EXPECT_EQ(fs::status(File()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Read(Outside()), "outside");
  for (auto &entry : fs::directory_iterator(device_)) {
    if (entry.path().filename() != "user.reg.tmp.orig") {
      EXPECT_THAT(entry.path().filename().string(), ::testing::Not(::testing::StartsWith("user.reg.tmp")));
    }
  }
  EXPECT_EQ(Read(device_ / "user.reg.tmp.orig"), "a person's");

  // An editor that saves in place, keeping the size and setting the
  // modification time back (cp -p, rsync -t --inplace).
  edits = 0;
  tarvel::host::SetBeforeReplaceHook([&] {
    if (edits++ == 0) {
      struct stat before;
      ASSERT_EQ(stat(File().c_str(), &before), 0);
      std::string edited = Read(File());
      edited.replace(edited.find("\"edit\"=\"1\""), 10, "\"edit\"=\"2\"");
      Write(File(), edited);
      const struct timespec times[] = {before.st_atim, before.st_mtim};
      ASSERT_EQ(utimensat(AT_FDCWD, File().c_str(), times, 0), 0);
    }
  });
  key = Open(u"K");
  EXPECT_EQ(RegSetValueExW(key, u"again", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);
  tarvel::host::SetBeforeReplaceHook(nullptr);
  text = Read(File());
  EXPECT_THAT(text, HasSubstr("\"edit\"=\"2\"\n"));
  EXPECT_THAT(text, HasSubstr("\"again\"=dword:00000001\n"));
}

}  // namespace
