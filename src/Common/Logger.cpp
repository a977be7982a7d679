// Common/Logger.cpp: open-append-close per record, under a POSIX mutex.
#include "Common/Logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <utility>

#include "Common/Handles.h"
#include "Common/Util.h"

namespace {

// Holds the logger's mutex for one scope.
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t* m) : mutex(m) { pthread_mutex_lock(mutex); }
  ~MutexLock() { pthread_mutex_unlock(mutex); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t* mutex;
};

constexpr int kOpenFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
constexpr mode_t kCreateMode = 0666;  // the process umask decides the rest

// Appends src to the fixed buffer at *pos, cutting it at the buffer's end.
// Used only by the handler path, which may not allocate.
void appendRaw(char* buffer, size_t capacity, size_t* pos, const char* src) {
  while (*src != '\0' && *pos < capacity) buffer[(*pos)++] = *src++;
}

void appendInt(char* buffer, size_t capacity, size_t* pos, int value) {
  char digits[16];
  int n = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0 && *pos < capacity) buffer[(*pos)++] = '-';
  while (n > 0 && *pos < capacity) buffer[(*pos)++] = digits[--n];
}

// A line break in an item (a path, a tag, a helper's text) would start what
// reads as a record of its own, so it is written as the two characters "\n"
// or "\r". A backslash stays as it is: the bytes of every item without a
// line break, which is nearly all of them, are unchanged.
std::string asOneLine(const std::string& item) {
  if (item.find_first_of("\r\n") == std::string::npos) return item;
  std::string line;
  line.reserve(item.size() + 8);
  for (char c : item) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      line += c;
    }
  }
  return line;
}

}  // namespace

struct LoggerStorage {
  static Logger instance;
};
// Built during static initialisation, before any signal handler can run.
Logger LoggerStorage::instance;

Logger& Logger::getInstance() {
  return LoggerStorage::instance;
}

Logger::Logger() {
  pthread_mutex_init(&mutex, nullptr);
}

void Logger::setLevel(int threshold) {
  level = threshold;
}

// Held under the mutex so that the handler entry, which tries the same lock,
// never reads the path while it is being replaced.
void Logger::setLogPath(const std::string& path) {
  MutexLock lock(&mutex);
  logPath = path;
}

void Logger::writeLog(int recordLevel, const std::string& message, const char* source, int line) {
  if (recordLevel > level) return;
  std::string record;
  record.reserve(message.size() + 32);
  record += "[";
  record += source;
  record += "].[";
  record += std::to_string(line);
  record += "]\n  ";
  record += message;
  record += "\n";

  MutexLock lock(&mutex);
  FdHandle fd(open(logPath.c_str(), kOpenFlags, kCreateMode));
  if (!fd.isOpen()) return;
  Util::writeAll(fd.get(), record.data(), record.size());  // a lost record is not reported
}

void Logger::writeLog(const LogRecord& record, const std::string& message) {
  writeLog(record.level, message, logSourceName(record.source), record.line);
}

bool Logger::writeLogFromHandler(LogId id) {
  const LogRecord& contracted = logRecord(id);
  if (contracted.level > level) return true;
  if (pthread_mutex_trylock(&mutex) != 0) return false;

  char record[512];
  size_t pos = 0;
  appendRaw(record, sizeof record, &pos, "[");
  appendRaw(record, sizeof record, &pos, logSourceName(contracted.source));
  appendRaw(record, sizeof record, &pos, "].[");
  appendInt(record, sizeof record, &pos, contracted.line);
  appendRaw(record, sizeof record, &pos, "]\n  ");
  appendRaw(record, sizeof record, &pos, contracted.text);
  appendRaw(record, sizeof record, &pos, contracted.tail);
  appendRaw(record, sizeof record, &pos, "\n");

  int fd = open(logPath.c_str(), kOpenFlags, kCreateMode);
  if (fd >= 0) {
    Util::writeAll(fd, record, pos);
    close(fd);  // nothing to do about a failed close of a log record
  }
  pthread_mutex_unlock(&mutex);
  return true;
}

void Logger::startCapture() {
  MutexLock lock(&mutex);
  capturing = true;
}

std::vector<CapturedRecord> Logger::takeCaptured() {
  MutexLock lock(&mutex);
  return std::exchange(captured, {});
}

void Logger::capture(LogId id, const std::string& item) {
  MutexLock lock(&mutex);
  captured.push_back({id, item});
}

void writeLog(LogId id, const std::string& item) {
  if (Logger::getInstance().isCapturing()) {
    Logger::getInstance().capture(id, item);
    return;
  }
  const LogRecord& record = logRecord(id);
  if (record.level > Logger::getInstance().getLevel()) return;  // compose nothing we drop
  Logger::getInstance().writeLog(record, record.text + asOneLine(item) + record.tail);
}

std::string timingText(time_t start, time_t end) {
  std::ostringstream text;
  text << difftime(end, start);
  return text.str();
}
