// Media/AnalysisParent.h: the daemon's side of the loaded parent of the
// analysis workers (WorkerParent.h), one process for a walk or an
// adjustment.
//
// It owns the process and the control socket: start spawns ombrix-analyze
// with the socket as its standard input and output, the questions go out
// with ask, the answers come in through receive once the socket is readable
// (the pool polls it with the workers' pipes), and end lets the parent end
// its workers and itself. The parent is ours to reap; its workers are its
// own.
//
// Thread-safety: one owner thread; not copyable.
#ifndef OMBRIX_MEDIA_ANALYSISPARENT_H
#define OMBRIX_MEDIA_ANALYSISPARENT_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "Common/Handles.h"
#include "Media/WorkerControl.h"

class AnalysisParent {
 public:
  explicit AnalysisParent(std::vector<std::string> command) : command(std::move(command)) {}
  ~AnalysisParent() { end(); }
  AnalysisParent(const AnalysisParent&) = delete;
  AnalysisParent& operator=(const AnalysisParent&) = delete;

  // Lets parents started from now on read below folder (one more argument).
  void addArgument(const std::string& argument) { command.push_back(argument); }

  // Spawns the parent; false, with errMsg, when it cannot be started.
  bool start(std::string& errMsg);
  bool isRunning() const { return pid > 0; }
  int controlFd() const { return control.get(); }
  // How many parents were spawned so far: workers are forked, not started.
  size_t starts() const { return startCount; }

  // False when the parent is gone.
  bool ask(const WorkerControl::Message& question) {
    return WorkerControl::send(control.get(), question);
  }
  // One answer; call when controlFd is readable.
  WorkerControl::Received receive(WorkerControl::Message& answer, std::vector<FdHandle>& fds) {
    return WorkerControl::receive(control.get(), answer, fds);
  }

  // Closes the control socket, so that the parent kills and reaps its
  // workers and exits, and reaps it; one that has not gone within
  // kGraceMs is killed. Returns its wait status (-1 when none was running).
  int end();
  // Kills the parent at once and reaps it (it has stopped answering); its
  // workers die with it. Returns its wait status.
  int kill();

 private:
  static constexpr int kGraceMs = 1000;

  int reap();

  std::vector<std::string> command;
  pid_t pid = -1;
  FdHandle control;
  size_t startCount = 0;
};

#endif  // OMBRIX_MEDIA_ANALYSISPARENT_H
