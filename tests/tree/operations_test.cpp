// The tree operations run in-process against a fixture directory.
#include <gtest/gtest.h>

#include "main/errors.h"
#include "support/temp_dir.h"
#include "tree/copy_move.h"
#include "tree/delete.h"
#include "tree/listing.h"

namespace {

class OperationsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    PathList.clear();
  }
  std::string Sep() const { return std::string(1, Separator()); }
};

TEST_F(OperationsTest, DeleteTreeRemovesEverythingBelow) {
  MakeDir("t/a/b");
  WriteFile("t/a/b/f.txt");
  WriteFile("t/.hidden");
  MakeDir("t/empty");
  WriteFile("keep.txt");
  DeleteTarget(Path("t") + Sep());
  EXPECT_FALSE(Exists("t"));
  EXPECT_TRUE(Exists("keep.txt"));
}

TEST_F(OperationsTest, DeleteMaskTakesOnlyPlainMatchingFiles) {
  MakeDir("m/sub.tmp");
  WriteFile("m/a.tmp");
  WriteFile("m/b.TMP");
  WriteFile("m/c.txt");
  WriteFile("m/.h.tmp");
  WriteFile("m/x.tmpl");
  WriteFile("m/sub.tmp/inner.tmp");
  DeleteTarget(Path("m/*.tmp"));
  EXPECT_FALSE(Exists("m/a.tmp"));
  EXPECT_TRUE(Exists("m/c.txt"));
  EXPECT_TRUE(Exists("m/x.tmpl"));
  EXPECT_TRUE(Exists("m/sub.tmp/inner.tmp"));
  EXPECT_TRUE(Exists("m/.h.tmp") || Separator() == '\\');
}

TEST_F(OperationsTest, DeleteMaskWithTextBeforeTheStarAddressesTheFileFound) {
  MakeDir("m");
  WriteFile("m/ab.txt");
  WriteFile("m/b.txt");
  WriteFile("m/a");
  DeleteTarget(Path("m/a*.txt"));
  EXPECT_FALSE(Exists("m/ab.txt"));
  EXPECT_TRUE(Exists("m/b.txt"));
  EXPECT_TRUE(Exists("m/a"));
}

TEST_F(OperationsTest, DeleteStopsAtAReadOnlyFile) {
  MakeDir("t/sub");
  WriteFile("t/sub/ro.txt");
  WriteFile("t/other.txt");
  SetReadOnly("t/sub/ro.txt", true);
  EXPECT_THROW(DeleteTarget(Path("t")), EInOutError);
  EXPECT_TRUE(Exists("t/sub/ro.txt"));
}

TEST_F(OperationsTest, DeleteSingleFileAndMissingPaths) {
  WriteFile("f.txt");
  DeleteTarget(Path("f.txt"));
  EXPECT_FALSE(Exists("f.txt"));
  DeleteTarget(Path("f.txt"));        // a second run finds nothing
  DeleteTarget(Path("none/*.txt"));   // a mask whose directory is missing
  DeleteTarget("");
}

// What would reach past the named path is refused before anything goes.
TEST_F(OperationsTest, DeleteRefusesDotNamesAndUnsetVariables) {
  MakeDir("t/sub");
  WriteFile("t/sub/f.txt", "F");
  SetEnvironment("FO_OPS_UNSET", nullptr);
  SetEnvironment("FO_OPS_EMPTY", "");
  struct Row { std::string path, message; } rows[] = {
      {Path("t/sub") + Sep() + ".", "Cannot delete the . or .. entry of a directory"},
      {Path("t/sub") + Sep() + ".." + Sep(), "Cannot delete the . or .. entry of a directory"},
      {Path("t/sub") + Sep() + "%FO_OPS_UNSET%", "Environment variable FO_OPS_UNSET is not set"},
      {Path("t") + Sep() + "%FO_OPS_EMPTY%" + Sep() + "*.txt", "Environment variable FO_OPS_EMPTY is not set"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    try {
      DeleteTarget(row.path);
      ADD_FAILURE() << "no error raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Message(), row.message);
    }
    EXPECT_EQ(ReadFile("t/sub/f.txt"), "F");
  }
  // A move removes its source: the same refusal, before the target is made.
  try {
    MoveTarget(Path("t") + Sep() + "%FO_OPS_UNSET%", Path("moved"));
    ADD_FAILURE() << "no error raised";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), "Environment variable FO_OPS_UNSET is not set");
  }
  EXPECT_FALSE(Exists("moved"));
  EXPECT_EQ(ReadFile("t/sub/f.txt"), "F");
  // A copy removes nothing: the unset variable is the empty text there.
  CopyTarget(Path("t/sub") + Sep() + "%FO_OPS_UNSET%f.txt", Path("copied"));
  EXPECT_EQ(ReadFile("copied/f.txt"), "F");
  SetEnvironment("FO_OPS_EMPTY", nullptr);
}

