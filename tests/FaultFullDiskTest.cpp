// tests/FaultFullDiskTest.cpp: the real daemon with its work directory on a
// small file system that fills up while files are added and removed.
//
// A full disk cuts the snapshot and the difference short and makes every
// catalogue write fail; once there is room again, the catalogue must equal
// the folders, without a row lost, left behind or entered twice. The file
// system is a tmpfs mounted for the test; where mounting is not allowed the
// test is skipped with a message.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "FaultSupport.h"

namespace {

class FaultFullDiskTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string work = home + "/nstemp";
    if (mount("ombrix-full-disk", work.c_str(), "tmpfs", 0, "size=1m") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs on " << work << " (" << strerror(errno)
                   << "): the full-disk test needs the right to mount";
    }
    isMounted = true;
  }
  void TearDown() override {
    if (isMounted) umount2((home + "/nstemp").c_str(), MNT_DETACH);
    FaultTest::TearDown();
  }

  // Writes a file until the file system refuses any more.
  void fill() {
    FdHandle filler(open((home + "/nstemp/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_TRUE(filler.isOpen());
    std::string block(4096, 'x');
    while (write(filler.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
  }
  void makeRoom() { ASSERT_EQ(unlink((home + "/nstemp/filler").c_str()), 0); }

  bool isMounted = false;
};

TEST_F(FaultFullDiskTest, NothingIsLostWhileTheDiskIsFull) {
  for (int i = 0; i < 6; ++i) copy("photo.jpg", lib + "/keep" + std::to_string(i) + ".jpg");
  copy("song.mp3", lib + "/going.mp3");
  fault::Daemon daemon(launch({"6", lib}));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 60)) << log();
  std::map<std::string, std::string> ids;
  for (const catalogtest::Row& row : catalogtest::query(dbPath, "select PATH, ID from OBJECTS")) {
    ids[row[0]] = row[1];
  }
  // Right after the first cycle: the disk fills, and the next cycle runs on
  // it while files come and go.
  ASSERT_TRUE(waitForLog("isChanged = ", 30, 2)) << log();
  fill();
  copy("song.mp3", lib + "/new.mp3");
  copy("photo.jpg", lib + "/new.jpg");
  ASSERT_EQ(unlink((lib + "/going.mp3").c_str()), 0);
  std::this_thread::sleep_for(std::chrono::seconds(18));
  EXPECT_TRUE(daemon.isRunning());

  makeRoom();
  // Two more cycles with room: one to catch up, one to retry what failed.
  const size_t cycles = fault::count(log(), "isChanged = ");
  ASSERT_TRUE(waitForLog("isChanged = ", 60, cycles + 2)) << log();
  EXPECT_TRUE(daemon.isRunning());
  EXPECT_EQ(fault::catalogueFaults(dbPath, {lib}), std::vector<std::string>{}) << log();
  noteRows("after");
  RecordProperty("snapshotsRefused", std::to_string(fault::count(log(), "snapshot not written: ")));
  // Rows that were never gone keep their IDs: nothing was deleted and
  // entered again on the strength of a listing cut short.
  ids.erase(lib + "/going.mp3");
  for (const auto& [path, id] : ids) {
    EXPECT_EQ(id, catalogtest::value(dbPath, "select ID from OBJECTS where PATH = '" +
                                                 Util::escapeQuote(path) + "'"))
        << path;
  }
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);
}

}  // namespace
