#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

namespace fs = std::filesystem;

char Separator() { return platform::NativeConventions().separator; }

std::string NativePath(std::string_view relative) {
  std::string path(relative);
  for (char& ch : path) {
    if (ch == '/') ch = Separator();
  }
  return path;
}

void SetEnvironment(const std::string& name, const char* value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value ? value : "");
#else
  if (value) {
    setenv(name.c_str(), value, 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

void TempDirTest::SetUp() {
  static std::atomic<unsigned> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::ostringstream name;
  name << "fileop-" << info->name() << "-"
       << std::chrono::steady_clock::now().time_since_epoch().count() << "-" << counter++;
  std::string leaf = name.str();
  for (char& ch : leaf) {
    if (ch == '/') ch = '_';
  }
  fs::path root = fs::temp_directory_path() / leaf;
  fs::create_directories(root);
  root_ = root.string();
  while (!root_.empty() && (root_.back() == '/' || root_.back() == '\\')) root_.pop_back();
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  // Read-only entries must become writable before they can be removed.
  for (auto it = fs::recursive_directory_iterator(root_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(root_, ignored);
}

std::string TempDirTest::Path(std::string_view relative) const {
  return root_ + Separator() + NativePath(relative);
}

void TempDirTest::WriteFile(std::string_view relative, std::string_view content) const {
  std::ofstream out(Path(relative), std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out) << Path(relative);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string TempDirTest::ReadFile(std::string_view relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void TempDirTest::MakeDir(std::string_view relative) const { fs::create_directories(Path(relative)); }

bool TempDirTest::Exists(std::string_view relative) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(Path(relative), ignored));
}

bool TempDirTest::IsDir(std::string_view relative) const {
  std::error_code ignored;
  return fs::is_directory(fs::symlink_status(Path(relative), ignored));
}

void TempDirTest::SetReadOnly(std::string_view relative, bool readOnly) const {
  fs::permissions(Path(relative), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  readOnly ? fs::perm_options::remove : fs::perm_options::add);
}
