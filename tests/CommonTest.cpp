// tests/CommonTest.cpp: the log writer, and the numbers of the status line.
// The path and text helpers are exercised by every test that makes or reads
// a catalogue; what the service manager hears, by the daemon's tests.
#include <fcntl.h>
#include <poll.h>

#include <future>

#include "TestHome.h"

namespace {

using test::record;

class LoggerTest : public TestHome {};

TEST_F(LoggerTest, RecordBytesThresholdAndFile) {
  Logger& logger = Logger::getInstance();
  logger.setLevel(4);
  logger.writeLog(4, "No Db File, build db.\n", "OmbrixMain", 87);
  logger.writeLog(5, "too detailed\n", "Ombrix", 1);
  logger.writeLog(1, "two\nlines", "Database/Database", 32);  // only the first line is indented
  writeLog(LogId::OpenDirFailed, "/m/x/");
  writeLog(LogId::JpegSize, "1*1");
  // An item's line breaks cannot start a record of their own; its other
  // bytes, backslashes among them, stay as they are.
  writeLog(LogId::OpenDirFailed, "/m/a\n[Ombrix].[401]\n  Insert file: \\x\r/");
  EXPECT_EQ(record("OmbrixMain", 87, "No Db File, build db.\n") +
                record("Database/Database", 32, "two\nlines") +
                record("Ombrix", 277, "fail to open dir :/m/x/\n") +
                record("Ombrix", 277,
                       "fail to open dir :/m/a\\n[Ombrix].[401]\\n  Insert file: \\x\\r/\n"),
            log());

  ASSERT_EQ(unlink(logPath.c_str()), 0);  // the next record makes a new file
  logger.setLevel(9);                     // acts as 6
  logger.writeLog(6, "trace\n", "Ombrix", 2);
  EXPECT_EQ(record("Ombrix", 2, "trace\n"), log());

  ASSERT_EQ(unlink(logPath.c_str()), 0);
  for (int threshold : {0, -3}) {
    logger.setLevel(threshold);
    logger.writeLog(1, "silenced\n", "Ombrix", 3);
  }
  EXPECT_FALSE(Util::isFileExist(logPath)) << "a silenced log must not even be created";
  logger.setLevel(6);
  logger.setLogPath(home + "/missing/Ombrix.log");
  for (int i = 0; i < 3; ++i) logger.writeLog(1, "dropped\n", "Ombrix", 4);  // no lock is kept
  EXPECT_FALSE(Util::isDirExist(home + "/missing"));
}

// A second thread sits inside a record write, blocked on a FIFO at the log
// path because its record is bigger than the pipe holds. Data in the pipe
// shows it holds the lock; the handler entry must then give up at once.
TEST_F(LoggerTest, HandlerEntryNeverWaitsForTheLock) {
  Logger& logger = Logger::getInstance();
  const std::string fifo = home + "/nstemp/fifo.log", big(1 << 20, 'x');
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  FdHandle reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
  logger.setLogPath(fifo);
  std::thread writer([&] { logger.writeLog(4, big, "Ombrix", 1); });
  pollfd inWrite{reader.get(), POLLIN, 0};
  ASSERT_EQ(poll(&inWrite, 1, 60000), 1);

  auto handler =
      std::async(std::launch::async, [&] { return logger.writeLogFromHandler(LogId::ExitSignal); });
  // The limit only ends a failed run: a handler that waits is let go below.
  bool isReturned = handler.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  fcntl(reader.get(), F_SETFL, 0);
  std::string drained;
  char buffer[65536];
  for (ssize_t n; (n = read(reader.get(), buffer, sizeof buffer)) > 0;) drained.append(buffer, n);
  writer.join();
  EXPECT_TRUE(isReturned) << "the handler entry waited for the lock";
  EXPECT_FALSE(handler.get());
  EXPECT_EQ(record("Ombrix", 1, big), drained);

  logger.setLogPath(logPath);
  EXPECT_TRUE(logger.writeLogFromHandler(LogId::ExitSignal));
  logger.setLevel(3);
  EXPECT_TRUE(logger.writeLogFromHandler(LogId::ExitSignal));  // filtered out
  EXPECT_EQ(record("OmbrixMain", 40, "Ombrix receive app exit signal.\n"), log());
}

// Grouped by thousands with commas whatever the locale, as the status line
// shows them.
TEST(ServiceNotifyTest, CountsAreGroupedByThousands) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0"},         {999, "999"},        {1000, "1,000"},
      {4512, "4,512"},  {100000, "100,000"}, {1234567, "1,234,567"},
      {-1000, "-1,000"}};
  for (const auto& [number, text] : cases) EXPECT_EQ(ServiceNotify::groupDigits(number), text);
}

}  // namespace
