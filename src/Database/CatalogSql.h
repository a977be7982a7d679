// Database/CatalogSql.h: the text of every statement run on the catalogue.
//
// The media server reads the catalogue these statements write, so the
// schema and what the statements store are a contract. Values are never
// part of a text: each "?" is bound when the statement runs (Catalog), so a
// quote or a ";" in a name is stored as it is. FILE_SIZE is bound as the
// text of a 64-bit number, as the catalogue has always held it.
#ifndef OMBRIX_DATABASE_CATALOGSQL_H
#define OMBRIX_DATABASE_CATALOGSQL_H

namespace CatalogSql {

// Scripts, each run as one text in one transaction.

// Drops and recreates the five tables, the trigger and the indices.
inline constexpr const char* kCreateSchema =
    "DROP TABLE IF EXISTS OBJECTS;create table OBJECTS (  ID INTEGER PRIMARY KEY "
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

// The placeholder rows with ID 1000 are inserted and deleted at once; they
// leave each AUTOINCREMENT counter at 1000, so real IDs start at 1001.
inline constexpr const char* kPrimeSequences =
    "insert into objects (ID,TYPE, PARENT_ID,PATH) values(1000, 1, 1, '1111');"
    "delete from objects where FOUND = 0;"
    "insert into ALBUMMAP (CON_ID,A_ALBUM) values (1000, '1');"
    "delete from ALBUMMAP where A_ALBUM = '1';"
    "insert into ARTISTMAP (CON_ID,A_ARTIST) values (1000, '1');"
    "delete from ARTISTMAP where A_ARTIST = '1';"
    "insert into GENREMAP (CON_ID,A_GENRE) values (1000, '1');"
    "delete from GENREMAP where A_GENRE = '1';";

// Offers every album, artist and genre to its map.
inline constexpr const char* kFillMaps =
    "insert into ALBUMMAP (A_ALBUM) select A_ALBUM from FILEDETAIL group by A_ALBUM; "
    "insert into ARTISTMAP (A_ARTIST) select A_ARTIST from FILEDETAIL group by A_ARTIST; "
    "insert into GENREMAP (A_GENRE) select A_GENRE from FILEDETAIL group by A_GENRE; ";

// The same for the detail rows with an ID of at least the bound one. When
// every older row's names are in the maps already (a full fill ran since they
// were written, and nothing was pruned), the maps come out exactly as after
// kFillMaps, without a sort of the whole table. One statement a map, since a
// prepared statement holds one.
inline constexpr const char* kFillAlbumsFrom =
    "insert into ALBUMMAP (A_ALBUM) select A_ALBUM from FILEDETAIL where ID >= ? group by A_ALBUM;";
inline constexpr const char* kFillArtistsFrom =
    "insert into ARTISTMAP (A_ARTIST) select A_ARTIST from FILEDETAIL where ID >= ? group by "
    "A_ARTIST;";
inline constexpr const char* kFillGenresFrom =
    "insert into GENREMAP (A_GENRE) select A_GENRE from FILEDETAIL where ID >= ? group by A_GENRE;";

// Drops map names no FILEDETAIL row carries.
inline constexpr const char* kPruneMaps =
    "delete from ALBUMMAP where A_ALBUM not in (select A_ALBUM from FILEDETAIL group by "
    "A_ALBUM); "
    "delete from ARTISTMAP where A_ARTIST not in (select A_ARTIST from FILEDETAIL group by "
    "A_ARTIST); "
    "delete from GENREMAP where A_GENRE not in (select A_GENRE from FILEDETAIL group by "
    "A_GENRE); ";

// Every look-up is by path; without this index each one scans OBJECTS.
// Created after the schema and at each full check, so older catalogues gain it.
inline constexpr const char* kCreatePathIndex =
    "create index if not exists IDX_PATH on OBJECTS (PATH);";

inline constexpr const char* kClearFound = " update OBJECTS set FOUND = 0; ";
inline constexpr const char* kDeleteNotFound = "delete from objects where FOUND = 0;";

// Single-row statements; the comment lists the values bound, in order.

// PATH
inline constexpr const char* kSelectIdByPath = " select ID from OBJECTS  where PATH = ?;";
// PATH
inline constexpr const char* kSelectRowByPath =
    " select ID, PARENT_ID from OBJECTS  where PATH = ?;";
// PARENT_ID, ID
inline constexpr const char* kSetParent = " update OBJECTS set PARENT_ID = ? where ID = ?;";
// ID
inline constexpr const char* kSetFound = " update OBJECTS set FOUND = 1 where ID = ?;";
// PARENT_ID, PATH, FILE_NAME (TYPE 10 is a directory)
inline constexpr const char* kInsertDirRow =
    " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, FOUND) values (10, ?, ?, ?, 1);";
// TYPE, PARENT_ID, PATH, FILE_NAME, MIME_TYPE, DETAILS, FILE_SIZE
inline constexpr const char* kInsertFileRow =
    " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, MD5, MIME_TYPE,    DETAILS, "
    "FILE_SIZE, FOUND) values (?, ?, ?, ?, 'todo', ?, ?, ?, 1);";
// ID, IV_HEIGHT, IV_WIDTH
inline constexpr const char* kInsertImageDetail =
    " insert into FILEDETAIL (ID, IV_HEIGHT, IV_WIDTH) values (?, ?, ?);";
// ID, AV_DURATION, A_ARTIST, A_ALBUM, A_GENRE, A_CHANNELS, A_SAMPLERATE,
// A_TRACK_NO (A_DESCRIPTION is always empty)
inline constexpr const char* kInsertAudioDetail =
    " insert into FILEDETAIL (ID, AV_DURATION, A_ARTIST, A_ALBUM, A_GENRE,    A_DESCRIPTION, "
    "A_CHANNELS, A_SAMPLERATE, A_TRACK_NO) values (?, ?, ?, ?, ?, '', ?, ?, ?);";
// ID, AV_BITRATE, AV_DURATION, IV_HEIGHT, IV_WIDTH
inline constexpr const char* kInsertVideoDetail =
    " insert into FILEDETAIL (ID, AV_BITRATE, AV_DURATION, IV_HEIGHT, IV_WIDTH) values (?, ?, ?, "
    "?, ?);";
// ID
inline constexpr const char* kDeleteById = " delete from OBJECTS where ID = ?;";

// The number of files in the catalogue (for the status line, not the
// contract): every file row has its detail row, and only a file has one.
inline constexpr const char* kCountFiles = "select count(*) from FILEDETAIL;";

}  // namespace CatalogSql

#endif  // OMBRIX_DATABASE_CATALOGSQL_H
