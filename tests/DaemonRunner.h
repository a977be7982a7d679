// tests/DaemonRunner.h: starting the real Ombrix binary from a test.
#ifndef OMBRIX_TESTS_DAEMONRUNNER_H
#define OMBRIX_TESTS_DAEMONRUNNER_H

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "CatalogTestSupport.h"
#include "TestHome.h"

extern char** environ;

namespace daemontest {

const std::string kBinary = std::string(OMBRIX_BINARY_DIR) + "/Ombrix";

// The clock library the daemon is started under; "" when it is missing.
inline std::string fakeTimeLibrary() {
  for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                           "/usr/lib/i386-linux-gnu/faketime/libfaketimeMT.so.1",
                           "/usr/lib/s390x-linux-gnu/faketime/libfaketimeMT.so.1"}) {
    if (access(path, R_OK) == 0) return path;
  }
  return "";
}

// How one daemon is started.
struct Launch {
  std::vector<std::string> args;  // after the program name
  std::string home;               // DLNAHOME
  std::string outputPath;         // standard output and error
  std::string workingDir;         // where a command smuggled into a name would write
  uid_t uid = 0;                  // 0: as the test; otherwise this user and group
  gid_t gid = 0;
  // Under libfaketime (clock two hours ahead, file times real) new files are
  // old enough to skip the size watch.
  bool isClockAhead = true;
  bool hasHome = true;  // false: DLNAHOME is left unset
};

// One run of the daemon; killed and reaped if a test ends while it runs.
class Daemon {
 public:
  explicit Daemon(const Launch& launch) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string text(*entry);
      if (text.rfind("DLNAHOME=", 0) != 0 && text.rfind("ASAN_OPTIONS=", 0) != 0) {
        env.push_back(text);
      }
    }
    if (launch.hasHome) env.push_back("DLNAHOME=" + launch.home);
    const char* asan = getenv("ASAN_OPTIONS");
    // The clock library is preloaded ahead of the sanitizer runtime, which
    // would otherwise refuse to start.
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    std::string clock = launch.isClockAhead ? fakeTimeLibrary() : "";
    if (!clock.empty()) {
      for (const char* item : {"FAKETIME=+2h", "NO_FAKE_STAT=1", "DONT_FAKE_MONOTONIC=1"}) {
        env.push_back(item);
      }
      env.push_back("LD_PRELOAD=" + clock);
    }
    std::vector<std::string> argv{kBinary};
    argv.insert(argv.end(), launch.args.begin(), launch.args.end());
    pid = fork();
    if (pid != 0) return;
    int out = open(launch.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    dup2(out, 1);
    dup2(out, 2);
    if (!launch.workingDir.empty() && chdir(launch.workingDir.c_str()) != 0) _exit(126);
    if (launch.uid != 0 &&
        (setgroups(0, nullptr) != 0 || setgid(launch.gid) != 0 || setuid(launch.uid) != 0)) {
      _exit(126);
    }
    std::vector<char*> argPointers, envPointers;
    for (std::string& a : argv) argPointers.push_back(a.data());
    for (std::string& e : env) envPointers.push_back(e.data());
    argPointers.push_back(nullptr);
    envPointers.push_back(nullptr);
    execve(kBinary.c_str(), argPointers.data(), envPointers.data());
    _exit(127);
  }
  ~Daemon() {
    if (pid > 0 && !hasExited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The exit status, or -1 when it was killed or did not end in time.
  int waitForExit(int seconds = 30) {
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        hasExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }
  bool isRunning() {
    if (hasExited) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return true;
    hasExited = true;
    return false;
  }
  void signal(int number) const { kill(pid, number); }
  // Ends the daemon the hard way, as a power cut would.
  void killHard() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    hasExited = true;
  }

 private:
  pid_t pid = -1;
  bool hasExited = false;
};

// Polls file until text occurs there `times` times; false after the timeout.
inline bool waitForText(const std::string& file, const std::string& text, int seconds,
                        size_t times = 1) {
  for (int tenth = 0; tenth < seconds * 10; ++tenth) {
    if (catalogtest::count(testhome::readFile(file), text) >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

}  // namespace daemontest

#endif  // OMBRIX_TESTS_DAEMONRUNNER_H
