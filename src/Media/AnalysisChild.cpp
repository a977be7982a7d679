// Media/AnalysisChild.cpp: the analysis process and its pipe protocol.
//
// A message on either pipe is a 4-byte big-endian length followed by that
// many bytes. A record is a fixed sequence of fields, numbers as 8-byte
// big-endian values and strings as a 4-byte length and the bytes, so the
// encoding does not depend on the host's word size or byte order.
#include "Media/AnalysisChild.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Common/Util.h"
#include "Media/FileInfo.h"

namespace {

// No real record comes near this; a longer one is garbage.
constexpr uint32_t kMaxMessageBytes = 1u << 20;
constexpr uint32_t kRecordMagic = 0x4f4d4249;  // "OMBI"

#ifdef OMBRIX_TEST_SEAMS
// Test builds only: a file of this name makes the analysis crash, so the
// recovery path is exercised on a real process.
constexpr const char* kCrashFileName = "ombrix-crash-test";
#endif

void runAnalyze(FileInfo& info) {
  info.analyze();
}

class Writer {
 public:
  void number(uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
  }
  void text(const std::string& value) {
    length(static_cast<uint32_t>(value.size()));
    bytes += value;
  }
  void length(uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
  }
  std::string bytes;
};

class Reader {
 public:
  explicit Reader(const std::string& b) : bytes(b) {}
  bool number(uint64_t& value) {
    if (bytes.size() - pos < 8) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[pos++]);
    return true;
  }
  template <typename T>
  bool integer(T& value) {
    uint64_t raw;
    if (!number(raw)) return false;
    value = static_cast<T>(raw);
    return static_cast<uint64_t>(value) == raw;  // refuses values that do not fit
  }
  bool text(std::string& value) {
    uint32_t size;
    if (!length(size) || bytes.size() - pos < size) return false;
    value.assign(bytes, pos, size);
    pos += size;
    return true;
  }
  bool length(uint32_t& value) {
    if (bytes.size() - pos < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[pos++]);
    return true;
  }
  bool atEnd() const { return pos == bytes.size(); }

 private:
  const std::string& bytes;
  size_t pos = 0;
};

// Signed values travel as their two's-complement bit pattern.
uint64_t asBits(int64_t value) {
  return static_cast<uint64_t>(value);
}

bool sendMessage(int fd, const std::string& payload) {
  Writer frame;
  frame.length(static_cast<uint32_t>(payload.size()));
  frame.bytes += payload;
  return Util::writeAll(fd, frame.bytes.data(), frame.bytes.size());
}

// Reads exactly size bytes, waiting at most until deadline (a monotonic time
// in seconds; 0 waits for ever). Returns false on end of file, error or
// timeout, with timedOut telling which.
bool readAll(int fd, char* data, size_t size, double deadline, bool& timedOut) {
  timedOut = false;
  while (size > 0) {
    if (deadline > 0) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      double left = deadline - (static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9);
      if (left <= 0) {
        timedOut = true;
        return false;
      }
      struct pollfd wait = {fd, POLLIN, 0};
      int ready = poll(&wait, 1, static_cast<int>(left * 1000) + 1);
      if (ready < 0 && errno == EINTR) continue;  // a signal; the deadline still holds
      if (ready == 0) continue;                   // re-check the deadline
      if (ready < 0) return false;
    }
    ssize_t n = read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool receiveMessage(int fd, std::string& payload, double deadline, bool& timedOut) {
  char header[4];
  if (!readAll(fd, header, sizeof header, deadline, timedOut)) return false;
  uint32_t size = 0;
  for (char c : header) size = (size << 8) | static_cast<unsigned char>(c);
  if (size > kMaxMessageBytes) return false;
  payload.assign(size, '\0');
  return readAll(fd, &payload[0], size, deadline, timedOut);
}

double monotonicNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// The child: answers records until the daemon closes its pipe. It ignores
// SIGINT and SIGTERM, which belong to the daemon (a Ctrl-C reaches the whole
// process group), and dies with the daemon.
[[noreturn]] void serve(int in, int out, AnalysisChild::AnalyzeFunction analyzeFunction) {
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (;;) {
    std::string request;
    bool timedOut;
    if (!receiveMessage(in, request, 0, timedOut)) _exit(0);
    FileInfo info;
    if (!AnalysisChild::decode(request, info)) _exit(2);
#ifdef OMBRIX_TEST_SEAMS
    if (info.fileName.find(kCrashFileName) == 0) abort();
#endif
    analyzeFunction(info);
    if (!sendMessage(out, AnalysisChild::encode(info))) _exit(0);
  }
}

// What FileInfo::analyze leaves for a file its analyser cannot read: the
// filled fields stay, the analysed ones go back to their defaults.
void useDefaults(FileInfo& info) {
  FileInfo defaults;
  info.mediaType = defaults.mediaType;
  info.height = defaults.height;
  info.width = defaults.width;
  info.title = defaults.title;
  info.artist = defaults.artist;
  info.album = defaults.album;
  info.genre = defaults.genre;
  info.duration = defaults.duration;
  info.trackNo = defaults.trackNo;
  info.waveFormat = defaults.waveFormat;
  info.bitMapHeader = defaults.bitMapHeader;
  info.details.clear();
  info.result = false;
  if (info.objType == ObjType::None || info.objType == ObjType::Playlist) return;
  info.details = "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0";
  info.result = true;
}

}  // namespace

