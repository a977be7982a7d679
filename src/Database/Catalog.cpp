// Database/Catalog.cpp: the catalogue's operations as bound statements.
//
// What is stored is what the catalogue has always held: FILE_SIZE as the
// text of the number, MD5 'todo', A_DESCRIPTION '', the channel count as a
// number. Log records of a file's failed step carry the source name "Ombrix".
#include "Database/Catalog.h"

#include <string>

#include "Common/Logger.h"
#include "Database/CatalogSql.h"
#include "Media/FileInfo.h"

Status Catalog::createSchema() {
  return db.runScript(CatalogSql::kCreateSchema);
}

Status Catalog::primeSequences() {
  return db.runScript(CatalogSql::kPrimeSequences);
}

Status Catalog::createPathIndex() {
  return db.runScript(CatalogSql::kCreatePathIndex);
}

Status Catalog::clearFound() {
  return db.runScript(CatalogSql::kClearFound);
}

Status Catalog::deleteNotFound() {
  return db.runScript(CatalogSql::kDeleteNotFound);
}

Status Catalog::pruneMaps() {
  return db.runScript(CatalogSql::kPruneMaps);
}

Status Catalog::fillMaps() {
  return db.runScript(CatalogSql::kFillMaps);
}

// Three statements, each its own step: a map that misses a name offers it
// again at the next fill, and the walk only moves its mark on when all three
// took.
Status Catalog::fillMapsFrom(int64_t firstId) {
  for (const char* sql :
       {CatalogSql::kFillAlbumsFrom, CatalogSql::kFillArtistsFrom, CatalogSql::kFillGenresFrom}) {
    IdResult filled = db.run(sql, {firstId});
    if (!filled.isOk()) return filled.status;
  }
  return Status::ok();
}

IdResult Catalog::findId(const std::string& path) {
  return db.queryId(CatalogSql::kSelectIdByPath, {path});
}

IdResult Catalog::insertDirRow(int64_t parentId, const std::string& path, const std::string& name) {
  return db.run(CatalogSql::kInsertDirRow, {parentId, path, name});
}

IdResult Catalog::findRow(const std::string& path, int64_t& parentId) {
  return db.queryId(CatalogSql::kSelectRowByPath, {path}, &parentId);
}

Status Catalog::setParent(int64_t id, int64_t parentId) {
  return db.run(CatalogSql::kSetParent, {parentId, id}).status;
}

IdResult Catalog::countFiles() {
  return db.queryId(CatalogSql::kCountFiles, {});
}

Status Catalog::setFound(int64_t id) {
  return db.run(CatalogSql::kSetFound, {id}).status;
}

Status Catalog::deleteById(int64_t id) {
  return db.run(CatalogSql::kDeleteById, {id}).status;
}

namespace {

IdResult insertDetail(Database& db, int64_t id, const FileInfo& info) {
  switch (info.objType) {
    case ObjType::Audio:
      return db.runInFile(CatalogSql::kInsertAudioDetail,
                          {id, info.duration, info.artist, info.album, info.genre,
                           int64_t{info.waveFormat.nChannels},
                           int64_t{info.waveFormat.nSamplesPerSec}, int64_t{info.trackNo}});
    case ObjType::Video:
      return db.runInFile(CatalogSql::kInsertVideoDetail,
                          {id, int64_t{info.waveFormat.nAvgBytesPerSec}, info.duration,
                           int64_t{info.height}, int64_t{info.width}});
    default:
      return db.runInFile(CatalogSql::kInsertImageDetail,
                          {id, int64_t{info.height}, int64_t{info.width}});
  }
}

}  // namespace

IdResult Catalog::insertFile(int64_t parentId, const FileInfo& info) {
  Status begun = db.beginFile();
  if (!begun.isOk()) {
    writeLog(LogId::BeginFileFailed, begun.message);
    return {begun};
  }
  std::string fileSize = std::to_string(info.fileSize);
  IdResult object =
      db.runInFile(CatalogSql::kInsertFileRow,
                   {int64_t{static_cast<int32_t>(info.objType)}, parentId, info.fullPathName,
                    info.fileName, info.mimeType, info.details, fileSize});
  if (!object.isOk()) {
    writeLog(LogId::FileRowFailed, object.status.message);
    return object;
  }
  IdResult detail = insertDetail(db, object.id, info);
  if (!detail.isOk()) {
    writeLog(LogId::DetailRowFailed, detail.status.message);
    return detail;
  }
  Status committed = db.commitFile();  // a failure is logged by Database
  if (!committed.isOk()) return {committed};
  return object;
}
