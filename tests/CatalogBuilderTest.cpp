// tests/CatalogBuilderTest.cpp: the first build and its walk, the size watch
// on a fake clock, and the full check, in process on real folders and a real
// catalogue file.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "BuilderFixture.h"
#include "Database/Database.h"

namespace {

using catalogtest::count;

class CatalogBuilderTest : public LibraryTest {};

TEST_F(CatalogBuilderTest, BuildEntersEveryContainerUnderItsParent) {
  const std::string rock = lib + "/Rock 'n' Roll";
  for (const std::string& dir : {lib + "/sub", lib + "/sub/deeper", lib + "/.thumbs", rock}) {
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  copyMedia("song.mp3", lib + "/sub/deeper/a.mp3");
  copyMedia("photo.jpg", lib + "/photo.jpg");
  copyMedia("clip.mpg", rock + "/it's.mpg");
  copyMedia("song.mp3", lib + "/.x.mp3");
  copyMedia("photo.jpg", lib + "/.thumbs/t.jpg");
  testhome::writeFile(lib + "/list.m3u", lib + "/photo.jpg\n");
  testhome::writeFile(lib + "/notes.txt", "not media\n");
  ASSERT_EQ(mkfifo((lib + "/pipe").c_str(), 0644), 0);

  builder->buildDatabase();

  EXPECT_EQ(idOf(lib), "1001");
  EXPECT_EQ(parentOf(lib), "0");
  struct Case {
    std::string path, parent, type;
  };
  const Case cases[] = {{lib + "/sub", lib, "10"},
                        {lib + "/sub/deeper", lib + "/sub", "10"},
                        {lib + "/sub/deeper/a.mp3", lib + "/sub/deeper", "2"},
                        {lib + "/photo.jpg", lib, "1"},
                        {rock, lib, "10"},
                        {rock + "/it's.mpg", rock, "3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_NE(idOf(c.path), "");
    EXPECT_EQ(parentOf(c.path), idOf(c.parent));
    EXPECT_EQ(value("select TYPE from OBJECTS where ID = " + idOf(c.path)), c.type);
  }
  // Only the six entries above and the folder: nothing hidden, no playlist,
  // no text file, no FIFO; every file has its detail row under its own ID.
  EXPECT_EQ(rowCount("OBJECTS"), 7u);
  EXPECT_EQ(value("select count(*) from OBJECTS o join FILEDETAIL d on d.ID = o.ID"), "3");
  EXPECT_EQ(rowCount("FILEDETAIL"), 3u);
  EXPECT_NE(log().find(record("Ombrix", 325, "not dir nor file =" + lib + "/pipe\n")),
            std::string::npos);
  // The maps hold exactly the names FILEDETAIL carries; images bring "Unknown".
  expectMapsMatchDetails();
  EXPECT_EQ(value("select count(*) from ALBUMMAP where A_ALBUM = 'Unknown'"), "1");
}

TEST_F(CatalogBuilderTest, BuildWalksDirectoryLinksAndStopsAtLoops) {
  ASSERT_EQ(mkdir((lib + "/real").c_str(), 0755), 0);
  copyMedia("photo.jpg", lib + "/real/a.jpg");
  ASSERT_EQ(symlink("real", (lib + "/link").c_str()), 0);
  ASSERT_EQ(symlink("..", (lib + "/real/up").c_str()), 0);  // leads back to lib
  ASSERT_EQ(symlink("nowhere", (lib + "/dangling").c_str()), 0);

  builder->buildDatabase();

  // The link is walked like a directory; its rows carry the path through it.
  EXPECT_EQ(parentOf(lib + "/link"), idOf(lib));
  EXPECT_EQ(parentOf(lib + "/link/a.jpg"), idOf(lib + "/link"));
  EXPECT_EQ(parentOf(lib + "/real/a.jpg"), idOf(lib + "/real"));
  // Both ways into the loop end at once, without a row.
  EXPECT_EQ(idOf(lib + "/real/up"), "");
  EXPECT_EQ(idOf(lib + "/link/up"), "");
  EXPECT_EQ(rowCount("OBJECTS"), 5u);
  std::string text = log();
  EXPECT_NE(text.find(record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/real/up\n")),
            std::string::npos);
  EXPECT_NE(text.find(record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/link/up\n")),
            std::string::npos);
  EXPECT_NE(text.find(record("Ombrix", 325, "not dir nor file =" + lib + "/dangling\n")),
            std::string::npos);
}

TEST_F(CatalogBuilderTest, NestedSharedFolderIsEnteredUnderRootAndUnderItsParent) {
  ASSERT_EQ(mkdir((lib + "/inner").c_str(), 0755), 0);
  copyMedia("photo.jpg", lib + "/inner/a.jpg");
  builder = makeBuilder({lib, lib + "/inner/"});

  builder->buildDatabase();

  const std::string inner = Util::escapeQuote(lib + "/inner");
  EXPECT_EQ(rows("select PARENT_ID from OBJECTS where PATH = '" + inner + "' order by ID"),
            (std::vector<catalogtest::Row>{{"0"}, {idOf(lib)}}));
  // Walked twice: once as a folder of its own, once inside lib.
  EXPECT_EQ(value("select count(*) from OBJECTS where PATH = '" + inner + "/a.jpg'"), "2");
}

// The watch decides by the age of the newer of mtime and ctime; the fake
// clock makes a just-written file as old as the case needs.
TEST_F(CatalogBuilderTest, SizeWatchPollsOnlyFreshFiles) {
  builder->buildDatabase();
  Database db(catalogPath);
  struct Case {
    const char* medium;
    const char* name;
    time_t ageSeconds;
    int polls;
  };
  const Case cases[] = {{"song.mp3", "old.mp3", 3600, 0},
                        {"song.mp3", "fresh.mp3", 120, 2},
                        {"clip.mpg", "fresh.mpg", 600, 2},
                        {"photo.jpg", "fresh.jpg", 600, 0},
                        {"clip.mpg", "old.mpg", 3600, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = lib + "/" + c.name;
    copyMedia(c.medium, path);
    clockOffset = c.ageSeconds;
    sleeps = 0;
    size_t sizeRecords = count(log(), "  size = ");

    EXPECT_GE(builder->fileCataloguer().insertFile(path, -1, db).id, 1001);

    EXPECT_EQ(sleeps, c.polls);
    EXPECT_EQ(count(log(), "  size = ") - sizeRecords, static_cast<size_t>(c.polls));
    EXPECT_NE(idOf(path), "");
  }
}

TEST_F(CatalogBuilderTest, GrowingFileIsWatchedUntilTwoPollsAgree) {
  builder->buildDatabase();
  const std::string path = lib + "/growing.mp3";
  copyMedia("song.mp3", path);
  struct stat status;
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  const int64_t start = status.st_size;
  clockOffset = 0;
  onSleep = [&](int sleep) {  // the writer adds 100 bytes during the first two seconds
    if (sleep <= 2) {
      FILE* file = fopen(path.c_str(), "ab");
      ASSERT_NE(file, nullptr);
      fwrite(std::string(100, '\0').data(), 1, 100, file);
      fclose(file);
    }
  };
  Database db(catalogPath);

  EXPECT_GE(builder->fileCataloguer().insertFile(path, -1, db).id, 1001);

  EXPECT_EQ(sleeps, 4);
  const std::string text = log();
  const std::string s0 = std::to_string(start), s1 = std::to_string(start + 100),
                    s2 = std::to_string(start + 200);
  const std::string expected = record("Ombrix", 516, "size = " + s0 + "\n") +
                               record("Ombrix", 523, s0 + " <> " + s1 + "\n") +
                               record("Ombrix", 516, "size = " + s1 + "\n") +
                               record("Ombrix", 523, s1 + " <> " + s2 + "\n") +
                               record("Ombrix", 516, "size = " + s2 + "\n") +
                               record("Ombrix", 516, "size = " + s2 + "\n");
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  // The record is refilled after the watch, so the row has the final size.
  EXPECT_EQ(value("select FILE_SIZE from OBJECTS where PATH = '" + path + "'"), s2);
}

TEST_F(CatalogBuilderTest, WatchedFileThatVanishesOrIsAbandonedIsNotCatalogued) {
  builder->buildDatabase();
  Database db(catalogPath);
  clockOffset = 0;
  const std::string vanishing = lib + "/vanishing.mp3";
  copyMedia("song.mp3", vanishing);
  onSleep = [&](int) { unlink(vanishing.c_str()); };

  EXPECT_EQ(builder->fileCataloguer().insertFile(vanishing, -1, db).id, -1);
  EXPECT_EQ(sleeps, 1);
  EXPECT_NE(
      log().find(record("Ombrix", 526, "file vanished during size watch: " + vanishing + "\n")),
      std::string::npos);

  // A stop request ends the watch at the next second, not after 1200.
  const std::string abandoned = lib + "/abandoned.jpg";
  copyMedia("photo.jpg", abandoned);
  sleeps = 0;
  onSleep = [](int) { AppStatus::getInstance().setAppExit(true); };

  EXPECT_EQ(builder->fileCataloguer().insertFile(abandoned, -1, db).id, -1);
  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(rowCount("OBJECTS"), 1u);  // the folder alone
  EXPECT_EQ(rowCount("FILEDETAIL"), 0u);
}

TEST_F(CatalogBuilderTest, CheckKeepsIdsOfWhatStaysAndFollowsWhatChanged) {
  ASSERT_EQ(mkdir((lib + "/sub").c_str(), 0755), 0);
  copyMedia("song.mp3", lib + "/a.mp3");
  copyMedia("photo.jpg", lib + "/gone.jpg");
  copyMedia("photo.jpg", lib + "/sub/c.jpg");
  builder->buildDatabase();
  const std::string keptId = idOf(lib + "/a.mp3"), subId = idOf(lib + "/sub");
  const std::string goneId = idOf(lib + "/gone.jpg");
  ASSERT_NE(goneId, "");
  ASSERT_EQ(unlink((lib + "/gone.jpg").c_str()), 0);
  copyMedia("clip.mpg", lib + "/sub/new.mpg");

  makeBuilder({lib})->checkDatabase();

  EXPECT_EQ(idOf(lib + "/a.mp3"), keptId);
  EXPECT_EQ(idOf(lib + "/sub"), subId);
  EXPECT_EQ(idOf(lib + "/gone.jpg"), "");
  EXPECT_EQ(value("select count(*) from FILEDETAIL where ID = " + goneId), "0");
  EXPECT_EQ(parentOf(lib + "/sub/new.mpg"), subId);
  EXPECT_EQ(value("select count(*) from OBJECTS where FOUND <> 1"), "0");
  EXPECT_EQ(rowCount("OBJECTS"), 5u);
  EXPECT_NE(log().find(record("Ombrix", 117, "Check shared folder: " + lib + "\n")),
            std::string::npos);
}

TEST_F(CatalogBuilderTest, CheckSweepsTheRowsOfADroppedSharedFolder) {
  const std::string other = home + "/other";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  copyMedia("photo.jpg", other + "/x.jpg");
  copyMedia("photo.jpg", lib + "/y.jpg");
  makeBuilder({lib, other})->buildDatabase();
  ASSERT_EQ(rowCount("OBJECTS"), 4u);

  makeBuilder({lib})->checkDatabase();

  EXPECT_EQ(rows("select PATH from OBJECTS order by ID"),
            (std::vector<catalogtest::Row>{{lib}, {lib + "/y.jpg"}}));
  EXPECT_EQ(rowCount("FILEDETAIL"), 1u);
}

TEST_F(CatalogBuilderTest, ExitRequestDuringCheckDeletesNothing) {
  copyMedia("photo.jpg", lib + "/a.jpg");
  copyMedia("photo.jpg", lib + "/b.jpg");
  builder->buildDatabase();
  ASSERT_EQ(unlink((lib + "/b.jpg").c_str()), 0);
  AppStatus::getInstance().setAppExit(true);

  makeBuilder({lib})->checkDatabase();

  EXPECT_EQ(rowCount("OBJECTS"), 3u);  // b.jpg's row survives an incomplete walk
  EXPECT_EQ(rowCount("FILEDETAIL"), 2u);
  const std::string text = log();
  EXPECT_NE(text.find(record("Ombrix", 287, "isAppExit is true, exit traverse Dir\n")),
            std::string::npos);
  EXPECT_EQ(text.find("Delete DB Time = "), std::string::npos);
}

}  // namespace
