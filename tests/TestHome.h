// tests/TestHome.h: what the test files share: a temporary service home with
// a library folder, the media made once per run, reading a catalogue back
// and judging it with ombrix-check's rules, and running programs, the
// daemon among them.
//
// The media are made by the CTest fixture MakeMedia (scripts/make-test-media.sh)
// into the build tree before any test runs. Nothing here waits for time to
// pass: waitFor polls a condition, and its limit only ends a test that has
// already failed.
#ifndef OMBRIX_TESTS_TESTHOME_H
#define OMBRIX_TESTS_TESTHOME_H

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/Database.h"
#include "check/CatalogCheck.h"

namespace test {

const std::string kMedia = OMBRIX_MEDIA_DIR;

inline std::string readFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The bytes of a medium the fixture made.
inline std::string medium(const std::string& name) {
  return readFile(kMedia + "/" + name);
}

// An ID3v2 tag of version 3 or 4 in front of a bare MP3: the extended header
// when one is given, then the frames (ID, then data starting with its
// encoding: 0 ISO-8859-1, one byte a character whatever it means, 1 UTF-16
// after a byte-order mark, 3 UTF-8), no padding. Sizes are big-endian, in
// seven bits a byte ("synchsafe") where the version says so.
inline std::string taggedMp3(char version,
                             const std::vector<std::pair<std::string, std::string>>& frames,
                             const std::string& extendedHeader = "") {
  auto size = [](size_t n, bool isSynchsafe) {
    std::string bytes;
    for (int i = 3; i >= 0; --i)
      bytes += static_cast<char>(isSynchsafe ? (n >> (7 * i)) & 0x7F : n >> (8 * i));
    return bytes;
  };
  std::string body = extendedHeader;
  for (const auto& [id, data] : frames)
    body += id + size(data.size(), version == 4) + std::string(2, '\0') + data;
  return std::string("ID3") + version + '\0' + (extendedHeader.empty() ? '\0' : '\x40') +
         size(body.size(), true) + body + medium("bare.mp3");
}

// Starts argv without a shell in workingDir, its standard output and error
// in outputPath, with env's entries added to its environment (an entry
// without "=" removes that variable); the child's pid.
inline pid_t start(const std::vector<std::string>& argv, const std::string& outputPath,
                   std::vector<std::string> env = {}, const std::string& workingDir = "/") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  FILE* out = fopen(outputPath.c_str(), "w");
  if (out != nullptr) dup2(fileno(out), 1), dup2(fileno(out), 2);
  for (std::string& entry : env)
    entry.find('=') == std::string::npos ? unsetenv(entry.c_str()) : putenv(entry.data());
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (chdir(workingDir.c_str()) == 0) execvp(args[0], args.data());
  _exit(127);
}

// Runs argv as start does; its exit status, or -1.
inline int run(const std::vector<std::string>& argv, const std::string& outputPath = "/dev/null") {
  pid_t pid = start(argv, outputPath);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A log record as the log writes it.
inline std::string record(const char* source, int line, const std::string& message) {
  return std::string("[") + source + "].[" + std::to_string(line) + "]\n  " + message + "\n";
}

// Polls condition every 20 ms; false once the limit has passed (ten times
// longer under qemu, where everything is slower).
inline bool waitFor(const std::function<bool()>& condition, int seconds = 60) {
  auto end = std::chrono::steady_clock::now() +
             std::chrono::seconds(seconds * (OMBRIX_CROSSCOMPILING ? 10 : 1));
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs a query on a read-only connection of its own: the rows as text,
// cells joined by "|", each row ending in "\n", NULL as "NULL". A query that
// fails gives SQLite's message instead. A running daemon's commit may hold
// the lock for a moment: the query waits for it to be let go.
inline std::string table(const std::string& dbPath, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  SqliteHandle db(raw);
  sqlite3_busy_timeout(raw, 60000);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    return std::string("error: ") + sqlite3_errmsg(raw) + "\n";
  }
  std::string text;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* cell = sqlite3_column_text(statement, i);
      text += (i ? "|" : "") + std::string(cell ? reinterpret_cast<const char*>(cell) : "NULL");
    }
    text += "\n";
  }
  sqlite3_finalize(statement);
  return text;
}

// A service manager's notification socket, as systemd makes it: an AF_UNIX
// datagram socket bound at a path, or at an abstract name when the address
// starts with "@". Keeps every message received, in order.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& address)
      : socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    address.copy(name.sun_path, sizeof name.sun_path - 1);
    if (address[0] == '@') name.sun_path[0] = '\0';
    socklen_t length = offsetof(sockaddr_un, sun_path) + address.size();
    isBound = bind(socket.get(), reinterpret_cast<sockaddr*>(&name), length) == 0;
  }
  bool bound() const { return isBound; }

  // Waits until `times` messages received so far hold text.
  bool waitFor(const std::string& text, size_t times = 1) {
    return test::waitFor([&] {
      char buffer[4096];
      for (ssize_t n; (n = recv(socket.get(), buffer, sizeof buffer, 0)) > 0;)
        messages.emplace_back(buffer, static_cast<size_t>(n));
      return count(text) >= times;
    });
  }
  // How many messages received so far hold text.
  size_t count(const std::string& text) const {
    return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
      return message.find(text) != std::string::npos;
    });
  }
  std::vector<std::string> messages;

 private:
  FdHandle socket;
  bool isBound = false;
};

