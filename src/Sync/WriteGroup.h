// Sync/WriteGroup.h: when a walk commits what it has written.
//
// A walk writes hundreds of rows a second, and a commit of its own for each
// would cost a sync of the file each. So rows go into one shared write
// transaction, the group, which is committed
//   - before a wait for the size watch: the media server must never wait on
//     our lock while we wait on a file;
//   - once it is kMaxAge old, even while the writer waits for analyses, so
//     new rows reach the media server soon and its reads wait little;
//   - at the end of the walk.
// A record that says a row was written follows the group's commit. A group
// that cannot land (see Database::commitGroup) is remembered: the walk that
// owns it is then incomplete.
#ifndef OMBRIX_SYNC_WRITEGROUP_H
#define OMBRIX_SYNC_WRITEGROUP_H

#include <chrono>
#include <cstdint>

class Catalog;

class WriteGroup {
 public:
  static constexpr std::chrono::milliseconds kMaxAge{200};

  explicit WriteGroup(Catalog& catalog) : catalog(catalog) {}
  ~WriteGroup() { commit(); }
  WriteGroup(const WriteGroup&) = delete;
  WriteGroup& operator=(const WriteGroup&) = delete;

  // Call before writing a row: commits a group that is due and makes sure
  // one is open. Without a group every statement commits on its own:
  // slower, not wrong.
  void beforeWrite();

  // Call between reads while a group may be open, so that it never stays
  // open for long without writes.
  void commitIfDue();

  // Milliseconds until the open group is due (0: now), -1 with none open.
  int64_t msUntilDue() const;

  // False when the group could not land (logged by the catalogue).
  bool commit();

  // True once any group of this object was lost, with what it held.
  bool hasLostWrites() const { return isAnyLost; }

 private:
  Catalog& catalog;
  bool isAnyLost = false;
};

#endif  // OMBRIX_SYNC_WRITEGROUP_H
