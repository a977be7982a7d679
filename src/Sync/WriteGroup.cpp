// Sync/WriteGroup.cpp: opening and committing a walk's write group.
#include "Sync/WriteGroup.h"

#include <algorithm>

#include "Common/Logger.h"
#include "Database/Catalog.h"

void WriteGroup::beforeWrite() {
  commitIfDue();
  std::chrono::milliseconds age;
  if (catalog.groupAge(age)) return;
  Status begun = catalog.beginGroup();
  if (!begun.isOk()) {
    writeLog(LogId::GroupFailed, begun.message);
    return;
  }
  // Also a group SQLite drops after a failed statement, not only one whose
  // COMMIT fails.
  catalog.afterDiscard([this] { isAnyLost = true; });
}

void WriteGroup::commitIfDue() {
  if (msUntilDue() == 0) commit();
}

int64_t WriteGroup::msUntilDue() const {
  std::chrono::milliseconds age;
  if (!catalog.groupAge(age)) return -1;
  return std::max<int64_t>(0, (kMaxAge - age).count());
}

bool WriteGroup::commit() {
  return catalog.commitGroup().isOk();
}
