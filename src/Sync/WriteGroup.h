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
// A record that says a row was written follows the group's commit.
#ifndef OMBRIX_SYNC_WRITEGROUP_H
#define OMBRIX_SYNC_WRITEGROUP_H

#include <chrono>
#include <cstdint>

class Database;

class WriteGroup {
 public:
  static constexpr std::chrono::milliseconds kMaxAge{200};

  explicit WriteGroup(Database& db) : db(db) {}
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

  void commit();

 private:
  Database& db;
};

#endif  // OMBRIX_SYNC_WRITEGROUP_H
