// Sync/PendingChanges.h: the changes a walk or a cycle could not finish,
// carried to the next cycle.
//
// The service loop owns one value and hands it to the build, the check, the
// adjustment and the retries, which add what they leave undone and take
// what they finish: a path whose rows the catalogue refused (a lock held
// too long, a look-up that failed, a write group that could not land), a
// deletion that failed, and a file still being copied. Without it a new
// file would be missing from the television, or a deleted one still listed,
// until the next start's full check.
#ifndef OMBRIX_SYNC_PENDINGCHANGES_H
#define OMBRIX_SYNC_PENDINGCHANGES_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

struct PendingChanges {
  // Paths to enter, and to delete, that failed for a catalogue reason,
  // oldest first; files seen growing when the work of a cycle was done.
  std::vector<std::string> inserts;
  std::vector<std::string> deletes;
  std::vector<std::string> unsettled;

  bool isEmpty() const { return inserts.empty() && deletes.empty() && unsettled.empty(); }
  size_t count() const { return inserts.size() + deletes.size() + unsettled.size(); }

  // Adds path to list unless it is there already.
  static void remember(std::vector<std::string>& list, const std::string& path) {
    if (std::find(list.begin(), list.end(), path) == list.end()) list.push_back(path);
  }
  static void forget(std::vector<std::string>& list, const std::string& path) {
    list.erase(std::remove(list.begin(), list.end(), path), list.end());
  }
};

#endif  // OMBRIX_SYNC_PENDINGCHANGES_H
