// tests/ChangeDetectionTest.cpp: snapshots with the real find and GNU diff,
// and the incremental adjustment that applies their difference.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BuilderFixture.h"

namespace {

using catalogtest::count;

class ChangeDetectionTest : public ServiceTest {
 protected:
  std::string diffFile() const { return testhome::readFile(builder->workFiles().findDiffPath); }
};

TEST_F(ChangeDetectionTest, FirstCallLaysTheSnapshotAndOnlyNewNamesCount) {
  const std::string nstemp = home + "/nstemp";
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged());

  std::string text = log();
  EXPECT_NE(text.find(record("Ombrix", 262,
                             "exec:rm " + nstemp + "/findOld.txt " + nstemp + "/findDiff.txt\n")),
            std::string::npos);
  EXPECT_NE(
      text.find(
          record("Ombrix", 224, "exec:find " + lib + "/  -follow > " + nstemp + "/findNew.txt\n") +
          record("Ombrix", 244, "exec:mv " + nstemp + "/findNew.txt " + nstemp + "/findOld.txt\n") +
          record("Ombrix", 250, "isChanged = false\n")),
      std::string::npos);
  EXPECT_EQ(text.find("[Ombrix].[232]"), std::string::npos);  // nothing to compare with yet
  EXPECT_EQ(testhome::readFile(nstemp + "/findOld.txt"), lib + "/\n");
  EXPECT_FALSE(Util::isFileExist(nstemp + "/findNew.txt"));

  // Same names again, even with new contents: no difference.
  copyMedia("photo.jpg", lib + "/a.jpg");
  ASSERT_TRUE(builder->isChanged());
  testhome::writeFile(lib + "/a.jpg", "rewritten in place");
  EXPECT_FALSE(builder->isChanged());
  EXPECT_NE(log().find(record("Ombrix", 232,
                              "exec:" + home + "/diff " + nstemp + "/findOld.txt " + nstemp +
                                  "/findNew.txt > " + nstemp + "/findDiff.txt\n")),
            std::string::npos);
  EXPECT_EQ(diffFile(), "");

  // Hidden and uncatalogued names are listed, so they count as changes.
  testhome::writeFile(lib + "/.hidden.mp3", "");
  EXPECT_TRUE(builder->isChanged());
  testhome::writeFile(lib + "/notes.txt", "");
  EXPECT_TRUE(builder->isChanged());
  EXPECT_NE(log().find(record("Ombrix", 248, "isChanged = true\n")), std::string::npos);
}

TEST_F(ChangeDetectionTest, AddedRemovedAndMovedFilesAreApplied) {
  copyMedia("song.mp3", lib + "/a.mp3");
  copyMedia("photo.jpg", lib + "/b.jpg");
  startService();
  const std::string movedId = idOf(lib + "/a.mp3"), removedId = idOf(lib + "/b.jpg");
  copyMedia("photo.jpg", lib + "/new.jpg");
  ASSERT_EQ(unlink((lib + "/b.jpg").c_str()), 0);
  ASSERT_EQ(rename((lib + "/a.mp3").c_str(), (lib + "/renamed.mp3").c_str()), 0);

  ASSERT_TRUE(builder->isChanged());
  const std::string diff = diffFile();
  EXPECT_NE(diff.find("< " + lib + "/b.jpg\n"), std::string::npos) << diff;
  EXPECT_NE(diff.find("> " + lib + "/new.jpg\n"), std::string::npos) << diff;
  builder->adjustDatabase();

  EXPECT_EQ(idOf(lib + "/a.mp3"), "");
  EXPECT_EQ(idOf(lib + "/b.jpg"), "");
  EXPECT_EQ(
      value("select count(*) from FILEDETAIL where ID in (" + movedId + "," + removedId + ")"),
      "0");
  EXPECT_GT(std::stoll(idOf(lib + "/renamed.mp3")), std::stoll(movedId));
  EXPECT_EQ(parentOf(lib + "/new.jpg"), idOf(lib));
  EXPECT_EQ(rowCount("FILEDETAIL"), 2u);
  EXPECT_NE(log().find(record("Ombrix", 466, "Delete: " + lib + "/b.jpg\n")), std::string::npos);
}

