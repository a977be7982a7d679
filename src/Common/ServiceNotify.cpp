// Common/ServiceNotify.cpp: the messages, their throttle and the datagram.
#include "Common/ServiceNotify.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// While starting, each message asks for this much more time to start in: a
// first build of a large library takes far longer than the unit's start
// timeout, but one that stops making progress must still time out. Without
// a watchdog interval to go by: twice the analysis time limit.
constexpr std::chrono::microseconds kDefaultStartExtension = std::chrono::seconds(60);

// The variable's value ("" when unset), taken out of the environment.
std::string takeEnvironment(const char* variable) {
  const char* value = getenv(variable);
  std::string text = value != nullptr ? value : "";
  unsetenv(variable);
  return text;
}

// "1 file", "4,512 files".
std::string counted(int64_t number, const char* noun) {
  return ServiceNotify::groupDigits(number) + " " + noun + (number == 1 ? "" : "s");
}

// The time of day, with the date in front when it is not today's.
std::string timeText(time_t when) {
  time_t now = time(nullptr);
  struct tm at {};
  struct tm today {};
  localtime_r(&when, &at);
  localtime_r(&now, &today);
  bool isToday = at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
  char text[32];
  strftime(text, sizeof text, isToday ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &at);
  return text;
}

}  // namespace

// A name that is neither a path nor an abstract name ("vsock:", which the
// unit's address families refuse anyway), or one too long for an address,
// leaves the socket closed: nothing is sent.
void ServiceNotify::open() {
  std::string name = takeEnvironment("NOTIFY_SOCKET");
  std::string watchdogUs = takeEnvironment("WATCHDOG_USEC");
  std::string watchdogPid = takeEnvironment("WATCHDOG_PID");
  if (name.empty() || (name[0] != '/' && name[0] != '@') ||
      name.size() >= sizeof address.sun_path) {
    return;
  }
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, name.data(), name.size());
  addressLength = offsetof(sockaddr_un, sun_path) + name.size();
  if (name[0] == '@') {
    address.sun_path[0] = '\0';  // abstract: the length ends the name, no NUL follows
  } else {
    ++addressLength;
  }
  notifySocket.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));

  // A WATCHDOG_PID of another process means the variables were inherited:
  // that watchdog is not ours to keep.
  char* end = nullptr;
  unsigned long long us = strtoull(watchdogUs.c_str(), &end, 10);
  bool isOurs = watchdogPid.empty() || watchdogPid == std::to_string(getpid());
  if (watchdogUs.empty() || *end != '\0' || us == 0 || !isOurs) return;
  watchdog = std::chrono::microseconds(us);
  // Half the interval, as sd_watchdog_enabled(3) advises: one late ping
  // must not end the service.
  sendInterval = std::min<std::chrono::steady_clock::duration>(sendInterval, watchdog / 2);
}

void ServiceNotify::building() {
  count = 0;
  enter(Phase::Building);
}

void ServiceNotify::checking(int64_t catalogued) {
  count = 0;
  files = catalogued;
  enter(Phase::Checking);
}

void ServiceNotify::ready(int64_t catalogued) {
  files = catalogued;
  lastChange = time(nullptr);
  isReady = true;
  enter(Phase::Idle, "READY=1\n");
}

void ServiceNotify::applying(size_t changeCount) {
  changes = changeCount;
  enter(Phase::Applying);
}

void ServiceNotify::caughtUp(int64_t catalogued) {
  files = catalogued;
  lastChange = time(nullptr);
  enter(Phase::Idle);
}

void ServiceNotify::idle() {
  enter(Phase::Idle);
}

void ServiceNotify::paused(const std::string& markerPath) {
  marker = markerPath;
  enter(Phase::Paused);
}

void ServiceNotify::stopping() {
  enter(Phase::Stopping, "STOPPING=1\n");
}

void ServiceNotify::countFile() {
  ++count;
  flush(false, "");
}

void ServiceNotify::keepAlive() {
  flush(false, "");
}

std::string ServiceNotify::groupDigits(int64_t number) {
  std::string digits = std::to_string(number);
  size_t first = digits[0] == '-' ? 1 : 0;
  for (size_t at = digits.size(); at > first + 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// A new phase, or a state line, goes out at once.
void ServiceNotify::enter(Phase next, const char* state) {
  bool isUrgent = next != phase || *state != '\0';
  phase = next;
  flush(isUrgent, state);
}

// One datagram: the state line if any, the status when its text changed,
// the watchdog's keep-alive, and while starting the extension of the start
// timeout. A lost message is harmless and the daemon must never hang on
// one, so the send does not wait and its failure is not reported.
void ServiceNotify::flush(bool isUrgent, const char* state) {
  if (!notifySocket.isOpen()) return;
  auto now = std::chrono::steady_clock::now();
  if (!isUrgent && now - lastSent < sendInterval) return;
  lastSent = now;
  std::string message = state;
  std::string status = statusText();
  if (status != lastStatus) message += "STATUS=" + status + "\n";
  lastStatus = std::move(status);
  if (watchdog.count() > 0) message += "WATCHDOG=1\n";
  if (!isReady && phase != Phase::Stopping) {
    auto extension = watchdog.count() > 0 ? watchdog : kDefaultStartExtension;
    message += "EXTEND_TIMEOUT_USEC=" + std::to_string(extension.count()) + "\n";
  }
  if (message.empty()) return;
  (void)sendto(notifySocket.get(), message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&address), addressLength);
}

std::string ServiceNotify::statusText() const {
  switch (phase) {
    case Phase::Starting:
      return "Starting";
    case Phase::Building:
      return "Building the catalogue: " + counted(count, "file") + " so far";
    case Phase::Checking:
      // New files count too, so the count may pass what the catalogue held.
      return "Checking the catalogue: " + groupDigits(count) + " of " +
             counted(std::max(count, files), "file");
    case Phase::Applying:
      return "Applying " + counted(static_cast<int64_t>(changes), "change");
    case Phase::Idle:
      return "Idle: " + (files >= 0 ? counted(files, "file") + "; " : "") + "last change " +
             timeText(lastChange);
    case Phase::Paused:
      return "Paused by " + marker;
    case Phase::Stopping:
      return "Stopping";
  }
  return "";
}
