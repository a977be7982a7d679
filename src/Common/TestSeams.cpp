// Common/TestSeams.cpp: the test builds' hooks (empty otherwise).
#include "Common/TestSeams.h"

#ifdef OMBRIX_TEST_SEAMS

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Common/AppStatus.h"

namespace {

// Test builds only: the signal and when, set once at start-up, and the
// count of files written so far.
long signalAtFile = 0;
int signalToRaise = 0;
long filesWritten = 0;

// Per fault point: calls counted so far, and the calls that fail
// (firstFailing up to lastFailing, 1-based; 0: none).
struct FaultPlan {
  long calls = 0;
  long firstFailing = 0;
  long lastFailing = 0;
};
FaultPlan faultPlans[static_cast<int>(TestSeams::Fault::Count)];

constexpr const char* kFaultNames[] = {
    "commit-busy", "lookup", "readdir", "tool", "watch", "overflow",
};

// Reads "point:N[:TIMES]" entries separated by commas.
void parseFaults(const std::string& text) {
  std::istringstream entries(text);
  for (std::string entry; std::getline(entries, entry, ',');) {
    std::istringstream fields(entry);
    std::string name, nth, times = "1";
    std::getline(fields, name, ':');
    std::getline(fields, nth, ':');
    std::getline(fields, times, ':');
    for (int point = 0; point < static_cast<int>(TestSeams::Fault::Count); ++point) {
      if (name == kFaultNames[point])
        TestSeams::failAt(static_cast<TestSeams::Fault>(point), atol(nth.c_str()),
                          atol(times.c_str()));
    }
  }
}

}  // namespace

namespace TestSeams {

void applyEnvironment() {
  if (const char* interval = getenv("OMBRIX_TEST_INTERVAL")) {
    AppStatus::getInstance().setInterval(static_cast<unsigned>(atoi(interval)));
  }
  if (const char* marker = getenv("OMBRIX_TEST_SLEEP_PATH")) {
    AppStatus::getInstance().setSleepPath(marker);
  }
  if (const char* stop = getenv("OMBRIX_TEST_SIGNAL_AT_FILE")) {
    if (sscanf(stop, "%ld:%d", &signalAtFile, &signalToRaise) != 2) signalAtFile = 0;
  }
  if (const char* faults = getenv("OMBRIX_TEST_FAULTS")) parseFaults(faults);
}

void afterFileWritten() {
  if (++filesWritten == signalAtFile) raise(signalToRaise);
}

std::vector<std::string> helperCommand(const std::string& helperPath) {
  std::vector<std::string> command;
  if (const char* emulator = getenv("OMBRIX_TEST_EMULATOR")) {
    std::istringstream words(emulator);
    for (std::string word; words >> word;) command.push_back(word);
  }
  command.push_back(helperPath);
  return command;
}

bool isHelperEmulated() {
  const char* emulator = getenv("OMBRIX_TEST_EMULATOR");
  return emulator != nullptr && *emulator != '\0';
}

bool shouldFail(Fault point) {
  FaultPlan& plan = faultPlans[static_cast<int>(point)];
  ++plan.calls;
  return plan.firstFailing > 0 && plan.calls >= plan.firstFailing && plan.calls <= plan.lastFailing;
}

void failAt(Fault point, long nth, long times) {
  FaultPlan& plan = faultPlans[static_cast<int>(point)];
  plan.firstFailing = nth > 0 ? plan.calls + nth : 0;
  plan.lastFailing = nth > 0 ? plan.firstFailing + times - 1 : 0;
}

int helperCount(int normal) {
  const char* count = getenv("OMBRIX_TEST_HELPERS");
  return count != nullptr && atoi(count) > 0 ? atoi(count) : normal;
}

}  // namespace TestSeams

#endif
