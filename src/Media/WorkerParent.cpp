// Media/WorkerParent.cpp: forking, ending and reaping workers on request.
#include "Media/WorkerParent.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "Common/Handles.h"
#include "Media/WorkerControl.h"

namespace WorkerParent {
namespace {

using WorkerControl::Kind;
using WorkerControl::Message;

// In the forked child: the two pipe ends become standard input and output,
// and every other descriptor goes (the control socket among them: a worker
// has no way to the parent). A worker outlives no parent: should the parent
// have died before the request took effect, it ends at once.
[[noreturn]] void runWorker(pid_t parent, int requests, int answers,
                            const std::function<void()>& work) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  if (dup2(requests, STDIN_FILENO) < 0 || dup2(answers, STDOUT_FILENO) < 0) _exit(1);
  closefrom(STDERR_FILENO + 1);
  work();
  _exit(0);
}

void startWorker(int control, std::vector<pid_t>& workers, const std::function<void()>& work) {
  Pipe requests, answers;
  if (!requests.open() || !answers.open()) {
    WorkerControl::send(control, {Kind::StartFailed, errno});
    return;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    WorkerControl::send(control, {Kind::StartFailed, errno});
    return;
  }
  if (pid == 0) runWorker(parent, requests.readEnd.get(), answers.writeEnd.get(), work);
  workers.push_back(pid);
  // The daemon gets its two ends; ours close as the pipes go out of scope.
  WorkerControl::send(control, {Kind::Started, pid},
                      {requests.writeEnd.get(), answers.readEnd.get()});
}

// Kills (a dead worker is unmoved) and reaps, and says how it ended.
int endWorker(pid_t pid) {
  kill(pid, SIGKILL);
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace

void serve(int control, const std::function<void()>& work) {
  std::vector<pid_t> workers;
  Message message;
  std::vector<FdHandle> ignored;
  while (WorkerControl::receive(control, message, ignored) == WorkerControl::Received::Message) {
    if (message.kind == Kind::Start) {
      startWorker(control, workers, work);
    } else if (message.kind == Kind::End) {
      auto found = std::find(workers.begin(), workers.end(), message.first);
      int status = -1;
      if (found != workers.end()) {
        status = endWorker(*found);
        workers.erase(found);
      }
      WorkerControl::send(control, {Kind::Ended, message.first, status});
    } else {
      break;  // a question only the parent asks: the daemon has lost its way
    }
  }
  for (pid_t pid : workers) endWorker(pid);
}

}  // namespace WorkerParent
