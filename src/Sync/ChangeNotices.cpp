// Sync/ChangeNotices.cpp: the watch set, the wait and the reading of
// notices.
#include "Sync/ChangeNotices.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Sync/PendingChanges.h"
#include "Sync/SharedFolders.h"
#include "Sync/WorkFiles.h"

namespace {

// Long enough that a copy of many files, whose notices come milliseconds
// apart, ends in one cycle; short enough that a user waits for it no more
// than for the size watch that follows.
constexpr auto kQuiet = std::chrono::seconds(1);

// A change to a name the next listing can see, a file closed after writing
// (for files still being copied), and a watched directory removed or moved.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;

// File systems whose notices report only what this machine did (network
// file systems) or whatever their server chooses to (FUSE): statfs(2) f_type.
constexpr uint32_t kRemoteFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x65735546,  // FUSE (sshfs, ntfs-3g, glusterfs, ...)
    0x01021997,  // 9P
    0x00C36400,  // Ceph
    0x5346414F,  // AFS
    0x73757245,  // Coda
};

// The devices a listing met, and whether their file system sends reliable
// notices; a handful per listing.
using DeviceKinds = std::vector<std::pair<dev_t, bool>>;

bool isLocalFileSystem(const std::string& path, dev_t device, DeviceKinds& kinds) {
  for (const auto& [known, isLocal] : kinds) {
    if (known == device) return isLocal;
  }
  struct statfs fileSystem;
  if (statfs(path.c_str(), &fileSystem) != 0) return false;  // gone again: the tick sees it
  uint32_t type = static_cast<uint32_t>(fileSystem.f_type);
  bool isLocal = std::find(std::begin(kRemoteFileSystems), std::end(kRemoteFileSystems), type) ==
                 std::end(kRemoteFileSystems);
  kinds.emplace_back(device, isLocal);
  return isLocal;
}

// File times come from a clock that may lag the real one by a tick of the
// kernel's timer; a change that happened just before the listing began is
// taken as one during it (at worst a cycle that finds nothing).
constexpr long kTimestampSlackNs = 50'000'000;

bool hasChangedSince(const std::string& path, const timespec& since) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return true;  // gone while listed
  int64_t changedNs = int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
  int64_t sinceNs = int64_t{since.tv_sec} * 1'000'000'000 + since.tv_nsec;
  return changedNs >= sinceNs - kTimestampSlackNs;
}

// Tells the directories among the lines of a listing by their directories'
// entries, read once each, instead of by a status call a line: at 10,000
// paths those calls took a fifth of a restart's time.
// A listing gives each directory before what it holds and what it holds
// one after another, so only the chain of directories above the current
// line is kept. An entry whose type the directory does not give, a link
// (links are followed, as the listing does), and a name the directory no
// longer holds are asked about one by one. The status is that of a
// directory found.
class ListedKinds {
 public:
  bool isDirectory(const std::string& path, struct stat& status) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
      return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    }
    const Directory& dir = enter(std::string_view(path).substr(0, slash + 1));
    const char* name = path.c_str() + slash + 1;
    auto entry = dir.types.find(name);
    if (entry != dir.types.end() && entry->second != DT_DIR && entry->second != DT_LNK &&
        entry->second != DT_UNKNOWN) {
      return false;
    }
    return dir.fd.isOpen() && fstatat(dir.fd.get(), name, &status, 0) == 0 &&
           S_ISDIR(status.st_mode);
  }

 private:
  struct Directory {
    std::string path;  // with its trailing "/"
    FdHandle fd;       // for the status calls; not open when the directory is gone
    std::unordered_map<std::string, unsigned char> types;  // empty when unreadable
  };

  const Directory& enter(std::string_view dirPath) {
    while (!chain.empty() && dirPath.substr(0, chain.back().path.size()) != chain.back().path) {
      chain.pop_back();
    }
    if (!chain.empty() && chain.back().path == dirPath) return chain.back();
    Directory& dir = chain.emplace_back();
    dir.path.assign(dirPath);
    dir.fd.reset(open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirHandle entries(opendir(dir.path.c_str()));
    while (const dirent* entry = entries ? readdir(entries.get()) : nullptr) {
      dir.types.emplace(entry->d_name, entry->d_type);
    }
    return dir;
  }

  std::vector<Directory> chain;
};

int addWatch(int fd, const std::string& path) {
  if (TestSeams::shouldFail(TestSeams::Fault::WatchRefused)) {
    errno = ENOSPC;  // as when the limit is reached
    return -1;
  }
  return inotify_add_watch(fd, path.c_str(), kWatchMask);
}

