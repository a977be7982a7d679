// tests/PipelineTest.cpp: the walk's look-ahead with every fresh file in one
// watch set: rounds, order of the rows, files still being copied, files
// that vanish, and a stop during the watch. The watch runs on the fixture's
// fake clock, so a "second" passes only when the walk sleeps.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "BuilderFixture.h"

namespace {

using catalogtest::count;

class PipelineTest : public LibraryTest {
 protected:
  // Five photos and two songs in a folder and a subfolder.
  void makeLibrary() {
    ASSERT_EQ(mkdir((lib + "/sub").c_str(), 0755), 0);
    for (const char* name : {"a.jpg", "b.jpg", "sub/c.jpg", "sub/d.jpg", "e.jpg"}) {
      copyMedia("photo.jpg", lib + "/" + name);
    }
    copyMedia("song.mp3", lib + "/f.mp3");
    copyMedia("other.mp3", lib + "/sub/g.mp3");
  }
  std::vector<catalogtest::Row> objects() const {
    return rows("select ID, PARENT_ID, TYPE, PATH, FILE_SIZE from OBJECTS order by ID");
  }
  static void append(const std::string& path) {
    FILE* file = fopen(path.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    fputs("more", file);
    fclose(file);
  }
};

// Seven fresh files cost two rounds of polls, not fourteen, and the rows are
// those of the same build over old files.
TEST_F(PipelineTest, FreshFilesShareTheirPollsAndKeepTheOrder) {
  makeLibrary();
  builder->buildDatabase();
  const auto oldRows = objects();
  ASSERT_EQ(oldRows.size(), 9u);
  ASSERT_EQ(sleeps, 0);

  testhome::removeTree(catalogPath);
  clockOffset = 0;
  builder->buildDatabase();

  EXPECT_EQ(sleeps, 2);
  EXPECT_EQ(count(log(), "  size = "), 14u);
  EXPECT_EQ(objects(), oldRows);
  expectMapsMatchDetails();
}

// A file still being copied is set aside: the others pass it and it is
// written, with its final size, once two polls agree.
TEST_F(PipelineTest, GrowingFileLetsTheOthersThrough) {
  makeLibrary();
  const std::string growing = lib + "/sub/c.jpg";
  clockOffset = 0;
  onSleep = [&](int sleep) {
    if (sleep <= 3) append(growing);
  };
  builder->buildDatabase();

  const auto all = objects();
  ASSERT_EQ(all.size(), 9u);
  EXPECT_EQ(all.back()[3], growing);
  struct stat status;
  ASSERT_EQ(stat(growing.c_str(), &status), 0);
  EXPECT_EQ(all.back()[4], std::to_string(status.st_size));
  EXPECT_EQ(all.back()[1], idOf(lib + "/sub"));
  EXPECT_EQ(sleeps, 5);
  const std::string text = log();
  EXPECT_LT(text.rfind("Insert file: " + lib + "/sub/g.mp3"), text.find("Insert file: " + growing));
  expectMapsMatchDetails();
}

TEST_F(PipelineTest, VanishedFileIsNotCatalogued) {
  makeLibrary();
  clockOffset = 0;
  onSleep = [&](int) { unlink((lib + "/b.jpg").c_str()); };
  builder->buildDatabase();

  EXPECT_EQ(idOf(lib + "/b.jpg"), "");
  EXPECT_EQ(rowCount("FILEDETAIL"), 6u);
  EXPECT_EQ(count(log(), "file vanished during size watch: " + lib + "/b.jpg\n"), 1u);
}

// A stop ends the watch at the next poll: nothing watched is written, and
// every file says why.
TEST_F(PipelineTest, StopDuringTheWatchLeavesTheWatchedFilesOut) {
  makeLibrary();
  clockOffset = 0;
  onSleep = [](int) { AppStatus::getInstance().setAppExit(true); };
  builder->buildDatabase();

  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(rowCount("FILEDETAIL"), 0u);
  EXPECT_EQ(count(log(), "isAppExit is true, stop watching "), 7u);
}

}  // namespace