AnalysisChild::AnalysisChild(int limit, AnalyzeFunction function)
    : timeLimitSeconds(limit), analyzeFunction(function ? function : runAnalyze) {}

AnalysisChild::~AnalysisChild() {
  stop();
}

bool AnalysisChild::start(std::string& errMsg) {
  int request[2];
  int answer[2];
  if (pipe2(request, O_CLOEXEC) != 0) {
    errMsg = std::string("cannot create pipe: ") + strerror(errno);
    return false;
  }
  FdHandle requestRead(request[0]), requestWrite(request[1]);
  if (pipe2(answer, O_CLOEXEC) != 0) {
    errMsg = std::string("cannot create pipe: ") + strerror(errno);
    return false;
  }
  FdHandle answerRead(answer[0]), answerWrite(answer[1]);
  pid_t child = fork();
  if (child < 0) {
    errMsg = std::string("cannot start analysis process: ") + strerror(errno);
    return false;
  }
  if (child == 0) serve(requestRead.get(), answerWrite.get(), analyzeFunction);
  pid = child;
  toChild = std::move(requestWrite);
  fromChild = std::move(answerRead);
  return true;
}

void AnalysisChild::stop() {
  toChild.reset();  // end of file: an idle child exits by itself
  fromChild.reset();
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
}

std::string AnalysisChild::reapFailed(const char* what) {
  toChild.reset();
  fromChild.reset();
  std::string reason = what;
  if (pid > 0) {
    kill(pid, SIGKILL);  // a child that timed out or talks nonsense
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
      reason = std::string("analysis process killed by signal ") +
               std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    }
    pid = -1;
  }
  return reason;
}

bool AnalysisChild::analyze(FileInfo& info, std::string& errMsg) {
  if (pid < 0 && !start(errMsg)) {
    useDefaults(info);
    return false;
  }
  // A child that died while idle shows up as a failed write; SIGPIPE is
  // ignored for that one write so it cannot end the daemon.
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  bool sent = sendMessage(toChild.get(), encode(info));
  sigaction(SIGPIPE, &previous, nullptr);
  if (!sent) {
    errMsg = reapFailed("analysis process is gone");
    useDefaults(info);
    return false;
  }
  std::string answer;
  bool timedOut = false;
  double deadline = monotonicNow() + timeLimitSeconds;
  if (!receiveMessage(fromChild.get(), answer, deadline, timedOut)) {
    errMsg = reapFailed(timedOut ? "analysis took longer than " : "analysis process died");
    if (timedOut) errMsg += std::to_string(timeLimitSeconds) + " s";
    useDefaults(info);
    return false;
  }
  FileInfo analysed;
  if (!decode(answer, analysed) || analysed.fullPathName != info.fullPathName) {
    errMsg = reapFailed("analysis process answered garbage");
    useDefaults(info);
    return false;
  }
  info = analysed;
  return true;
}

