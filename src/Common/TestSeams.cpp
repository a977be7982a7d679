// Common/TestSeams.cpp: the test builds' hooks (empty otherwise).
#include "Common/TestSeams.h"

#ifdef OMBRIX_TEST_SEAMS

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "Common/AppStatus.h"

namespace {

// Test builds only: the signal and when, set once at start-up, and the
// count of files written so far.
long signalAtFile = 0;
int signalToRaise = 0;
long filesWritten = 0;

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

int helperCount(int normal) {
  const char* count = getenv("OMBRIX_TEST_HELPERS");
  return count != nullptr && atoi(count) > 0 ? atoi(count) : normal;
}

}  // namespace TestSeams

#endif