TEST_F(OperationsTest, CopyTreeIntoNewTarget) {
  MakeDir("src/sub/empty");
  WriteFile("src/a.txt", "A");
  WriteFile("src/sub/b.txt", "B");
  WriteFile("src/.hidden", "H");
  CopyTarget(Path("src"), Path("dst/deep"));
  EXPECT_EQ(ReadFile("dst/deep/src/a.txt"), "A");
  EXPECT_EQ(ReadFile("dst/deep/src/sub/b.txt"), "B");
  EXPECT_EQ(ReadFile("dst/deep/src/.hidden"), "H");
  EXPECT_TRUE(IsDir("dst/deep/src/sub/empty"));
  EXPECT_EQ(ReadFile("src/a.txt"), "A");
}

TEST_F(OperationsTest, CopyReplacesAndMoveNeverReplaces) {
  MakeDir("s");
  WriteFile("s/f.txt", "new");
  MakeDir("t");
  WriteFile("t/f.txt", "old");
  MoveTarget(Path("s/f.txt"), Path("t"));
  EXPECT_EQ(ReadFile("s/f.txt"), "new");
  EXPECT_EQ(ReadFile("t/f.txt"), "old");
  CopyTarget(Path("s/f.txt"), Path("t"));
  EXPECT_EQ(ReadFile("t/f.txt"), "new");
}

TEST_F(OperationsTest, MoveTreeRemovesTheEmptiedSource) {
  MakeDir("src/sub/empty");
  WriteFile("src/a.txt", "A");
  WriteFile("src/sub/b.txt", "B");
  MoveTarget(Path("src"), Path("dst"));
  EXPECT_FALSE(Exists("src"));
  EXPECT_EQ(ReadFile("dst/src/a.txt"), "A");
  EXPECT_EQ(ReadFile("dst/src/sub/b.txt"), "B");
  EXPECT_TRUE(IsDir("dst/src/sub/empty"));
}

TEST_F(OperationsTest, MoveTreeKeepsFilesThatCouldNotMove) {
  MakeDir("src/sub");
  WriteFile("src/sub/taken.txt", "source");
  WriteFile("src/free.txt", "free");
  MakeDir("dst/src/sub");
  WriteFile("dst/src/sub/taken.txt", "target");
  EXPECT_THROW(MoveTarget(Path("src"), Path("dst")), EInOutError);
  EXPECT_EQ(ReadFile("src/sub/taken.txt"), "source");
  EXPECT_EQ(ReadFile("dst/src/sub/taken.txt"), "target");
  EXPECT_EQ(ReadFile("dst/src/free.txt"), "free");
  EXPECT_FALSE(Exists("src/free.txt"));
}

TEST_F(OperationsTest, MoveIntoItselfIsRefusedBeforeAnythingHappens) {
  MakeDir("a/src");
  WriteFile("a/src/f.txt", "F");
  struct Row { std::string source, target; } rows[] = {
      {Path("a/src"), Path("a/src/sub")},
      {Path("a/src"), Path("a")},
      {Path("a/src") + Sep(), Path("a/src")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source + " -> " + row.target);
    try {
      MoveTarget(row.source, row.target);
      ADD_FAILURE() << "no error raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Message(), "Cannot move a directory into itself");
    }
    EXPECT_EQ(ReadFile("a/src/f.txt"), "F");
    EXPECT_FALSE(Exists("a/src/sub"));
  }
  // A sibling whose name merely begins the same is not inside.
  MoveTarget(Path("a/src"), Path("a/srcx"));
  EXPECT_EQ(ReadFile("a/srcx/src/f.txt"), "F");
}

TEST_F(OperationsTest, TargetThatIsAFileIsReported) {
  WriteFile("f.txt", "F");
  WriteFile("x.txt", "X");
  for (auto* op : {&CopyTarget, &MoveTarget}) {
    try {
      op(Path("f.txt"), Path("x.txt"));
      ADD_FAILURE() << "no error raised";
    } catch (const EInOutError& error) {
      EXPECT_EQ(error.Message(), "Unable to create directory");
    }
  }
  EXPECT_EQ(ReadFile("x.txt"), "X");
  EXPECT_EQ(ReadFile("f.txt"), "F");
  EXPECT_FALSE(Exists("x.txtf.txt"));
}

}  // namespace
