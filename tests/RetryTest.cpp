// tests/RetryTest.cpp: changes that a lock held by the media server kept out
// of the catalogue are retried in later cycles until the catalogue matches
// the folders; analysis failures cost one file's details, not the service.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BuilderFixture.h"

namespace {

using catalogtest::count;

class RetryTest : public ServiceTest {
 protected:
  // A reader that holds the catalogue's lock, as a busy media server can.
  void lockCatalogue() {
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(catalogPath.c_str(), &raw));
    locker.reset(raw);
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  }
  void unlockCatalogue() { locker.reset(); }

  SqliteHandle locker;
};

TEST_F(RetryTest, ChangesKeptOutByALockAreRetriedUntilTheyLand) {
  copyMedia("song.mp3", lib + "/old.mp3");
  copyMedia("photo.jpg", lib + "/back.jpg");
  startService();
  copyMedia("photo.jpg", lib + "/new.jpg");
  copyMedia("song.mp3", lib + "/gone-again.mp3");
  ASSERT_EQ(unlink((lib + "/old.mp3").c_str()), 0);
  ASSERT_EQ(unlink((lib + "/back.jpg").c_str()), 0);
  ASSERT_TRUE(builder->isChanged());

  lockCatalogue();
  builder->adjustDatabase();
  EXPECT_EQ(4u, builder->changeAdjustment().pendingChangeCount());
  unlockCatalogue();
  EXPECT_NE(idOf(lib + "/old.mp3"), "");
  EXPECT_EQ(idOf(lib + "/new.jpg"), "");

  // Meanwhile one new file went away and one deleted file came back: those
  // need no retry.
  ASSERT_EQ(unlink((lib + "/gone-again.mp3").c_str()), 0);
  copyMedia("photo.jpg", lib + "/back.jpg");
  EXPECT_TRUE(builder->retryPendingChanges());
  EXPECT_EQ(0u, builder->changeAdjustment().pendingChangeCount());
  EXPECT_FALSE(builder->retryPendingChanges());

  EXPECT_EQ(idOf(lib + "/old.mp3"), "");
  EXPECT_NE(idOf(lib + "/new.jpg"), "");
  EXPECT_EQ(idOf(lib + "/gone-again.mp3"), "");
  EXPECT_NE(idOf(lib + "/back.jpg"), "");
  EXPECT_EQ(rowCount("OBJECTS"), 3u);  // the folder, new.jpg, back.jpg
  EXPECT_EQ(rowCount("FILEDETAIL"), 2u);
  expectMapsMatchDetails();
  std::string text = log();
  EXPECT_EQ(1u, count(text, record("Ombrix", 172, "retry delete: " + lib + "/old.mp3\n")));
  EXPECT_EQ(1u, count(text, record("Ombrix", 170, "retry insert: " + lib + "/new.jpg\n")));
  EXPECT_EQ(1u, count(text, record("Ombrix", 466, "Delete: " + lib + "/old.mp3\n")));
  EXPECT_EQ(1u, count(text, record("Ombrix", 401, "Insert file: " + lib + "/new.jpg\n")));
  EXPECT_EQ(0u, count(text, "retry insert: " + lib + "/gone-again.mp3"));
}

TEST_F(RetryTest, NewerDiffLinesSupersedePendingRetries) {
  copyMedia("song.mp3", lib + "/a.mp3");
  startService();
  ASSERT_EQ(unlink((lib + "/a.mp3").c_str()), 0);
  ASSERT_TRUE(builder->isChanged());
  lockCatalogue();
  builder->adjustDatabase();
  unlockCatalogue();
  ASSERT_EQ(1u, builder->changeAdjustment().pendingChangeCount());

  copyMedia("song.mp3", lib + "/a.mp3");  // back before the retry ran
  ASSERT_TRUE(builder->isChanged());
  builder->adjustDatabase();
  EXPECT_EQ(0u, builder->changeAdjustment().pendingChangeCount());
  EXPECT_NE(idOf(lib + "/a.mp3"), "");
}

TEST_F(RetryTest, CommitThatFailsIsNotReportedAsInserted) {
  copyMedia("photo.jpg", lib + "/a.jpg");
  startService();
  copyMedia("photo.jpg", lib + "/b.jpg");
  ASSERT_TRUE(builder->isChanged());
  // A shared lock lets BEGIN and the inserts through but makes COMMIT wait
  // for the reader, past the busy timeout.
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(catalogPath.c_str(), &raw));
  locker.reset(raw);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN; select count(*) from OBJECTS;", nullptr, nullptr,
                                    nullptr));
  builder->adjustDatabase();
  unlockCatalogue();
  EXPECT_EQ(idOf(lib + "/b.jpg"), "");
  EXPECT_EQ(0u, count(log(), "Insert file: " + lib + "/b.jpg"));
  EXPECT_EQ(1u, builder->changeAdjustment().pendingChangeCount());
  builder->retryPendingChanges();
  EXPECT_NE(idOf(lib + "/b.jpg"), "");
}

}  // namespace
