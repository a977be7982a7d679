// Common/ServiceNotify.h: what the service manager (systemd) is told:
// readiness, a one-line status and the watchdog's keep-alives.
//
// This is the sd_notify(3) protocol written out: each message is a few
// "KEY=VALUE" lines in one AF_UNIX datagram to the socket NOTIFY_SOCKET
// names (one starting with "@" is an abstract name). libsystemd would bring
// six more libraries (libgcrypt, liblzma, libzstd, liblz4, libcap,
// libgpg-error) and 0.9 MB to an idle daemon of 5.4 MB, for one datagram a
// second. Without NOTIFY_SOCKET nothing is opened and nothing is sent.
//
// The status line says what the service does: building, checking, applying
// changes, idle or paused. A new phase goes out at once; the counts of a
// walk and the keep-alives at most once a second (or every half watchdog
// interval, if that is shorter), so the long loops may call keepAlive()
// after every step. The status never goes into the log: its records are a
// contract.
//
// Thread-safety: the main thread only; not from a signal handler.
#ifndef OMBRIX_COMMON_SERVICENOTIFY_H
#define OMBRIX_COMMON_SERVICENOTIFY_H

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "Common/Handles.h"

class ServiceNotify {
 public:
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and takes them out of
  // the environment, so that the tools and helpers the daemon starts cannot
  // speak for it. Call before any child process starts.
  void open();
  // True while a service manager listens.
  bool isOpen() const { return notifySocket.isOpen(); }

  // The phases. A count of -1 means the catalogue could not be counted.
  void building();
  void checking(int64_t catalogued);
  // READY=1: the start-up build or check is over; idle since now.
  void ready(int64_t catalogued);
  void applying(size_t changeCount);
  // Idle after work that may have changed the catalogue: last change now.
  void caughtUp(int64_t catalogued);
  // Idle after a cycle that changed nothing, or at the end of a pause.
  void idle();
  void paused(const std::string& markerPath);
  void stopping();

  // A walk has met one more catalogued file; keeps alive.
  void countFile();
  // The caller is making progress: the watchdog's keep-alive, and the
  // status if it changed, both throttled.
  void keepAlive();

  // 4512 as "4,512": the status line's numbers.
  static std::string groupDigits(int64_t number);

 private:
  enum class Phase { Starting, Building, Checking, Applying, Idle, Paused, Stopping };

  void enter(Phase next, const char* state = "");
  void flush(bool isUrgent, const char* state);
  std::string statusText() const;

  FdHandle notifySocket;
  sockaddr_un address{};
  socklen_t addressLength = 0;
  std::chrono::microseconds watchdog{0};  // 0: no watchdog for us
  std::chrono::steady_clock::duration sendInterval = std::chrono::seconds(1);
  std::chrono::steady_clock::time_point lastSent;
  std::string lastStatus;
  bool isReady = false;

  Phase phase = Phase::Starting;
  int64_t count = 0;  // files a walk met in this phase
  int64_t files = 0;  // files in the catalogue (at the start, when checking)
  size_t changes = 0;
  time_t lastChange = 0;
  std::string marker;
};

#endif  // OMBRIX_COMMON_SERVICENOTIFY_H
