// Sync/FileCataloguer.cpp: a file's steps, and its two rows.
#include "Sync/FileCataloguer.h"

#include <utility>

#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Common/Util.h"
#include "Sync/DirectoryRows.h"

FileCataloguer::FileCataloguer(DirectoryRows& directoryRows, const std::string& helperPath)
    : directories(directoryRows),
      pool(TestSeams::helperCommand(helperPath),
           TestSeams::helperCount(AnalysisPool::kDefaultHelpers)) {}

FileCataloguer::~FileCataloguer() = default;

bool FileCataloguer::fillIfCatalogued(const std::string& path, const struct stat& status,
                                      FileInfo& info) {
  info.reset();
  info.fill(path, status);
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

IdResult FileCataloguer::writeRows(const FileInfo& info, int64_t parentId, Catalog& catalog) {
  const std::string& path = info.fullPathName;
  IdResult parent = directories.parentFor(path, parentId, catalog);
  if (!parent.isOk()) {
    writeLog(LogId::NoFileParent);
    return parent;
  }
  IdResult rows = catalog.insertFile(parent.id, info);
  if (!rows.isOk()) return rows;  // logged by the catalogue
  // Inside a write group the rows are durable only with its commit; the
  // record waits for that.
  catalog.afterCommit([path] {
    writeLog(LogId::FileInserted, path);
    TestSeams::afterFileWritten();
  });
  return rows;
}
