// Common/AppStatus.h: the process-wide run-time switches.
//
// The exit request is written by the SIGINT/SIGTERM handler and polled by the
// service loop and the long loops of the synchroniser, so it is a
// volatile sig_atomic_t: a handler may write it and the interrupted code reads
// it afresh each time. The one instance is a namespace-scope object built
// before main, so a signal can never be the first to touch it. It also
// holds what the service manager is told (ServiceNotify), which the long
// loops feed through notifyProgress and notifyFileMet below.
#ifndef OMBRIX_COMMON_APPSTATUS_H
#define OMBRIX_COMMON_APPSTATUS_H

#include <csignal>
#include <string>

#include "Common/ServiceNotify.h"

class AppStatus {
 public:
  static AppStatus& getInstance();

  bool getAppExit() const { return isAppExit != 0; }
  void setAppExit(bool value) { isAppExit = value ? 1 : 0; }

  // Seconds the service loop sleeps between cycles (15 in the service).
  unsigned getInterval() const { return interval; }

  // While a regular file exists at this path no change detection runs.
  std::string getSleepPath() const { return sleepPath; }

  // Readiness, the status line and the watchdog (main thread only).
  ServiceNotify& notifier() { return serviceNotify; }

#ifdef OMBRIX_TEST_SEAMS
  // Test builds only: a test's daemon cycles quickly and pauses on a marker
  // of its own, not on the machine-wide one.
  void setInterval(unsigned seconds) {
    interval = seconds;
  }
  void setSleepPath(const std::string& path) {
    sleepPath = path;
  }
#endif

  AppStatus(const AppStatus&) = delete;
  AppStatus& operator=(const AppStatus&) = delete;

 private:
  AppStatus() = default;
  friend struct AppStatusStorage;

  volatile std::sig_atomic_t isAppExit = 0;
  unsigned interval = 15;
  std::string sleepPath = "/tmp/sleep";
  ServiceNotify serviceNotify;
};

// Whether a stop was requested: the long loops ask this between steps.
inline bool exitRequested() {
  return AppStatus::getInstance().getAppExit();
}

// The long loops call this between steps: the service still makes
// progress (the watchdog's keep-alive, the status line's counts).
inline void notifyProgress() {
  AppStatus::getInstance().notifier().keepAlive();
}

// A walk calls this for each catalogued file it has met; it also keeps alive.
inline void notifyFileMet() {
  AppStatus::getInstance().notifier().countFile();
}

#endif  // OMBRIX_COMMON_APPSTATUS_H
