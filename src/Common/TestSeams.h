// Common/TestSeams.h: hooks that only test builds have.
//
// A test must be able to run the daemon quickly and stop it at a chosen
// point without waiting for time to pass: it sets these through the
// environment of the daemon it starts.
//   OMBRIX_TEST_INTERVAL       seconds between service cycles (instead of 15)
//   OMBRIX_TEST_SLEEP_PATH     the pause marker (instead of the machine-wide
//                              /tmp/sleep, which would pause every daemon)
//   OMBRIX_TEST_SIGNAL_AT_FILE "N:SIGNAL": raise SIGNAL once the Nth file's
//                              rows are durable (kill -9 or a stop in the
//                              middle of a build)
//   OMBRIX_TEST_HELPERS        how many analysis helpers work at once
//                              (instead of two), read when a cataloguer is made
//   OMBRIX_TEST_FAULTS         "point:N[:TIMES],...": the Nth call of a fault
//                              point (counted from start-up) fails, and the
//                              TIMES-1 calls after it (see Fault)
//   OMBRIX_TEST_EMULATOR       the program, and its arguments separated by
//                              blanks, that runs the analysis helper (the
//                              cross suites' qemu-user: a cross-built helper
//                              cannot be started directly)
// In a release build the hooks are empty inline functions and the variables
// mean nothing.
#ifndef OMBRIX_COMMON_TESTSEAMS_H
#define OMBRIX_COMMON_TESTSEAMS_H

#include <string>
#include <vector>

namespace TestSeams {

// Where a test can make the outside world fail, at a chosen call: the
// catalogue's COMMIT is busy ("commit-busy"), a look-up by path fails after
// its tries ("lookup"), readdir reports an error ("readdir"), a listing tool
// exits with status 2 ("tool"), the kernel refuses a watch as at its watch
// limit ("watch"), a read of change notices finds the queue overflowed
// ("overflow").
enum class Fault {
  CommitBusy,
  LookupFails,
  ReaddirFails,
  ToolFails,
  WatchRefused,
  NoticesLost,
  Count
};

#ifdef OMBRIX_TEST_SEAMS
// Reads the variables above; called once at start-up.
void applyEnvironment();
void afterFileWritten();
int helperCount(int normal);
std::vector<std::string> helperCommand(const std::string& helperPath);
// In the helper: whether it runs under OMBRIX_TEST_EMULATOR.
bool isHelperEmulated();
// Counts a call of point; true when it is one a test asked to fail.
bool shouldFail(Fault point);
// In-process tests: the nth call of point from now fails, and the times-1
// calls after it; nth 0 clears the point.
void failAt(Fault point, long nth, long times = 1);
#else
inline void applyEnvironment() {}
inline void afterFileWritten() {}
inline int helperCount(int normal) {
  return normal;
}
inline std::vector<std::string> helperCommand(const std::string& helperPath) {
  return {helperPath};
}
inline bool isHelperEmulated() {
  return false;
}
inline bool shouldFail(Fault) {
  return false;
}
#endif

}  // namespace TestSeams

#endif  // OMBRIX_COMMON_TESTSEAMS_H
