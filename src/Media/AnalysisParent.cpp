// Media/AnalysisParent.cpp: spawning, asking and ending the loaded parent.
#include "Media/AnalysisParent.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

int64_t steadyMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

// The socket is the parent's standard input and output; standard error is
// ours, so whatever a library says there lands where the daemon's own
// messages do.
bool AnalysisParent::start(std::string& errMsg) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    errMsg = std::string("cannot create socket: ") + strerror(errno);
    return false;
  }
  FdHandle ours(ends[0]), theirs(ends[1]);
  SpawnActions files;
  files.redirect(theirs.get(), STDIN_FILENO);
  files.redirect(theirs.get(), STDOUT_FILENO);
  // The daemon may be inside a signal-blocked section; the parent starts
  // with nothing blocked.
  SpawnAttributes attributes;
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(attributes.get(), &none);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid, argv[0], files.get(), attributes.get(), argv.data(), environ);
  if (rc != 0) {
    pid = -1;
    errMsg = std::string("cannot start analysis process: ") + strerror(rc);
    return false;
  }
  control = std::move(ours);
  ++startCount;
  return true;
}

// Answers still on their way are read and dropped until the parent closes
// its end, which it does as it exits.
int AnalysisParent::end() {
  if (pid <= 0) return -1;
  shutdown(control.get(), SHUT_WR);
  const int64_t deadline = steadyMs() + kGraceMs;
  for (int64_t left = kGraceMs; left > 0; left = deadline - steadyMs()) {
    struct pollfd wait = {control.get(), POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    WorkerControl::Message dropped;
    std::vector<FdHandle> fds;
    if (receive(dropped, fds) == WorkerControl::Received::Closed) return reap();
  }
  return kill();
}

int AnalysisParent::kill() {
  if (pid <= 0) return -1;
  ::kill(pid, SIGKILL);
  return reap();
}

int AnalysisParent::reap() {
  control.reset();
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
  return status;
}
