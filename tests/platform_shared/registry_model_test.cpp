#include "registry_model.h"

#include <gtest/gtest.h>

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

}  // namespace
