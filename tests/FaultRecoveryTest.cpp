// tests/FaultRecoveryTest.cpp: the real daemon against a second process
// that locks the catalogue, and against a kill -9 in the middle of its first
// build. Nothing may be lost or doubled: once the fault is gone the catalogue
// equals the folders.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "FaultSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// A second process holding an exclusive lock on the catalogue, as a media
// server in the middle of a long write would. Returns once the lock is held;
// the process lets go after `seconds`. Reaped by the destructor.
class CatalogueLocker {
 public:
  CatalogueLocker(const std::string& dbPath, int seconds) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(ready[0]);
      sqlite3* db = nullptr;
      if (sqlite3_open(dbPath.c_str(), &db) != SQLITE_OK ||
          sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        _exit(1);
      }
      char byte = 1;
      if (write(ready[1], &byte, 1) != 1) _exit(1);
      sleep(static_cast<unsigned>(seconds));
      _exit(0);  // the lock goes with the process; no commit was ever due
    }
    close(ready[1]);
    char byte = 0;
    isLocked = pid > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~CatalogueLocker() {
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
  CatalogueLocker(const CatalogueLocker&) = delete;
  CatalogueLocker& operator=(const CatalogueLocker&) = delete;
  bool locked() const { return isLocked; }

 private:
  pid_t pid = -1;
  bool isLocked = false;
};

class FaultRecoveryTest : public FaultTest {};

TEST_F(FaultRecoveryTest, ChangesMadeUnderALockLandOnceItIsGone) {
  for (int i = 0; i < 4; ++i) copy("photo.jpg", lib + "/keep" + std::to_string(i) + ".jpg");
  copy("song.mp3", lib + "/going.mp3");
  copy("song.mp3", lib + "/going-too.mp3");
  fault::Daemon daemon(launch({"6", lib}));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 60)) << log();
  // The start-up listing and the first cycle each say whether anything
  // changed; the next cycle begins 15 seconds after that record.
  ASSERT_TRUE(waitForLog("isChanged = ", 30, 2)) << log();
  std::this_thread::sleep_until(Clock::now() + std::chrono::seconds(14));

  // Locked from a second before that cycle until four seconds into it: the
  // first look-up alone (three tries of one second each) cannot get through.
  {
    CatalogueLocker locker(dbPath, 5);
    ASSERT_TRUE(locker.locked());
    ASSERT_EQ(mkdir((lib + "/new").c_str(), 0755), 0);
    copy("song.mp3", lib + "/new/a.mp3");
    copy("photo.jpg", lib + "/new/b.jpg");
    copy("photo.jpg", lib + "/c.jpg");
    ASSERT_EQ(unlink((lib + "/going.mp3").c_str()), 0);
    ASSERT_EQ(unlink((lib + "/going-too.mp3").c_str()), 0);
  }
  // The locked cycle, then the one that retries what the lock kept out.
  ASSERT_TRUE(waitForLog("Adjust DB Time = ", 60)) << log();
  ASSERT_TRUE(waitForLog("isChanged = ", 40, 4)) << log();
  EXPECT_TRUE(daemon.isRunning());
  const std::string text = log();
  EXPECT_GT(fault::count(text, "retry insert: ") + fault::count(text, "retry delete: "), 0u)
      << "the lock did not meet the cycle\n"
      << text;
  EXPECT_EQ(fault::catalogueFaults(dbPath, {lib}), std::vector<std::string>{});
  noteRows("after");
  RecordProperty("retries", std::to_string(fault::count(text, "retry insert: ")) + " inserts, " +
                                std::to_string(fault::count(text, "retry delete: ")) + " deletes");
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
}

TEST_F(FaultRecoveryTest, KillDuringTheFirstBuildThenARestart) {
  for (const char* dir : {"/a", "/b", "/c"}) {
    ASSERT_EQ(mkdir((lib + dir).c_str(), 0755), 0);
    for (int i = 0; i < 80; ++i) {
      copy(i % 2 ? "photo.jpg" : "song.mp3",
           lib + dir + "/" + std::to_string(i) + (i % 2 ? ".jpg" : ".mp3"));
    }
  }
  {
    fault::Daemon daemon(launch({"6", lib}));
    ASSERT_TRUE(waitForLog("Insert file: ", 60, 60)) << log();
    daemon.killHard();
  }
  ASSERT_EQ(log().find("Build DB Time = "), std::string::npos) << "the build ended before the kill";
  std::map<std::string, std::string> before;
  for (const catalogtest::Row& row : catalogtest::query(dbPath, "select PATH, ID from OBJECTS")) {
    before[row[0]] = row[1];
  }
  EXPECT_GE(before.size(), 60u);
  noteRows("killed");
  // Each file's two rows were one transaction: the kill left both or neither.
  EXPECT_EQ(catalogtest::value(dbPath,
                               "select count(*) from OBJECTS where TYPE <> 10 and ID not "
                               "in (select ID from FILEDETAIL)"),
            "0");
  EXPECT_EQ(catalogtest::value(dbPath,
                               "select count(*) from FILEDETAIL where ID not in "
                               "(select ID from OBJECTS)"),
            "0");

  fault::Daemon daemon(launch({"6", lib}));
  ASSERT_TRUE(waitForLog("Check DB Time = ", 120)) << log();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
  EXPECT_EQ(fault::catalogueFaults(dbPath, {lib}), std::vector<std::string>{});
  noteRows("restarted");
  for (const auto& [path, id] : before) {
    EXPECT_EQ(id, catalogtest::value(dbPath, "select ID from OBJECTS where PATH = '" +
                                                 Util::escapeQuote(path) + "'"))
        << path;
  }
}

}  // namespace
