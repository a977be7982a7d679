// Sync/WatchSet.h: waits until freshly changed files have stopped growing,
// all of them at once.
//
// A file copied into a shared folder shows up while the copy still runs;
// analysing it then would read a half-written header. A file changed within
// the last five minutes (thirty for a video, which is large and slow to
// copy) is polled once a second until two polls in a row see the size known
// before them. Every waiting file is in one set and polled in the same
// rounds, so a hundred photos copied together cost two seconds, not two
// hundred; each file keeps its own count, its own records and its own end.
#ifndef OMBRIX_SYNC_WATCHSET_H
#define OMBRIX_SYNC_WATCHSET_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>

#include "Media/FileInfo.h"

// The clocks of the watch: the wall clock gives a file's age, the steady
// clock in milliseconds times the polls. Test builds put in fake ones, so a
// watch runs without waiting and files can be fresh or old at will.
struct WatchClock {
  std::function<time_t()> now;
  std::function<int64_t()> steadyMs;
  std::function<void(int64_t)> sleepMs;

  static WatchClock system();
};

class WatchSet {
 public:
  using Id = uint64_t;
  enum class State {
    Watching,
    Stable,     // the record is refilled from the file as it is now
    Vanished,   // the file went away: not to be catalogued
    Abandoned,  // the exit flag was raised: left for the next start's check
  };

  WatchSet() : clock(WatchClock::system()) {}

  // True when info's file changed recently enough that it may still be being
  // written, and so must be watched before it is analysed.
  bool isFresh(const FileInfo& info) const;

  // Starts watching a fresh file: its first "size = " record now, its first
  // poll a second later.
  Id add(const FileInfo& info);

  // Milliseconds until the next poll is due (0: due now), -1 with nothing
  // to watch.
  int64_t msUntilDue() const;

  // Polls every file that is due; the exit flag abandons every file.
  void poll();

  // Sleeps until the next poll is due, then polls.
  void waitAndPoll();

  State state(Id id) const { return members.at(id).state; }
  // True once the file's size has changed during the watch: it is being
  // written right now, and may be for a long while.
  bool isGrowing(Id id) const { return members.at(id).isGrowing; }
  // The record of a file that is no longer watched; forgets the file.
  FileInfo take(Id id);

#ifdef OMBRIX_TEST_SEAMS
  void setClock(WatchClock newClock) {
    clock = std::move(newClock);
  }
#endif

 private:
  struct Member {
    Member(const FileInfo& file, int64_t due) : info(file), size(file.fileSize), dueMs(due) {}

    FileInfo info;
    int64_t size;
    int polls = 1;
    int stableCount = 0;
    int64_t dueMs;  // on the steady clock
    bool isGrowing = false;
    State state = State::Watching;
  };

  void pollOne(Member& member);

  WatchClock clock;
  std::map<Id, Member> members;  // in the order the files joined
  Id nextId = 1;
  size_t watching = 0;
};

#endif  // OMBRIX_SYNC_WATCHSET_H
