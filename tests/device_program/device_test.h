// Shared set-up of the device-code tests: each test starts as a new process
// on a fresh in-memory device.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device.h"

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::NewProcess(); }
  fake::Device &device() { return fake::TheDevice(); }
};

// Runs one walker on a folder and pattern written in UTF-8 device form.
template <typename Walker>
int Walk(Walker walker, std::string_view folder, std::string_view pattern)
{
  std::u16string f = fake::DevicePath(folder);
  std::u16string p = fake::DevicePath(pattern);
  return walker(f.c_str(), p.c_str());
}
