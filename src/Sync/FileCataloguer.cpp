// Sync/FileCataloguer.cpp: prepare a file, then write its two rows.
#include "Sync/FileCataloguer.h"

#include <utility>

#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/FileInfo.h"
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

FileOutcome FileCataloguer::prepare(const std::string& path, FileInfo& info) {
  if (!fillIfCatalogued(path, info)) return FileOutcome::NotCatalogued;
  return watchAndAnalyze(info);
}

// Playlists and unknown extensions are never catalogued.
bool FileCataloguer::fillIfCatalogued(const std::string& path, FileInfo& info) {
  info.reset();
  info.fill(path);
  return info.objType == ObjType::Image || info.objType == ObjType::Audio ||
         info.objType == ObjType::Video;
}

FileOutcome FileCataloguer::watchAndAnalyze(FileInfo& info) {
  if (waitUntilStable(info) != FileOutcome::Ready) return FileOutcome::Gone;
  takeAnalysis(pool.submit(info), info);
  return FileOutcome::Ready;
}

FileOutcome FileCataloguer::waitUntilStable(FileInfo& info) {
  return watch.waitForStableFile(info) == SizeWatch::Result::Stable ? FileOutcome::Ready
                                                                    : FileOutcome::Gone;
}

// The analysers read untrusted bytes; they run in helper processes so that
// a crash or a hang costs this file its details, never the service.
void FileCataloguer::takeAnalysis(AnalysisPool::Ticket ticket, FileInfo& info) {
  AnalysisResult result = pool.take(ticket);
  for (const CapturedRecord& record : result.records) writeLog(record.id, record.item);
  if (!result.isAnalysed()) {
    writeLog(LogId::AnalysisFailed, result.info.fullPathName + " (" + result.reason + ")");
  }
  info = std::move(result.info);
}

FileResult FileCataloguer::writeRows(const FileInfo& info, int64_t parentId, Database& db) {
  const std::string& path = info.fullPathName;
  if (parentId < 0) parentId = DirectoryRows::findParentId(path, db).idOrNone();
  if (parentId < 0) parentId = directories.insertDir(Util::getParentPath(path), -1, db);
  if (parentId < 0) {
    writeLog(LogId::NoFileParent);
    return {FileOutcome::FailedInDatabase};
  }
  std::string errMsg;
  if (!db.beginTransaction(errMsg)) {
    writeLog(LogId::BeginFileFailed, errMsg);
    return {FileOutcome::FailedInDatabase};
  }
  int64_t id = db.executeInTransaction(CatalogSql::insertFileRow(parentId, info), errMsg);
  if (id < 0) {
    writeLog(LogId::FileRowFailed, errMsg);
    return {FileOutcome::FailedInDatabase};
  }
  id = db.executeInTransaction(detailRow(id, info), errMsg);
  if (id < 0) {
    writeLog(LogId::DetailRowFailed, errMsg);
    return {FileOutcome::FailedInDatabase};
  }
  if (!db.commitTransaction(errMsg)) return {FileOutcome::FailedInDatabase};  // logged there
  // Inside a write group the rows are durable only with its commit; the
  // record waits for that.
  db.afterCommit([path] {
    writeLog(LogId::FileInserted, path);
    TestSeams::afterFileWritten();
  });
  return {FileOutcome::Written, id};
}

FileResult FileCataloguer::insertFile(const std::string& path, int64_t parentId, Database& db) {
  FileInfo info;
  FileOutcome prepared = prepare(path, info);
  if (prepared != FileOutcome::Ready) return {prepared};
  return writeRows(info, parentId, db);
}
