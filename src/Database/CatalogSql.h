// Database/CatalogSql.h: the text of every statement run on the catalogue.
//
// The media server reads the catalogue these statements write, so the texts
// are a contract and kept byte for byte, odd spacing included. Text values are
// single-quoted with every quote doubled; FILE_SIZE is a quoted 64-bit number.
// Stateless: every function builds a new string and touches nothing.
#ifndef OMBRIX_DATABASE_CATALOGSQL_H
#define OMBRIX_DATABASE_CATALOGSQL_H

#include <cstdint>
#include <string>

class FileInfo;

namespace CatalogSql {

// Scripts, each run as one text in one transaction.
std::string createSchema();    // drops and recreates the five tables, trigger, indices
std::string primeSequences();  // makes the first object and container IDs 1001
std::string fillMaps();        // offers every album, artist and genre to its map
// The same for the detail rows with an ID of at least firstId only. When
// every older row's names are in the maps already (a full fill ran since they
// were written, and nothing was pruned), the maps come out exactly as after
// fillMaps, without a sort of the whole table.
std::string fillMapsFrom(int64_t firstId);
std::string pruneMaps();  // drops map names no FILEDETAIL row carries
// Every look-up is by path; without this index each one scans OBJECTS.
// Created after the schema and at each full check, so older catalogues gain it.
std::string createPathIndex();

// Single-row statements.
std::string selectIdByPath(const std::string& path);
std::string clearFound();
std::string setFound(int64_t id);
std::string insertDirRow(int64_t parentId, const std::string& path, const std::string& name);
std::string insertFileRow(int64_t parentId, const FileInfo& info);
std::string insertImageDetail(int64_t id, const FileInfo& info);
std::string insertAudioDetail(int64_t id, const FileInfo& info);
std::string insertVideoDetail(int64_t id, const FileInfo& info);
std::string deleteNotFound();
std::string deleteById(int64_t id);

// The number of files in the catalogue (for the status line, not the contract).
std::string countFiles();

}  // namespace CatalogSql

#endif  // OMBRIX_DATABASE_CATALOGSQL_H
