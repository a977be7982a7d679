// Common/Logger.h: the process-wide log writer.
//
// A record is written when its level is at most the threshold. Each record is
// opened, appended and closed under the mutex, so it is in the file when the
// call returns and the file may be removed at any moment (the next record
// recreates it). Format: "[" source "].[" line "]\n  " message "\n".
//
// The threshold before setLevel is 0: nothing is written until the entry
// point has configured the log, so a record from an early signal cannot land
// in a stale file.
//
// Thread-safety: writeLog may be called from any thread. The signal handler
// uses writeLogFromHandler, which never waits for the mutex.
#ifndef OMBRIX_COMMON_LOGGER_H
#define OMBRIX_COMMON_LOGGER_H

#include <pthread.h>

#include <ctime>
#include <string>
#include <vector>

#include "Common/LogContract.h"

// A contracted record kept back instead of written (see Logger::startCapture).
struct CapturedRecord {
  LogId id;
  std::string item;
};

class Logger {
 public:
  static constexpr int kDefaultLevel = 0;

  static Logger& getInstance();

  void setLevel(int threshold);
  int getLevel() const { return level; }
  void setLogPath(const std::string& path);

  // Appends one record. Never reports failure: a record that cannot be
  // written (no directory, no permission, empty path) is dropped.
  void writeLog(int recordLevel, const std::string& message, const char* source, int line);

  // Writes a contracted record with message as its whole text.
  void writeLog(const LogRecord& record, const std::string& message);

  // Signal-handler entry for a record without an item: only
  // async-signal-safe calls, and it tries the lock instead of waiting for it.
  // Returns true when the record was written or filtered out; false when the
  // lock was held, in which case the caller must leave the record for the
  // interrupted code to write.
  bool writeLogFromHandler(LogId id);

  // The analysis helper has no log file of its own: from this call on, every
  // contracted record (writeLog with a LogId) is kept, whatever the
  // threshold, until takeCaptured hands it over to go back to the daemon,
  // which writes it in its own log in the file's order.
  void startCapture();
  bool isCapturing() const { return capturing; }
  // The records kept since the last call, oldest first.
  std::vector<CapturedRecord> takeCaptured();
  void capture(LogId id, const std::string& item);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

 private:
  Logger();
  friend struct LoggerStorage;

  std::string logPath;
  volatile int level = kDefaultLevel;
  pthread_mutex_t mutex;
  bool capturing = false;
  std::vector<CapturedRecord> captured;
};

// Writes the contracted record id about item: its text, the item, its tail.
// Line feeds and carriage returns in item are written as "\n" and "\r", so
// the item stays on its record's line whatever a file name or tag holds.
void writeLog(LogId id, const std::string& item = "");

// Seconds between two whole-second clock readings in the default stream
// notation ("12", not "12.000000"), as the timing records write them.
std::string timingText(time_t start, time_t end);

#endif  // OMBRIX_COMMON_LOGGER_H
