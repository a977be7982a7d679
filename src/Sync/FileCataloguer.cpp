// Sync/FileCataloguer.cpp: a file's steps, and its two rows.
#include "Sync/FileCataloguer.h"

#include <utility>

#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Sync/DirectoryRows.h"

namespace {

std::string detailRow(int64_t id, const FileInfo& info) {
  switch (info.objType) {
    case ObjType::Audio:
      return CatalogSql::insertAudioDetail(id, info);
    case ObjType::Video:
      return CatalogSql::insertVideoDetail(id, info);
    default:
      return CatalogSql::insertImageDetail(id, info);
  }
}

}  // namespace

FileCataloguer::FileCataloguer(DirectoryRows& directoryRows, const std::string& helperPath)
    : directories(directoryRows),
      pool(TestSeams::helperCommand(helperPath),
           TestSeams::helperCount(AnalysisPool::kDefaultHelpers)) {}

FileCataloguer::~FileCataloguer() = default;

bool FileCataloguer::fillIfCatalogued(const std::string& path, FileInfo& info) {
  info.reset();
  info.fill(path);
  return isCataloguedKind(info.objType);
}

// The analysers read untrusted bytes; they run in helper processes so that
// a crash or a hang costs this file its details, never the service. The
// records the analysis wrote come out here, in the order the files are
// taken.
FileInfo FileCataloguer::takeAnalysis(AnalysisTicket ticket) {
  AnalysisResult result = pool.take(ticket);
  for (const CapturedRecord& record : result.records) {
    // A helper without its full sandbox says so at every start; the log
    // needs it once, with the first answer taken whatever order the helpers
    // finished in.
    if (record.id == LogId::SandboxIncomplete && std::exchange(isSandboxNoted, true)) continue;
    writeLog(record.id, record.item);
  }
  if (!result.isAnalysed()) {
    writeLog(LogId::AnalysisFailed, result.info.fullPathName + " (" + result.reason + ")");
  }
  return std::move(result.info);
}

int64_t FileCataloguer::writeRows(const FileInfo& info, int64_t parentId, Database& db) {
  const std::string& path = info.fullPathName;
  if (parentId < 0) parentId = DirectoryRows::findParentId(path, db).idOrNone();
  if (parentId < 0) parentId = directories.insertDir(Util::getParentPath(path), -1, db);
  if (parentId < 0) {
    writeLog(LogId::NoFileParent);
    return -1;
  }
  std::string errMsg;
  if (!db.beginTransaction(errMsg)) {
    writeLog(LogId::BeginFileFailed, errMsg);
    return -1;
  }
  int64_t id = db.executeInTransaction(CatalogSql::insertFileRow(parentId, info), errMsg);
  if (id < 0) {
    writeLog(LogId::FileRowFailed, errMsg);
    return -1;
  }
  id = db.executeInTransaction(detailRow(id, info), errMsg);
  if (id < 0) {
    writeLog(LogId::DetailRowFailed, errMsg);
    return -1;
  }
  if (!db.commitTransaction(errMsg)) return -1;  // logged there
  // Inside a write group the rows are durable only with its commit; the
  // record waits for that.
  db.afterCommit([path] {
    writeLog(LogId::FileInserted, path);
    TestSeams::afterFileWritten();
  });
  return id;
}