std::string AnalysisChild::encode(const FileInfo& info) {
  Writer w;
  w.number(kRecordMagic);
  for (const std::string* text : {&info.fullPathName, &info.path, &info.fileName, &info.extName,
                                  &info.mimeType, &info.mediaType, &info.details, &info.title,
                                  &info.artist, &info.album, &info.genre, &info.duration}) {
    w.text(*text);
  }
  for (int64_t value : {info.fileSize, static_cast<int64_t>(info.atime),
                        static_cast<int64_t>(info.mtime), static_cast<int64_t>(info.ctime),
                        static_cast<int64_t>(info.objType), static_cast<int64_t>(info.height),
                        static_cast<int64_t>(info.width), static_cast<int64_t>(info.trackNo)}) {
    w.number(asBits(value));
  }
  const WaveFormat& f = info.waveFormat;
  for (uint64_t value : {uint64_t{f.wFormatTag}, uint64_t{f.nChannels}, uint64_t{f.nSamplesPerSec},
                         uint64_t{f.nAvgBytesPerSec}, uint64_t{f.nBlockAlign},
                         uint64_t{f.wBitsPerSample}, uint64_t{f.cbSize}, uint64_t{f.res}}) {
    w.number(value);
  }
  const BitMapHeader& b = info.bitMapHeader;
  for (uint64_t value :
       {uint64_t{b.size}, uint64_t{b.width}, uint64_t{b.height}, uint64_t{b.planes},
        uint64_t{b.bitCount}, uint64_t{b.compression}, uint64_t{b.sizeImage},
        uint64_t{b.xPelsPerMeter}, uint64_t{b.yPelsPerMeter}, uint64_t{b.clrUsed},
        uint64_t{b.clrImportant}}) {
    w.number(value);
  }
  w.number(info.result ? 1 : 0);
  return w.bytes;
}

bool AnalysisChild::decode(const std::string& bytes, FileInfo& info) {
  Reader r(bytes);
  uint64_t magic;
  if (!r.number(magic) || magic != kRecordMagic) return false;
  FileInfo out;
  for (std::string* text :
       {&out.fullPathName, &out.path, &out.fileName, &out.extName, &out.mimeType, &out.mediaType,
        &out.details, &out.title, &out.artist, &out.album, &out.genre, &out.duration}) {
    if (!r.text(*text)) return false;
  }
  uint64_t bits[8];
  for (uint64_t& value : bits) {
    if (!r.number(value)) return false;
  }
  int32_t objType, height, width, trackNo;
  out.fileSize = static_cast<int64_t>(bits[0]);
  out.atime = static_cast<time_t>(static_cast<int64_t>(bits[1]));
  out.mtime = static_cast<time_t>(static_cast<int64_t>(bits[2]));
  out.ctime = static_cast<time_t>(static_cast<int64_t>(bits[3]));
  for (auto [raw, field] : {std::pair{bits[4], &objType}, std::pair{bits[5], &height},
                            std::pair{bits[6], &width}, std::pair{bits[7], &trackNo}}) {
    int64_t value = static_cast<int64_t>(raw);
    if (value < INT32_MIN || value > INT32_MAX) return false;
    *field = static_cast<int32_t>(value);
  }
  out.objType = static_cast<ObjType>(objType);
  out.height = height;
  out.width = width;
  out.trackNo = trackNo;
  WaveFormat& f = out.waveFormat;
  if (!r.integer(f.wFormatTag) || !r.integer(f.nChannels) || !r.integer(f.nSamplesPerSec) ||
      !r.integer(f.nAvgBytesPerSec) || !r.integer(f.nBlockAlign) || !r.integer(f.wBitsPerSample) ||
      !r.integer(f.cbSize) || !r.integer(f.res)) {
    return false;
  }
  BitMapHeader& b = out.bitMapHeader;
  if (!r.integer(b.size) || !r.integer(b.width) || !r.integer(b.height) || !r.integer(b.planes) ||
      !r.integer(b.bitCount) || !r.integer(b.compression) || !r.integer(b.sizeImage) ||
      !r.integer(b.xPelsPerMeter) || !r.integer(b.yPelsPerMeter) || !r.integer(b.clrUsed) ||
      !r.integer(b.clrImportant)) {
    return false;
  }
  uint64_t result;
  if (!r.number(result) || result > 1 || !r.atEnd()) return false;
  out.result = result == 1;
  info = out;
  return true;
}
