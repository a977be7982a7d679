// tests/DaemonEndToEndTest.cpp: the real Ombrix binary in a temporary
// DLNAHOME, stopped by signals.
//
// Each service cycle sleeps the real 15 seconds, so these tests are few and
// each covers a whole life: refusals, a first build and a restart that
// checks, one cycle that applies changes, one cycle paused by the marker.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BuilderFixture.h"
#include "DaemonRunner.h"

namespace {

using catalogtest::count;

using daemontest::Daemon;

// The real clock: these tests see the size watch as the service does.
daemontest::Launch run(std::vector<std::string> args, const std::string& home,
                       const std::string& output) {
  daemontest::Launch launch;
  launch.args = std::move(args);
  launch.home = home;
  launch.hasHome = !home.empty();
  launch.outputPath = output;
  launch.isClockAhead = false;
  return launch;
}

// Creates the sleep marker only when none is there, and removes only its own.
class SleepMarker {
 public:
  SleepMarker() {
    int fd = open(kPath, O_WRONLY | O_CREAT | O_EXCL, 0644);
    isOwned = fd >= 0;
    if (isOwned) close(fd);
  }
  ~SleepMarker() { remove(); }
  SleepMarker(const SleepMarker&) = delete;
  SleepMarker& operator=(const SleepMarker&) = delete;
  bool isOwn() const { return isOwned; }
  void remove() {
    if (isOwned) unlink(kPath);
    isOwned = false;
  }
  static constexpr const char* kPath = "/tmp/sleep";

 private:
  bool isOwned = false;
};

class DaemonEndToEndTest : public LibraryTest {
 protected:
  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
    LibraryTest::SetUp();
    Logger::getInstance().setLevel(0);  // the daemon writes this log, not the test
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
    output = home + "/output.txt";
  }

  // Polls the log until text appears; false after the timeout.
  bool waitForLog(const std::string& text, int seconds) const {
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
      if (log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  // True when the log ends with the shutdown record, the last thing written.
  bool endsWithShutdown() const {
    const std::string last = record("OmbrixMain", 137, "delete ombrix\n");
    const std::string text = log();
    return text.size() >= last.size() &&
           text.compare(text.size() - last.size(), last.size(), last) == 0;
  }

  std::string output;
};

const std::string kExitRecord = "  Ombrix receive app exit signal.\n";

TEST_F(DaemonEndToEndTest, RefusalsGoToStandardOutputAndTouchNothing) {
  ASSERT_EQ(rmdir((home + "/nstemp").c_str()), 0);
  {
    Daemon daemon(run({"6"}, home, output));
    EXPECT_EQ(daemon.waitForExit(), 0);
    EXPECT_EQ(testhome::readFile(output),
              "usage: Ombrix log_level(0~6) shared_path1 shared_path_2 ...\n");
  }
  {
    Daemon daemon(run({"6", lib}, "", output));
    EXPECT_EQ(daemon.waitForExit(), 0);
    EXPECT_EQ(testhome::readFile(output), "can't find DLNAHOME environment!\n");
  }
  EXPECT_FALSE(Util::isDirExist(home + "/nstemp"));
}

TEST_F(DaemonEndToEndTest, FirstRunBuildsAndARestartChecks) {
  copyMedia("photo.jpg", lib + "/a.jpg");
  const std::string plain = home + "/plain.txt";
  testhome::writeFile(plain, "");
  {
    Daemon daemon(run({"6", plain, lib + "/"}, home + "/", output));
    ASSERT_TRUE(waitForLog("Build DB Time = ", 30)) << log();
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.waitForExit(), 0);
  }
  std::string text = log();
  EXPECT_NE(text.find(record("OmbrixMain", 79, "It's not a legal directory: " + plain + "\n")),
            std::string::npos);
  EXPECT_NE(text.find(record("OmbrixMain", 87, "No Db File, build db.\n")), std::string::npos);
  EXPECT_EQ(count(text, kExitRecord), 1u);
  EXPECT_TRUE(endsWithShutdown()) << text;
  const std::string id = idOf(lib + "/a.jpg");
  ASSERT_NE(id, "");

  copyMedia("photo.jpg", lib + "/b.jpg");  // arrives while the service is down
  {
    Daemon daemon(run({"6", lib}, home, output));
    ASSERT_TRUE(waitForLog("Check DB Time = ", 30)) << log();
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.waitForExit(), 0);
  }
  text = log();
  EXPECT_EQ(text.find("No Db File"), std::string::npos);  // each start begins a fresh log
  EXPECT_NE(text.find(record("OmbrixMain", 96, "It existes db file already.\n")),
            std::string::npos);
  EXPECT_EQ(count(text, kExitRecord), 1u);
  EXPECT_TRUE(endsWithShutdown()) << text;
  EXPECT_EQ(idOf(lib + "/a.jpg"), id);
  EXPECT_NE(idOf(lib + "/b.jpg"), "");
}

TEST_F(DaemonEndToEndTest, ChangesWhileRunningAreAppliedAfterOneCycle) {
  copyMedia("photo.jpg", lib + "/old.jpg");
  Daemon daemon(run({"6", lib}, home, output));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 30)) << log();
  ASSERT_NE(idOf(lib + "/old.jpg"), "");
  copyMedia("song.mp3", lib + "/new.mp3");
  ASSERT_EQ(unlink((lib + "/old.jpg").c_str()), 0);

  ASSERT_TRUE(waitForLog("Adjust DB Time = ", 40)) << log();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);

  EXPECT_EQ(idOf(lib + "/old.jpg"), "");
  EXPECT_EQ(parentOf(lib + "/new.mp3"), idOf(lib));
  EXPECT_TRUE(endsWithShutdown()) << log();
}

TEST_F(DaemonEndToEndTest, SleepMarkerPausesChangeDetection) {
  Daemon daemon(run({"6", lib}, home, output));
  ASSERT_TRUE(waitForLog("Build DB Time = ", 30)) << log();
  SleepMarker marker;
  if (!marker.isOwn()) GTEST_SKIP() << SleepMarker::kPath << " belongs to someone else";

  ASSERT_TRUE(waitForLog("sleeping..Do not check files and build db...\n", 30)) << log();
  marker.remove();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.waitForExit(), 0);

  // Only the start-up listing ran before the paused cycle.
  const std::string text = log();
  const size_t paused =
      text.find(record("OmbrixMain", 115, "sleeping..Do not check files and build db...\n"));
  ASSERT_NE(paused, std::string::npos);
  EXPECT_EQ(count(text.substr(0, paused), "exec:find "), 1u);
  EXPECT_TRUE(endsWithShutdown()) << text;
}

}  // namespace