// The Ombrix binary in a service home: cycles of one second, the pause
// marker home/pause, its clock two hours ahead (libfaketime; file times stay
// real) so that new files skip the size watch, and standard output and error
// in home/output.txt. DLNAHOME is dlnaHome, unset when that is "-". SIGXFSZ
// is ignored, so that a file size limit makes writes fail with EFBIG as a
// full disk makes them fail. No service manager listens unless env names
// one (NOTIFY_SOCKET). env's entries come last, so a test may change any of
// these (an interval of an hour, the real clock without "LD_PRELOAD").
// Killed if it still runs at the end.
class Daemon {
 public:
  Daemon(std::vector<std::string> args, const std::string& home, std::vector<std::string> env = {},
         const std::string& workingDir = "/", const std::string& dlnaHome = "") {
    args.insert(args.begin(), OMBRIX_BINARY_DIR "/Ombrix");
    const char* asan = getenv("ASAN_OPTIONS");  // the clock library comes before the sanitizer
    env.insert(env.begin(),
               {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID",
                std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0",
                "OMBRIX_TEST_INTERVAL=1", "OMBRIX_TEST_SLEEP_PATH=" + home + "/pause",
                dlnaHome == "-" ? "DLNAHOME" : "DLNAHOME=" + (dlnaHome.empty() ? home : dlnaHome),
                "FAKETIME=+2h", "NO_FAKE_STAT=1", "DONT_FAKE_MONOTONIC=1",
                "LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"});
    signal(SIGXFSZ, SIG_IGN);  // inherited: only the daemon ever meets a size limit
    pid = test::start(args, home + "/output.txt", env, workingDir);
  }
  ~Daemon() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The exit status; -1 when a signal ended it, -2 when it runs on.
  int waitForExit() {
    int status = 0;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) return -2;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int stop(int signalNumber = SIGTERM) {
    kill(pid, signalNumber);
    return waitForExit();
  }
  pid_t id() const { return pid; }

 private:
  pid_t pid = -1;
};

}  // namespace test

// A service home of its own for each test: home/nstemp, an empty library
// folder home/lib, and the log at level 6 in home/nstemp/Ombrix.log.
class TestHome : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "ombrix-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home = pattern, lib = home + "/lib";
    dbPath = home + "/nstemp/daskor.db", logPath = home + "/nstemp/Ombrix.log";
    ASSERT_EQ(mkdir((home + "/nstemp").c_str(), 0755) | mkdir(lib.c_str(), 0755), 0);
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(6);
  }
  void TearDown() override {
    Logger::getInstance().setLevel(0);
    AppStatus::getInstance().setAppExit(false);
    for (int point = 0; point < static_cast<int>(TestSeams::Fault::Count); ++point)
      TestSeams::failAt(static_cast<TestSeams::Fault>(point), 0);
    test::run({"rm", "-rf", home});
  }

  // Puts media into the library: paths below lib separated by ";", each a
  // copy of a medium of its kind (a JPEG unless it ends in .mp3 or .mpg);
  // the directories on the way are made.
  void add(const std::string& paths) const {
    std::istringstream list(paths);
    for (std::string path; std::getline(list >> std::ws, path, ';');) {
      const std::string ext = path.substr(path.rfind('.') + 1);
      ASSERT_EQ(test::run({"mkdir", "-p", Util::getParentPath(lib + "/" + path)}), 0);
      test::writeFile(lib + "/" + path, test::medium(ext == "mp3"   ? "tagged.mp3"
                                                     : ext == "mpg" ? "mpeg1.mpeg"
                                                                    : "48x48.jpg"));
    }
  }
  std::string log() const { return test::readFile(logPath); }
  bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
  std::string table(const std::string& sql) const { return test::table(dbPath, sql); }
  // The single value of a query, "" when there is none.
  std::string value(const std::string& sql) const {
    std::string text = table(sql);
    return text.substr(0, text.find('\n'));
  }
  std::string idOf(const std::string& path) const {
    std::string literal;  // the path as an SQL literal, each quote doubled
    for (char c : path) literal += c == '\'' ? std::string("''") : std::string(1, c);
    return value("select ID from OBJECTS where PATH = '" + literal + "'");
  }
  // What ombrix-check finds wrong with the catalogue of folders (lib unless
  // given): missing or stale paths, wrong parents, files without details and
  // the reverse, duplicates, map names FILEDETAIL does not hold or lacks, a
  // damaged file. Empty when the catalogue is true to the folders.
  std::vector<std::string> faults(std::vector<std::string> folders = {}) const {
    check::CheckRequest request{home, {}, nullptr};
    if (folders.empty()) folders.push_back(lib);
    for (const std::string& folder : folders) request.folderEntries.push_back(folder + "/");
    check::CheckResult result;
    std::string errMsg;
    if (!check::runCheck(request, result, errMsg)) return {"cannot check: " + errMsg};
    std::vector<std::string> lines;
    for (const check::Finding& finding : result.findings)
      lines.push_back(check::findingLine(finding));
    return lines;
  }

  std::string home, lib, dbPath, logPath;
};

#endif  // OMBRIX_TESTS_TESTHOME_H
