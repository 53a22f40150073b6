#include "registry_model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tarvel::reg;

TEST(RegistryModelTest, NamesIgnoreCaseAndKeepTheirFirstSpelling)
{
  Registry registry;
  Calls calls(registry);
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(calls.Create(HKEY_CURRENT_USER, u"Software\\Halvorn\\Tarvel", &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  BYTE one[] = {'1', 0, 0, 0};
  EXPECT_EQ(calls.Set(key, u"Disable", REG_SZ, one, 4), ERROR_SUCCESS);
  EXPECT_EQ(calls.Close(key), ERROR_SUCCESS);
  EXPECT_EQ(calls.Close(key), ERROR_INVALID_HANDLE);

  HKEY again = nullptr;
  ASSERT_EQ(calls.Open(HKEY_CURRENT_USER, u"SOFTWARE\\HALVORN\\tarvel", &again), ERROR_SUCCESS);
  DWORD type = 0, size = 4;
  BYTE buffer[4] = {};
  EXPECT_EQ(calls.Query(again, u"disable", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(buffer[0], '1');
  EXPECT_EQ(registry.Find({u"HKEY_CURRENT_USER", u"software", u"halvorn", u"TARVEL"})->name,
            u"Tarvel");
  EXPECT_EQ(registry.Find({u"HKEY_CURRENT_USER", u"Software", u"Halvorn", u"Tarvel"})->values[0].name,
            u"Disable");
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(calls.Open(HKEY_CURRENT_USER, u"Software\\Other", &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
}

TEST(RegistryModelTest, QueryNeverWritesPastTheSizeAndLeavesTheBufferOnFailure)
{
  Registry registry;
  Calls calls(registry);
  HKEY key = nullptr;
  calls.Create(HKEY_CURRENT_USER, u"K", &key, nullptr);
  BYTE six[] = {'1', 0, '2', 0, 0, 0};
  calls.Set(key, u"two", REG_SZ, six, 6);

  BYTE buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  DWORD size = 4, type = 0;
  EXPECT_EQ(calls.Query(key, u"two", &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  for (BYTE b : buffer) {
    EXPECT_EQ(b, 9);
  }
  size = 4;
  EXPECT_EQ(calls.Query(key, u"absent", &type, buffer, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(buffer[0], 9);
  size = 0;
  EXPECT_EQ(calls.Query(key, u"two", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  size = 8;
  EXPECT_EQ(calls.Query(key, u"two", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(buffer[5], 0);
  EXPECT_EQ(buffer[6], 9);

  // Exactly the bytes given are kept, an empty value included.
  calls.Set(key, u"empty", REG_BINARY, nullptr, 0);
  size = 4;
  EXPECT_EQ(calls.Query(key, u"empty", &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(calls.Query(reinterpret_cast<HKEY>(0x5), u"two", &type, buffer, &size),
            ERROR_INVALID_HANDLE);
}

// A key with many values and subkeys finds them by an index rather than
// from end to end: the same rules hold there, also after a value is erased.
TEST(RegistryModelTest, LongListsKeepTheRulesOfShortOnes)
{
  const int kNames = 100;
  auto spelled = [](const char16_t *stem, int i) {
    std::u16string name = stem;
    for (char c : std::to_string(i)) {
      name.push_back(static_cast<char16_t>(c));
    }
    return name;
  };
  Key key;
  for (int i = 0; i < kNames; ++i) {
    key.SetValue(spelled(u"Caf\u00E9", i), REG_DWORD, {static_cast<BYTE>(i)});
    key.SubkeyCreated(spelled(u"Sub", i));
  }
  for (int i = 0; i < kNames; ++i) {
    key.SetValue(spelled(u"CAF\u00C9", i), REG_BINARY, {static_cast<BYTE>(i + 1)});
    bool created = true;
    EXPECT_EQ(&key.SubkeyCreated(spelled(u"sUB", i), &created), key.subkeys[i].get());
    EXPECT_FALSE(created);
  }
  key.EraseValue(u"caf\u00C90");
  ASSERT_EQ(key.values.size(), static_cast<std::size_t>(kNames - 1));
  ASSERT_EQ(key.subkeys.size(), static_cast<std::size_t>(kNames));
  EXPECT_EQ(key.FindValue(u"caf\u00E90"), nullptr);
  for (int i = 1; i < kNames; ++i) {
    EXPECT_EQ(key.values[i - 1].name, spelled(u"Caf\u00E9", i));
    EXPECT_EQ(key.FindValue(spelled(u"cAf\u00C9", i)), &key.values[i - 1]);
    EXPECT_EQ(key.values[i - 1].data, std::vector<BYTE>{static_cast<BYTE>(i + 1)});
    EXPECT_EQ(key.subkeys[i]->name, spelled(u"Sub", i));
    EXPECT_EQ(key.FindSubkey(spelled(u"SUB", i)), key.subkeys[i].get());
  }
  EXPECT_EQ(key.FindSubkey(u"Sub100"), nullptr);
}

}  // namespace