TEST_F(ChangeDetectionTest, NewDirectoryIsEnteredFromItsOwnLines) {
  startService();
  ASSERT_EQ(mkdir((lib + "/new").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((lib + "/new/inner").c_str(), 0755), 0);
  copyMedia("clip.mpg", lib + "/new/inner/c.mpg");
  copyMedia("photo.jpg", lib + "/new/p.jpg");

  ASSERT_TRUE(builder->isChanged());
  builder->adjustDatabase();

  EXPECT_EQ(parentOf(lib + "/new"), idOf(lib));
  EXPECT_EQ(parentOf(lib + "/new/inner"), idOf(lib + "/new"));
  EXPECT_EQ(parentOf(lib + "/new/inner/c.mpg"), idOf(lib + "/new/inner"));
  EXPECT_EQ(parentOf(lib + "/new/p.jpg"), idOf(lib + "/new"));
  EXPECT_EQ(rowCount("OBJECTS"), 5u);
}

// A diff file written by hand: the lines a diff tool can produce, in orders
// that find never writes.
TEST_F(ChangeDetectionTest, AdjustmentReadsOnlyMarkedLinesInFileOrder) {
  startService();
  for (const std::string& dir :
       {lib + "/x", lib + "/x/y", lib + "/.cache", lib + "/.cache/sub", lib + "/my.photos"}) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  copyMedia("photo.jpg", lib + "/x/y/a.jpg");
  copyMedia("photo.jpg", lib + "/.x.jpg");
  copyMedia("photo.jpg", lib + "/.cache/c.jpg");
  copyMedia("photo.jpg", lib + "/.cache/sub/d.jpg");
  copyMedia("photo.jpg", lib + "/my.photos/p.jpg");
  copyMedia("photo.jpg", lib + "/last.jpg");
  testhome::writeFile(lib + "/notes.txt", "");
  const std::string lines[] = {"1a2,9",
                               "> " + lib + "/x/y/a.jpg",  // before its directories' lines
                               "> " + lib + "/x/y",
                               "> " + lib + "/x",
                               "---",
                               "> " + lib + "/.x.jpg",
                               "< " + lib + "/.x.jpg",
                               "\\ No newline at end of file",
                               "> " + lib + "/notes.txt",
                               "> " + lib + "/.cache/c.jpg",
                               "> " + lib + "/.cache/sub",
                               "> " + lib + "/.cache/sub/d.jpg",
                               "> " + lib + "/my.photos/p.jpg",
                               "",
                               "> " + lib + "/last.jpg"};
  std::string diff;
  for (const std::string& line : lines) diff += line + "\n";
  diff.pop_back();  // no line feed after the last line
  testhome::writeFile(builder->workFiles().findDiffPath, diff);

  builder->adjustDatabase();

  // The file's insertion entered its directories; their own lines add nothing.
  for (const std::string& dir : {lib + "/x", lib + "/x/y"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(value("select count(*) from OBJECTS where PATH = '" + dir + "'"), "1");
  }
  EXPECT_EQ(parentOf(lib + "/x"), idOf(lib));
  EXPECT_EQ(parentOf(lib + "/x/y/a.jpg"), idOf(lib + "/x/y"));
  EXPECT_EQ(idOf(lib + "/.x.jpg"), "");
  EXPECT_EQ(idOf(lib + "/notes.txt"), "");
  // Nothing inside a hidden directory is entered, as the walk never enters
  // one; a dot inside a name hides nothing.
  for (const char* hidden : {"/.cache", "/.cache/c.jpg", "/.cache/sub", "/.cache/sub/d.jpg"}) {
    EXPECT_EQ(idOf(lib + hidden), "") << hidden;
  }
  EXPECT_EQ(parentOf(lib + "/my.photos/p.jpg"), idOf(lib + "/my.photos"));
  EXPECT_NE(idOf(lib + "/last.jpg"), "");
  EXPECT_EQ(rowCount("OBJECTS"), 7u);
  EXPECT_NE(
      log().find(record("Ombrix", 457, "can't find object in database: " + lib + "/.x.jpg\n")),
      std::string::npos);
}

TEST_F(ChangeDetectionTest, ExitRequestStopsTheLinesButRefreshesTheMaps) {
  copyMedia("song.mp3", lib + "/a.mp3");
  startService();
  ASSERT_EQ(unlink((lib + "/a.mp3").c_str()), 0);
  ASSERT_TRUE(builder->isChanged());
  AppStatus::getInstance().setAppExit(true);

  builder->adjustDatabase();

  EXPECT_NE(idOf(lib + "/a.mp3"), "");
  EXPECT_NE(log().find(record("Ombrix", 164, "isAppExit is true, exit adjust db\n")),
            std::string::npos);
  expectMapsMatchDetails();
}

// Paths reach the tools as arguments, never through a shell.
TEST_F(ChangeDetectionTest, FolderNamesWithShellCharactersAreJustNames) {
  const std::string odd = home + "/My Music;touch pwned;$(touch pwned2)";
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  copyMedia("photo.jpg", odd + "/a b.jpg");
  builder = makeBuilder({odd});
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(home.c_str()), 0);  // where a shell would have left its traces

  startService();
  copyMedia("photo.jpg", odd + "/c;d.jpg");
  const bool changed = builder->isChanged();
  builder->adjustDatabase();
  ASSERT_EQ(chdir(cwd), 0);

  EXPECT_TRUE(changed);
  EXPECT_EQ(parentOf(odd + "/a b.jpg"), idOf(odd));
  EXPECT_EQ(parentOf(odd + "/c;d.jpg"), idOf(odd));
  EXPECT_FALSE(Util::isFileExist(home + "/pwned"));
  EXPECT_FALSE(Util::isFileExist(home + "/pwned2"));
  EXPECT_NE(log().find("exec:find " + odd + "/  -follow > "), std::string::npos);
}

TEST_F(ChangeDetectionTest, MapsArePrunedAndRefilled) {
  copyMedia("song.mp3", lib + "/one.mp3");
  copyMedia("photo.jpg", lib + "/p.jpg");
  startService();
  copyMedia("other.mp3", lib + "/two.mp3");
  ASSERT_TRUE(builder->isChanged());
  builder->adjustDatabase();
  expectMapsMatchDetails();

  ASSERT_EQ(unlink((lib + "/one.mp3").c_str()), 0);
  ASSERT_EQ(unlink((lib + "/p.jpg").c_str()), 0);
  ASSERT_TRUE(builder->isChanged());
  builder->adjustDatabase();
  expectMapsMatchDetails();
  EXPECT_EQ(rowCount("FILEDETAIL"), 1u);
}

TEST_F(ChangeDetectionTest, MissingDiffToolIsReportedAndIsNoChange) {
  // qemu-user runs posix_spawn's vfork-style clone as a plain fork, so a
  // failed exec cannot be handed back under the emulator.
  if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "exec failures are not reported under qemu-user";
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  builder->clearSnapshots();
  builder->isChanged();
  copyMedia("photo.jpg", lib + "/a.jpg");

  EXPECT_FALSE(builder->isChanged());

  const std::string nstemp = home + "/nstemp";
  EXPECT_NE(log().find(record("Ombrix", 266,
                              "exec fail: " + home + "/diff " + nstemp + "/findOld.txt " + nstemp +
                                  "/findNew.txt > " + nstemp +
                                  "/findDiff.txt: No such file or directory\n")),
            std::string::npos)
      << log();
}

TEST_F(ChangeDetectionTest, WithoutSharedFoldersTheListingIsEmpty) {
  builder = makeBuilder({});
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged());
  EXPECT_FALSE(builder->isChanged());
  EXPECT_EQ(testhome::readFile(builder->workFiles().findOldPath), "");
}

}  // namespace