// True when wd's entry name is a file a cycle left unsettled while it grew:
// its closing is worth a cycle. The path is put together only when there is
// such a file: most closes are of files copied whole.
bool isUnsettled(const WatchPaths& watched, int wd, const char* name,
                 const PendingChanges& pending) {
  if (pending.unsettled.empty()) return false;
  std::string path = watched.pathOf(wd) + "/" + name;
  return std::find(pending.unsettled.begin(), pending.unsettled.end(), path) !=
         pending.unsettled.end();
}

// The watched directories above a listed path, nearest last. find lists
// each directory before what it holds, so the nearest one that holds the
// path is the one its watch goes below.
struct Ancestor {
  std::string path;
  int wd;
};

void climbTo(std::vector<Ancestor>& chain, const std::string& path) {
  while (!chain.empty() &&
         path.compare(0, chain.back().path.size() + 1, chain.back().path + "/") != 0) {
    chain.pop_back();
  }
}

}  // namespace

bool ChangeNotices::open() {
  if (isOff) return false;
  if (inotify.isOpen()) return true;
  inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify.isOpen()) return true;
  turnOff(std::string("inotify_init1: ") + strerror(errno));
  return false;
}

// Closing the instance gives every watch back to the kernel at once.
void ChangeNotices::turnOff(const std::string& reason) {
  writeLog(LogId::NoticesOff, reason);
  inotify.reset();
  watched = WatchPaths();
  isOff = true;
}

// One stat a listed path: a directory gets its watch unless the rules in
// the header leave it out. The work directory is known by its inode, since
// the home may be shared under another path (through a link). Watching
// again a directory that has a watch costs the kernel nothing and returns
// its descriptor, which tells the old watches from the new. The first
// listing needs no look at what changed while it was taken: the build or
// the check walks every folder after it.
void ChangeNotices::follow(const std::string& listingPath, const timespec& listedAt) {
  bool isFirst = !inotify.isOpen();
  if (!open()) return;
  std::ifstream listing(listingPath);
  if (!listing.is_open()) {
    isStaleSet = true;  // the next listing is followed, changed or not
    return;
  }
  if (stat((files.homeDir + "/nstemp").c_str(), &workDir) != 0) workDir = {};
  DeviceKinds kinds;
  WatchPaths kept;
  std::vector<Ancestor> chain;
  ListedKinds listed;
  size_t needed = 0;
  bool isFull = false;
  for (std::string line; std::getline(listing, line);) {
    struct stat status;
    if (folders.isHiddenBelowFolder(line) || !listed.isDirectory(line, status) ||
        isWorkDir(status) || !isLocalFileSystem(line, status.st_dev, kinds)) {
      continue;
    }
    ++needed;
    if (isFull) continue;  // only counted, for the record
    int wd = addWatch(inotify.get(), line);
    if (wd < 0) {
      isFull = errno == ENOSPC;  // any other refusal (gone, unreadable) costs that directory only
      continue;
    }
    if (!isFirst && !watched.contains(wd) && hasChangedSince(line, listedAt)) hasNews = true;
    std::string path = Util::removeLastSlash(line);
    climbTo(chain, path);
    if (chain.empty()) {
      kept.append(wd, -1, path);
    } else {
      kept.append(wd, chain.back().wd, path.substr(chain.back().path.size() + 1));
    }
    chain.push_back({path, wd});
  }
  if (isFull) {
    turnOff("fs.inotify.max_user_watches is too low; the shared folders need " +
            std::to_string(needed) + " watches");
    return;
  }
  kept.sort();
  replaceWatches(kept);
  isStaleSet = false;
}

// The watches of directories no longer listed (moved away, or now hidden)
// are removed; their IN_IGNORED notices then find them gone from the set,
// and so are not taken for drops by the kernel.
void ChangeNotices::replaceWatches(WatchPaths& kept) {
  for (int wd : watched.descriptors()) {
    if (!kept.contains(wd)) inotify_rm_watch(inotify.get(), wd);
  }
  std::swap(watched, kept);
}

// A directory created or moved in below a watched one is watched at once,
// so that what is copied into it next sends notices too, and the sleep
// goes on until the copy is over. Its file system is its parent's: neither
// mkdir(2) nor rename(2) crosses mounts. A refusal leaves it to the next
// listing, which tries again and reports a full limit.
void ChangeNotices::watchNewDirectory(int parentWd, const char* name) {
  std::string parent = watched.pathOf(parentWd);
  if (parent.empty()) return;
  std::string path = parent + "/" + name;
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || isWorkDir(status)) return;
  int wd = addWatch(inotify.get(), path);
  if (wd < 0) {
    isStaleSet = true;
    return;
  }
  watched.set(wd, parentWd, name);
}

