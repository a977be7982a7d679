// Sync/ChangeNotices.h: the kernel's change notices (inotify) on the shared
// folders, used only to end the service loop's sleep early.
//
// A notice never enters or deletes anything. It ends the sleep, and the
// cycle that runs is the usual one (listing, difference, adjustment,
// retries), so the listing stays the only truth and a notice that is lost
// or wrong costs at most a wait for the tick. The watch set, one watch per
// directory, is derived from the listing after each listing that changed,
// and after the kernel dropped or moved a watch or lost notices, so it
// cannot drift from what the cycle sees. A directory created or moved in
// between two listings is watched as soon as its notice is read, so that a
// copy into it keeps the sleep going until the copy is over.
//
// No watch is put on directories of network and user-space file systems
// (NFS, SMB, FUSE, ...: a change made on another machine sends no notice
// here), on hidden directories (nothing in them is catalogued) or on the
// work directory (the listing, the log and the catalogue change there every
// cycle). The tick covers all of them, as it covers every directory when
// the kernel has no watch to spare: at the watch limit every watch is given
// back and one record says which setting to raise, and to what.
//
// The daemon keeps 12 bytes and the directory's name a watch (WatchPaths).
//
// Thread-safety: the main thread only.
#ifndef OMBRIX_SYNC_CHANGENOTICES_H
#define OMBRIX_SYNC_CHANGENOTICES_H

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <string>

#include "Common/Handles.h"
#include "Sync/WatchPaths.h"

class SharedFolders;
struct PendingChanges;
struct WorkFiles;
struct inotify_event;

class ChangeNotices {
 public:
  // What ended a wait.
  enum class Wake {
    Tick,      // the interval passed
    Notices,   // notices came, then a quiet second
    Overflow,  // the kernel dropped notices: anything may have changed
    Exit,      // a stop was requested
  };

  ChangeNotices(const WorkFiles& files, const SharedFolders& folders)
      : files(files), folders(folders) {}
  ChangeNotices(const ChangeNotices&) = delete;
  ChangeNotices& operator=(const ChangeNotices&) = delete;

  // True when the watch set must be derived again even though the listing
  // did not change (nothing derived yet, a watch dropped or moved, notices
  // lost, a watch refused).
  bool isStale() const { return isStaleSet; }

  // Makes the watch set that of the listing at listingPath (one path a
  // line, each directory before what it holds), taken from listedAt on. A
  // directory that changed while it was being listed and before its watch
  // was in place counts as a notice.
  void follow(const std::string& listingPath, const timespec& listedAt);

  // Sleeps until seconds have passed, or until a notice about a change the
  // next listing could see has been followed by a quiet second, or at once
  // after a queue overflow or on a stop request. While a regular file
  // exists at sleepPath, notices end nothing. A file in pending's unsettled
  // list that was closed after writing counts as such a change: it is
  // watched again at once.
  Wake wait(unsigned seconds, const std::string& sleepPath, const PendingChanges& pending);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Readiness { Timeout, Readable, Exit };
  // What a read of the queue held, in rising order of urgency.
  enum class Batch { Nothing, News, Overflow };

  bool open();
  void turnOff(const std::string& reason);
  bool isWorkDir(const struct stat& status) const {
    return status.st_dev == workDir.st_dev && status.st_ino == workDir.st_ino;
  }
  // Makes kept the watch set, removing the watches not in it.
  void replaceWatches(WatchPaths& kept);
  void watchNewDirectory(int parentWd, const char* name);
  Readiness block(Clock::duration timeout) const;
  Batch readNotices(const PendingChanges& pending);
  Batch classify(const inotify_event& event, const PendingChanges& pending);

  const WorkFiles& files;
  const SharedFolders& folders;
  FdHandle inotify;
  WatchPaths watched;
  struct stat workDir {};  // as of the last listing
  bool isStaleSet = true;
  bool isOff = false;    // the kernel has no instance or no watch to spare: ticks only
  bool hasNews = false;  // follow saw a change that no notice reported
};

#endif  // OMBRIX_SYNC_CHANGENOTICES_H
