// Database/CatalogSql.cpp: statement texts of the catalogue contract.
#include "Database/CatalogSql.h"

#include <sstream>

#include "Common/Util.h"
#include "Media/FileInfo.h"

namespace CatalogSql {

std::string createSchema() {
  return "DROP TABLE IF EXISTS OBJECTS;create table OBJECTS (  ID INTEGER PRIMARY KEY "
         "AUTOINCREMENT DEFAULT 100,  PARENT_ID INTEGER NOT NULL DEFAULT 0,  TYPE INTEGER NOT "
         "NULL,  PATH TEXT NOT NULL,  FILE_NAME TEXT DEFAULT NULL,  MD5 TEXT DEFAULT NULL,  "
         "MIME_TYPE TEXT DEFAULT NULL,  DETAILS TEXT DEFAULT NULL,  FILE_SIZE TEXT DEFAULT NULL,  "
         "FOUND INTEGER NOT NULL DEFAULT 0);"
         "DROP TABLE IF EXISTS FILEDETAIL;create table FILEDETAIL (  ID INTEGER PRIMARY KEY,  "
         "AV_BITRATE INTEGER DEFAULT 0,   AV_DURATION TEXT,   A_ALBUM TEXT DEFAULT 'Unknown',   "
         "A_ARTIST TEXT DEFAULT 'Unknown',   A_CHANNELS INTEGER,   A_DESCRIPTION TEXT,   A_GENRE "
         "TEXT DEFAULT 'Unknown',   A_SAMPLERATE INTEGER,   A_TRACK_NO INTEGER,   DATE TEXT,   "
         "IV_HEIGHT INTEGER,   IV_WIDTH INTEGER,   A_CODEC,   V_CODEC,   SIZE INTEGER DEFAULT 0,  "
         " DLNA_PROFILE TEXT DEFAULT NULL);"
         "DROP TABLE IF EXISTS ALBUMMAP;create table ALBUMMAP (  CON_ID INTEGER PRIMARY KEY "
         "AUTOINCREMENT DEFAULT 1000,   A_ALBUM TEXT, UNIQUE(A_ALBUM) on CONFLICT IGNORE);"
         "DROP TABLE IF EXISTS ARTISTMAP;create table ARTISTMAP (  CON_ID INTEGER PRIMARY KEY "
         "AUTOINCREMENT DEFAULT 1000,   A_ARTIST TEXT, UNIQUE(A_ARTIST) on CONFLICT IGNORE);"
         "DROP TABLE IF EXISTS GENREMAP;create table GENREMAP (  CON_ID INTEGER PRIMARY KEY "
         "AUTOINCREMENT DEFAULT 1000,   A_GENRE TEXT, UNIQUE(A_GENRE) on CONFLICT IGNORE);"
         "create trigger DELETE_ID AFTER DELETE on OBJECTS   begin     DELETE FROM FILEDETAIL "
         "WHERE FILEDETAIL.ID=OLD.ID;   end;"
         "create index if not exists IDX_FILE_NAME on OBJECTS (FILE_NAME);"
         "create index if not exists IDX_PARENT_ID on OBJECTS (PARENT_ID);"
         "create index if not exists ALBINDEX on ALBUMMAP (A_ALBUM);"
         "create index if not exists ARTINDEX on ARTISTMAP (A_ARTIST);"
         "create index if not exists GENINDEX on GENREMAP (A_GENRE);";
}

// The placeholder rows with ID 1000 are inserted and deleted at once; they
// leave each AUTOINCREMENT counter at 1000, so real IDs start at 1001.
std::string primeSequences() {
  return "insert into objects (ID,TYPE, PARENT_ID,PATH) values(1000, 1, 1, '1111');"
         "delete from objects where FOUND = 0;"
         "insert into ALBUMMAP (CON_ID,A_ALBUM) values (1000, '1');"
         "delete from ALBUMMAP where A_ALBUM = '1';"
         "insert into ARTISTMAP (CON_ID,A_ARTIST) values (1000, '1');"
         "delete from ARTISTMAP where A_ARTIST = '1';"
         "insert into GENREMAP (CON_ID,A_GENRE) values (1000, '1');"
         "delete from GENREMAP where A_GENRE = '1';";
}

std::string fillMaps() {
  return "insert into ALBUMMAP (A_ALBUM) select A_ALBUM from FILEDETAIL group by A_ALBUM; "
         "insert into ARTISTMAP (A_ARTIST) select A_ARTIST from FILEDETAIL group by A_ARTIST; "
         "insert into GENREMAP (A_GENRE) select A_GENRE from FILEDETAIL group by A_GENRE; ";
}

std::string fillMapsFrom(int64_t firstId) {
  std::string from = " where ID >= " + std::to_string(firstId);
  return "insert into ALBUMMAP (A_ALBUM) select A_ALBUM from FILEDETAIL" + from +
         " group by A_ALBUM; "
         "insert into ARTISTMAP (A_ARTIST) select A_ARTIST from FILEDETAIL" +
         from +
         " group by A_ARTIST; "
         "insert into GENREMAP (A_GENRE) select A_GENRE from FILEDETAIL" +
         from + " group by A_GENRE; ";
}

std::string pruneMaps() {
  return "delete from ALBUMMAP where A_ALBUM not in (select A_ALBUM from FILEDETAIL group by "
         "A_ALBUM); "
         "delete from ARTISTMAP where A_ARTIST not in (select A_ARTIST from FILEDETAIL group by "
         "A_ARTIST); "
         "delete from GENREMAP where A_GENRE not in (select A_GENRE from FILEDETAIL group by "
         "A_GENRE); ";
}

std::string createPathIndex() {
  return "create index if not exists IDX_PATH on OBJECTS (PATH);";
}

std::string selectIdByPath(const std::string& path) {
  return " select ID from OBJECTS  where PATH = '" + Util::escapeQuote(path) + "';";
}

std::string clearFound() {
  return " update OBJECTS set FOUND = 0; ";
}

std::string setFound(int64_t id) {
  return " update OBJECTS set FOUND = 1 where ID = " + std::to_string(id) + ";";
}

std::string insertDirRow(int64_t parentId, const std::string& path, const std::string& name) {
  constexpr int32_t kDirectoryType = 10;
  std::ostringstream sql;
  sql << " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, FOUND) values (" << kDirectoryType
      << ", " << parentId << ", '" << Util::escapeQuote(path) << "', '" << Util::escapeQuote(name)
      << "', 1);";
  return sql.str();
}

// The MIME type and duration come from our own tables and formats and hold
// no quote, so they go in as they are.
std::string insertFileRow(int64_t parentId, const FileInfo& info) {
  std::ostringstream sql;
  sql << " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, MD5, MIME_TYPE, "
      << "   DETAILS, FILE_SIZE, FOUND) values (" << static_cast<int32_t>(info.objType) << ", "
      << parentId << ", '" << Util::escapeQuote(info.fullPathName) << "', '"
      << Util::escapeQuote(info.fileName) << "', 'todo', '" << info.mimeType << "', '"
      << Util::escapeQuote(info.details) << "', '" << info.fileSize << "', 1);";
  return sql.str();
}

std::string insertImageDetail(int64_t id, const FileInfo& info) {
  std::ostringstream sql;
  sql << " insert into FILEDETAIL (ID, IV_HEIGHT, IV_WIDTH) values (" << id << ", " << info.height
      << ", " << info.width << ");";
  return sql.str();
}

// nChannels is promoted so the stream writes a number, not a character.
std::string insertAudioDetail(int64_t id, const FileInfo& info) {
  std::ostringstream sql;
  sql << " insert into FILEDETAIL (ID, AV_DURATION, A_ARTIST, A_ALBUM, A_GENRE, "
      << "   A_DESCRIPTION, A_CHANNELS, A_SAMPLERATE, A_TRACK_NO) values (" << id << ", '"
      << info.duration << "', '" << Util::escapeQuote(info.artist) << "', '"
      << Util::escapeQuote(info.album) << "', '" << Util::escapeQuote(info.genre) << "', '', "
      << static_cast<unsigned>(info.waveFormat.nChannels) << ", " << info.waveFormat.nSamplesPerSec
      << ", " << info.trackNo << ");";
  return sql.str();
}

std::string insertVideoDetail(int64_t id, const FileInfo& info) {
  std::ostringstream sql;
  sql << " insert into FILEDETAIL (ID, AV_BITRATE, AV_DURATION, IV_HEIGHT, IV_WIDTH) values (" << id
      << ", " << info.waveFormat.nAvgBytesPerSec << ", '" << info.duration << "', " << info.height
      << ", " << info.width << ");";
  return sql.str();
}

std::string deleteNotFound() {
  return "delete from objects where FOUND = 0;";
}

std::string deleteById(int64_t id) {
  return " delete from OBJECTS where ID = " + std::to_string(id) + ";";
}

// Every file row has its detail row, and only a file has one.
std::string countFiles() {
  return "select count(*) from FILEDETAIL";
}

}  // namespace CatalogSql
