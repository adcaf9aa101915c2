// A test fixture that owns a fresh directory, and small helpers to build and
// inspect files in it with the platform's separator.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

// The platform's path separator.
char Separator();

// `relative` with "/" turned into the platform's separator.
std::string NativePath(std::string_view relative);

// Sets (or, with nullptr, removes) an environment variable of this process.
void SetEnvironment(const std::string& name, const char* value);

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Root of the fixture's directory, without trailing separator.
  const std::string& Root() const { return root_; }
  // Root + separator + `relative` (written with "/").
  std::string Path(std::string_view relative) const;

  void WriteFile(std::string_view relative, std::string_view content = "x") const;
  std::string ReadFile(std::string_view relative) const;
  void MakeDir(std::string_view relative) const;
  bool Exists(std::string_view relative) const;
  bool IsDir(std::string_view relative) const;
  void SetReadOnly(std::string_view relative, bool readOnly) const;

 private:
  std::string root_;
};
