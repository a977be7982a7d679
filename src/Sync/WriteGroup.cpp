// Sync/WriteGroup.cpp: opening and committing a walk's write group.
#include "Sync/WriteGroup.h"

#include <algorithm>

#include "Common/Logger.h"
#include "Database/Database.h"

void WriteGroup::beforeWrite() {
  commitIfDue();
  std::string errMsg;
  if (!db.beginGroup(errMsg)) writeLog(LogId::GroupFailed, errMsg);
}

void WriteGroup::commitIfDue() {
  if (msUntilDue() == 0) commit();
}

int64_t WriteGroup::msUntilDue() const {
  std::chrono::milliseconds age;
  if (!db.groupAge(age)) return -1;
  return std::max<int64_t>(0, (kMaxAge - age).count());
}

void WriteGroup::commit() {
  std::string errMsg;
  db.commitGroup(errMsg);  // a failure is logged by Database; the next check re-enters the rows
}
