// Tests of the log writer and the process-wide status.
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "TestHome.h"

namespace {

class LoggerTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    logPath = home + "/nstemp/Ombrix.log";
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(4);
  }
  void TearDown() override {
    Logger::getInstance().setLevel(Logger::kDefaultLevel);
    Logger::getInstance().setLogPath("");
    TestHome::TearDown();
  }
  std::string logPath;
};

TEST_F(LoggerTest, RecordBytesAndThreshold) {
  Logger& log = Logger::getInstance();
  log.writeLog(4, "No Db File, build db.\n", "OmbrixMain", 87);
  log.writeLog(6, "too detailed\n", "Ombrix", 401);
  log.writeLog(1, "db error at open\n", "Database/Database", 32);
  writeLog(LogId::OpenDirFailed, "/m/x/");
  EXPECT_EQ(
      "[OmbrixMain].[87]\n  No Db File, build db.\n\n"
      "[Database/Database].[32]\n  db error at open\n\n"
      "[Ombrix].[277]\n  fail to open dir :/m/x/\n\n",
      testhome::readFile(logPath));
}

TEST_F(LoggerTest, ThresholdZeroOrNegativeSilences) {
  for (int threshold : {0, -3}) {
    Logger::getInstance().setLevel(threshold);
    Logger::getInstance().writeLog(1, "x\n", "Ombrix", 1);
  }
  struct stat status;
  EXPECT_NE(stat(logPath.c_str(), &status), 0) << "log file must not be created";
}

TEST_F(LoggerTest, RemovedLogIsRecreatedAndMissingDirectoryIsHarmless) {
  Logger& log = Logger::getInstance();
  log.writeLog(4, "first\n", "Ombrix", 1);
  ASSERT_EQ(unlink(logPath.c_str()), 0);
  log.writeLog(4, "second\n", "Ombrix", 2);
  EXPECT_EQ("[Ombrix].[2]\n  second\n\n", testhome::readFile(logPath));

  log.setLogPath(home + "/missing/Ombrix.log");
  for (int i = 0; i < 3; ++i) log.writeLog(1, "dropped\n", "Ombrix", 3);
  struct stat status;
  EXPECT_NE(stat((home + "/missing").c_str(), &status), 0);
}

TEST_F(LoggerTest, HandlerEntryNeverWaitsForTheLock) {
  Logger& log = Logger::getInstance();
  std::atomic<bool> holding{false};
  // Another thread sits inside a record write: it holds the lock through a
  // writeLog whose open blocks on a FIFO standing at the log path.
  std::string fifo = home + "/nstemp/fifo.log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  log.setLogPath(fifo);
  std::thread writer([&] {
    holding = true;
    log.writeLog(4, "blocked\n", "Ombrix", 1);
  });
  while (!holding) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  auto start = std::chrono::steady_clock::now();
  bool written = log.writeLogFromHandler(LogId::ExitSignal);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(written);
  EXPECT_LT(waited, std::chrono::seconds(1));

  // Unblock the writer by opening the FIFO's read end and draining it.
  std::string drained = testhome::readFile(fifo);
  writer.join();
  EXPECT_EQ("[Ombrix].[1]\n  blocked\n\n", drained);

  log.setLogPath(logPath);
  EXPECT_TRUE(log.writeLogFromHandler(LogId::ExitSignal));
  log.setLevel(3);
  EXPECT_TRUE(log.writeLogFromHandler(LogId::ExitSignal));  // filtered out
  EXPECT_EQ("[OmbrixMain].[40]\n  Ombrix receive app exit signal.\n\n",
            testhome::readFile(logPath));
}

TEST(AppStatusTest, OneInstanceWithServiceDefaults) {
  AppStatus& status = AppStatus::getInstance();
  EXPECT_EQ(&status, &AppStatus::getInstance());
  EXPECT_FALSE(status.getAppExit());
  EXPECT_EQ(15u, status.getInterval());
  EXPECT_EQ("/tmp/sleep", status.getSleepPath());
  status.setAppExit(true);
  EXPECT_TRUE(AppStatus::getInstance().getAppExit());
  status.setAppExit(false);
}

}  // namespace