// The quiet second restarts with every notice, but the tick stays where it
// was: a folder that changes all the time gets a cycle per interval, as
// without notices. The pause marker is looked at only when the quiet
// second is over, not for every notice.
ChangeNotices::Wake ChangeNotices::wait(unsigned seconds, const std::string& sleepPath,
                                        const PendingChanges& pending) {
  const Clock::time_point tick = Clock::now() + std::chrono::seconds(seconds);
  Clock::time_point quietEnd = hasNews ? Clock::now() + kQuiet : Clock::time_point::max();
  hasNews = false;
  for (;;) {
    Clock::time_point now = Clock::now();
    if (now >= quietEnd) {
      if (!Util::isFileExist(sleepPath)) return Wake::Notices;
      quietEnd = Clock::time_point::max();  // paused: the next listing after it sees the changes
    }
    if (now >= tick) return Wake::Tick;
    Readiness readiness = block(std::min(tick, quietEnd) - now);
    if (readiness == Readiness::Exit) return Wake::Exit;
    if (readiness == Readiness::Timeout) continue;
    Batch batch = readNotices(pending);
    notifyProgress();
    if (batch == Batch::Overflow && !Util::isFileExist(sleepPath)) {
      writeLog(LogId::NoticesLost);
      return Wake::Overflow;
    }
    if (batch != Batch::Nothing) quietEnd = Clock::now() + kQuiet;
  }
}

// The exit signals are blocked from the test of the flag until ppoll lets
// them in, so a stop requested in between ends the wait at once instead of
// after the interval.
ChangeNotices::Readiness ChangeNotices::block(Clock::duration timeout) const {
  sigset_t exitSignals, previous;
  sigemptyset(&exitSignals);
  sigaddset(&exitSignals, SIGINT);
  sigaddset(&exitSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &exitSignals, &previous);
  Readiness readiness = Readiness::Exit;
  if (!exitRequested()) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count();
    timespec limit{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    pollfd notices{inotify.get(), POLLIN, 0};  // a closed instance (-1) is skipped: a plain sleep
    int ready = ppoll(&notices, 1, &limit, &previous);
    readiness = ready > 0 ? Readiness::Readable : Readiness::Timeout;
    if (ready < 0 && exitRequested()) readiness = Readiness::Exit;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return readiness;
}

// Reads the queue empty; the most urgent notice decides.
ChangeNotices::Batch ChangeNotices::readNotices(const PendingChanges& pending) {
  alignas(inotify_event) char buffer[4096];
  Batch batch = Batch::Nothing;
  for (ssize_t length; (length = read(inotify.get(), buffer, sizeof buffer)) > 0;) {
    for (const char* at = buffer; at < buffer + length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      batch = std::max(batch, classify(*event, pending));
      at += sizeof(inotify_event) + event->len;
    }
  }
  if (TestSeams::shouldFail(TestSeams::Fault::NoticesLost)) batch = Batch::Overflow;
  if (batch == Batch::Overflow) isStaleSet = true;
  return batch;
}

// Hidden names are never catalogued, and a file closed after writing keeps
// the name the listing has: neither changes what a cycle would do, unless
// the file is one a cycle left unsettled while it grew.
ChangeNotices::Batch ChangeNotices::classify(const inotify_event& event,
                                             const PendingChanges& pending) {
  if (event.mask & IN_Q_OVERFLOW) return Batch::Overflow;
  if (event.mask & IN_IGNORED) {
    if (watched.contains(event.wd)) {
      watched.remove(event.wd);  // the kernel dropped it: its directory went, or its file system
      isStaleSet = true;
    }
    return Batch::Nothing;
  }
  if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
    isStaleSet = true;  // the watched path is no longer that directory's
    return Batch::News;
  }
  const char* name = event.len > 0 ? event.name : "";
  if (name[0] == '.') return Batch::Nothing;
  if (event.mask & IN_CLOSE_WRITE) {
    return isUnsettled(watched, event.wd, name, pending) ? Batch::News : Batch::Nothing;
  }
  if ((event.mask & IN_ISDIR) && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
    watchNewDirectory(event.wd, name);
  }
  return Batch::News;
}
