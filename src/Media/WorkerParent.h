// Media/WorkerParent.h: the loaded parent of the analysis workers.
//
// ombrix-analyze loads the libraries once and then only forks: each worker
// shares the parent's loaded and relocated pages, so a new one costs a fork,
// not a program start, and two cost little more memory than one. The parent
// reads no media and runs no analyser; it answers the daemon's control
// messages (WorkerControl.h) and nothing else, so a worker taken over by a
// crafted file cannot reach it.
//
// Workers are reaped only when the daemon asks (End): until then a dead one
// stays a zombie, so its PID can never be reused by another process and
// killing it by PID cannot hit a stranger.
#ifndef OMBRIX_MEDIA_WORKERPARENT_H
#define OMBRIX_MEDIA_WORKERPARENT_H

#include <functional>

namespace WorkerParent {

// Serves the daemon's messages on the socket control until the daemon closes
// it (or talks nonsense), then kills and reaps every worker left and
// returns. Each worker runs work() in the forked child with its requests on
// standard input, its answers on standard output, standard error shared and
// no other descriptor; it dies with the parent. work must end the process
// (_exit); if it returns, the worker exits with status 0.
void serve(int control, const std::function<void()>& work);

}  // namespace WorkerParent

#endif  // OMBRIX_MEDIA_WORKERPARENT_H
