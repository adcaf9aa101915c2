// Real faults made on Linux, end to end: a read-only file system as the
// target (for both builds), and a copy killed half-way through a large file.
// Mounting needs root; the tests say so and skip where it is refused.
#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include "e2e/fixture.h"

namespace {

class RealFaults : public E2ETest {
 protected:
  void TearDown() override {
    for (const fs::path& at : mounts_) umount2(at.c_str(), MNT_DETACH);
    E2ETest::TearDown();
  }
  // Mounts a small tmpfs at `relative`; false (with the reason) when refused.
  bool MountTmpfs(const std::string& relative, const char* options, std::string& why) {
    Dir(relative);
    if (mount("tmpfs", Host(relative).c_str(), "tmpfs", 0, options) != 0) {
      why = std::strerror(errno);
      return false;
    }
    mounts_.push_back(Host(relative));
    return true;
  }
  bool Remount(const std::string& relative, unsigned long flags, std::string& why) {
    if (mount(nullptr, Host(relative).c_str(), nullptr, MS_REMOUNT | flags, nullptr) != 0) {
      why = std::strerror(errno);
      return false;
    }
    return true;
  }

 private:
  std::vector<fs::path> mounts_;
};

TEST_F(RealFaults, ReadOnlyTargetIsReportedAndNothingIsLost) {
  std::string why;
  if (!MountTmpfs("ro", "size=8m", why)) GTEST_SKIP() << "cannot mount a tmpfs here: " << why;
  Write("ro/dst/old.txt", "old");
  if (!Remount("ro", MS_RDONLY, why)) GTEST_SKIP() << "cannot make the tmpfs read-only: " << why;
  Write("src/a.txt", "A");
  Write("src/sub/b.txt", "B");
  ExpectReport(Run({"c", P("src"), "<>", P("ro/dst")}), "File access denied.");
  ExpectReport(Run({"m", P("src"), "<>", P("ro/dst")}), "File access denied.");
  ExpectQuiet(Run({"c", P("src/a.txt"), "<>", P("ro/dst")}));  // a single file fails silently
  ExpectQuiet(Run({"m", P("src/a.txt"), "<>", P("ro/dst")}));
  ExpectQuiet(Run({"d", P("ro/dst/old.txt")}));
  EXPECT_EQ(Read("src/a.txt"), "A");
  EXPECT_EQ(Read("src/sub/b.txt"), "B");
  EXPECT_EQ(Read("ro/dst/old.txt"), "old");
  EXPECT_FALSE(Exists("ro/dst/src"));
  EXPECT_FALSE(Exists("ro/dst/a.txt"));
}

// Killed half-way, a copy leaves the target absent or with its old content:
// never a partial file under the target's name, nor a stray temporary. Each
// kill strikes while the program is seen writing the copy (see
// RunKilledMidCopy), however fast the file system copies.
TEST_F(RealFaults, KilledCopyLeavesNoPartialFile) {
  if (program().IsWine()) {
    GTEST_SKIP() << "Windows has no unnamed files: a killed copy leaves its hidden partial file there "
                    "(Names.KilledCopyKeepsTheOldFile)";
  }
  if (ClonesFiles()) GTEST_SKIP() << kClonedCopy;
  const uintmax_t size = uintmax_t{768} << 20;
  {
    std::ofstream out(Host("big.bin"), std::ios::binary);
    std::string block(1 << 20, '\0');
    for (uintmax_t i = 0; i < size / block.size(); ++i) {
      std::memset(block.data(), static_cast<int>('a' + i % 26), block.size());
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out.close();
    ASSERT_TRUE(out) << "the source could not be written";
  }
  ASSERT_EQ(fs::file_size(Host("big.bin")), size);
  Write("fresh/keep.txt", "k");
  Write("replace/big.bin", "old content");
  auto expectNoTemporary = [&] {
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(Host("fresh"))) ++entries;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(Host("replace"))) ++entries;
    EXPECT_EQ(entries, 2u);  // keep.txt and big.bin: no temporary left
  };
  int caughtFresh = 0, caughtReplacing = 0;
  for (int run = 0; run < 8 && (caughtFresh < 2 || caughtReplacing < 2); ++run) {
    SCOPED_TRACE(run);
    const RunResult fresh = program().RunKilledMidCopy({"c", P("big.bin"), "<>", P("fresh")}, Host("fresh"), size);
    if (fresh.killed) {
      ++caughtFresh;
      EXPECT_FALSE(Exists("fresh/big.bin")) << "killed with " << fresh.partialBytes << " bytes copied";
    } else {  // ended before it was seen half-way (a loaded machine): a whole copy
      ExpectQuiet(fresh);
      EXPECT_EQ(fs::file_size(Host("fresh/big.bin")), size);
    }
    fs::remove(Host("fresh/big.bin"));
    const RunResult replace = program().RunKilledMidCopy({"c", P("big.bin"), "<>", P("replace")}, Host("replace"), size);
    if (replace.killed) {
      ++caughtReplacing;
      EXPECT_EQ(Read("replace/big.bin"), "old content") << "killed with " << replace.partialBytes << " bytes copied";
    } else {
      ExpectQuiet(replace);
      EXPECT_EQ(fs::file_size(Host("replace/big.bin")), size);
      Write("replace/big.bin", "old content");
    }
    expectNoTemporary();
  }
  EXPECT_GE(caughtFresh, 2) << "copies to a new name killed half-way";
  EXPECT_GE(caughtReplacing, 2) << "copies over an old file killed half-way";
}

}  // namespace
