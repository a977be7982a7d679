// Sync/FileCataloguer.cpp: a file's steps, and its two rows.
#include "Sync/FileCataloguer.h"

#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Database/CatalogSql.h"
#include "Database/Database.h"
#include "Media/AnalysisChild.h"
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

FileCataloguer::FileCataloguer(DirectoryRows& directoryRows) : directories(directoryRows) {}

FileCataloguer::~FileCataloguer() = default;

bool FileCataloguer::fillIfCatalogued(const std::string& path, FileInfo& info) {
  info.reset();
  info.fill(path);
  return isCataloguedKind(info.objType);
}

// The analysers read untrusted bytes; they run in a child process so that a
// crash or a hang costs this file its details, never the service.
FileCataloguer::AnalysisTicket FileCataloguer::submitAnalysis(const FileInfo& info) {
  if (!analysisChild) analysisChild = std::make_unique<AnalysisChild>();
  FileInfo analysed = info;
  std::string reason;
  if (!analysisChild->analyze(analysed, reason)) {
    writeLog(LogId::AnalysisFailed, analysed.fullPathName + " (" + reason + ")");
  }
  AnalysisTicket ticket = nextTicket++;
  answers.emplace(ticket, std::move(analysed));
  return ticket;
}

bool FileCataloguer::isAnalysed(AnalysisTicket ticket) const {
  return answers.count(ticket) > 0;
}

bool FileCataloguer::hasAnalysisInFlight() const {
  return false;
}

void FileCataloguer::pumpAnalysis(int64_t) {}

FileInfo FileCataloguer::takeAnalysis(AnalysisTicket ticket) {
  auto found = answers.find(ticket);
  FileInfo info = std::move(found->second);
  answers.erase(found);
  return info;
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
  if (!fillIfCatalogued(path, info)) return {FileOutcome::NotCatalogued};
  if (watch.isFresh(info)) {
    WatchSet::Id id = watch.add(info);
    while (watch.state(id) == WatchSet::State::Watching) watch.waitAndPoll();
    bool isStable = watch.state(id) == WatchSet::State::Stable;
    info = watch.take(id);
    if (!isStable) return {FileOutcome::Gone};
  }
  AnalysisTicket ticket = submitAnalysis(info);
  while (!isAnalysed(ticket)) pumpAnalysis(1000);
  return writeRows(takeAnalysis(ticket), parentId, db);
}
