// A fixture that gives each test a fresh folder of its own (process id and
// test name keep parallel runs apart) and small whole-file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "linvoro_platform.h"

class TTempDirTest : public ::testing::Test {
 protected:
  explicit TTempDirTest(const char* prefix) : FPrefix(prefix) {}

  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // A parameterised test's name holds a '/', which would make the folder
    // a child of one that nothing removes.
    std::string name = info->name();
    for (char& c : name)
      if (c == '/') c = '_';
    dir = TempFolder() + FPrefix + std::to_string(::getpid()) + "_" + name + "/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string Path(const std::string& name) const { return dir + name; }
  static std::string Slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Put(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
  }

  std::string dir;

 private:
  const char* FPrefix;
};
