// Sync/WriteGroup.cpp: opening and committing a walk's write group.
#include "Sync/WriteGroup.h"

#include "Common/Logger.h"
#include "Database/Database.h"

void WriteGroup::beforeWrite() {
  commitIfDue();
  std::string errMsg;
  if (!db.beginGroup(errMsg)) writeLog(LogId::GroupFailed, errMsg);
}

void WriteGroup::commitIfDue() {
  if (db.isGroupOlderThan(kMaxAge)) commit();
}

void WriteGroup::commit() {
  std::string errMsg;
  db.commitGroup(errMsg);  // a failure is logged by Database; the next check re-enters the rows
}
