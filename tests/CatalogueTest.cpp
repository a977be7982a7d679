// tests/CatalogueTest.cpp: the statement texts against the catalogue
// contract, and the connection wrapper's transactions, write groups, look-ups
// and lock handling on a real catalogue file. What the contract's texts do
// to the tables is SQLite's business; the synchroniser's tests look at the
// rows they leave.
#include <chrono>
#include <optional>

#include "Database/CatalogSql.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace {

// An ID past 2^32 whose low 32 bits are an ID of their own: a cut anywhere
// on a 32-bit target finds or deletes the wrong row instead of failing.
constexpr int64_t kBigId = 5000000007LL;

// A record with values that show a swapped, narrowed or sign-changed field.
FileInfo fileRecord(const std::string& path, ObjType type = ObjType::Audio) {
  FileInfo info;
  info.fill(path);
  info.objType = type, info.fileSize = 5000000000LL, info.duration = "00:00:02.000";
  info.details = "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0";
  info.artist = "O'Neil", info.album = "A", info.genre = "G", info.trackNo = 7;
  info.waveFormat.nChannels = 65535, info.waveFormat.nSamplesPerSec = 4000000000u;
  info.waveFormat.nAvgBytesPerSec = 3000000000u, info.width = 1920, info.height = 1080;
  return info;
}

TEST(CatalogSqlTest, StatementTextsAreTheContractsByteForByte) {
  const FileInfo info = fileRecord("/m/it's.mp3");
  const std::pair<std::string, std::string> cases[] = {
      {CatalogSql::createSchema(),
       "DROP TABLE IF EXISTS OBJECTS;create table OBJECTS (  ID INTEGER PRIMARY KEY AUTOINCREMENT "
       "DEFAULT 100,  PARENT_ID INTEGER NOT NULL DEFAULT 0,  TYPE INTEGER NOT NULL,  PATH TEXT NOT "
       "NULL,  FILE_NAME TEXT DEFAULT NULL,  MD5 TEXT DEFAULT NULL,  MIME_TYPE TEXT DEFAULT NULL,  "
       "DETAILS TEXT DEFAULT NULL,  FILE_SIZE TEXT DEFAULT NULL,  FOUND INTEGER NOT NULL DEFAULT "
       "0);"
       "DROP TABLE IF EXISTS FILEDETAIL;create table FILEDETAIL (  ID INTEGER PRIMARY KEY,  "
       "AV_BITRATE INTEGER DEFAULT 0,   AV_DURATION TEXT,   A_ALBUM TEXT DEFAULT 'Unknown',   "
       "A_ARTIST TEXT DEFAULT 'Unknown',   A_CHANNELS INTEGER,   A_DESCRIPTION TEXT,   A_GENRE "
       "TEXT "
       "DEFAULT 'Unknown',   A_SAMPLERATE INTEGER,   A_TRACK_NO INTEGER,   DATE TEXT,   IV_HEIGHT "
       "INTEGER,   IV_WIDTH INTEGER,   A_CODEC,   V_CODEC,   SIZE INTEGER DEFAULT 0,   "
       "DLNA_PROFILE TEXT DEFAULT NULL);DROP TABLE IF EXISTS ALBUMMAP;create table ALBUMMAP (  "
       "CON_ID INTEGER PRIMARY KEY AUTOINCREMENT DEFAULT 1000,   A_ALBUM TEXT, UNIQUE(A_ALBUM) on "
       "CONFLICT IGNORE);DROP TABLE IF EXISTS ARTISTMAP;create table ARTISTMAP (  CON_ID INTEGER "
       "PRIMARY KEY AUTOINCREMENT DEFAULT 1000,   A_ARTIST TEXT, UNIQUE(A_ARTIST) on CONFLICT "
       "IGNORE);DROP TABLE IF EXISTS GENREMAP;create table GENREMAP (  CON_ID INTEGER PRIMARY KEY "
       "AUTOINCREMENT DEFAULT 1000,   A_GENRE TEXT, UNIQUE(A_GENRE) on CONFLICT IGNORE);create "
       "trigger DELETE_ID AFTER DELETE on OBJECTS   begin     DELETE FROM FILEDETAIL WHERE "
       "FILEDETAIL.ID=OLD.ID;   end;create index if not exists IDX_FILE_NAME on OBJECTS "
       "(FILE_NAME);create index if not exists IDX_PARENT_ID on OBJECTS (PARENT_ID);create index "
       "if not exists ALBINDEX on ALBUMMAP (A_ALBUM);create index if not exists ARTINDEX on "
       "ARTISTMAP (A_ARTIST);create index if not exists GENINDEX on GENREMAP (A_GENRE);"},
      {CatalogSql::primeSequences(),
       "insert into objects (ID,TYPE, PARENT_ID,PATH) values(1000, 1, 1, '1111');delete from "
       "objects where FOUND = 0;insert into ALBUMMAP (CON_ID,A_ALBUM) values (1000, '1');delete "
       "from ALBUMMAP where A_ALBUM = '1';insert into ARTISTMAP (CON_ID,A_ARTIST) values (1000, "
       "'1');delete from ARTISTMAP where A_ARTIST = '1';insert into GENREMAP (CON_ID,A_GENRE) "
       "values (1000, '1');delete from GENREMAP where A_GENRE = '1';"},
      {CatalogSql::fillMaps(),
       "insert into ALBUMMAP (A_ALBUM) select A_ALBUM from FILEDETAIL group by A_ALBUM; insert "
       "into ARTISTMAP (A_ARTIST) select A_ARTIST from FILEDETAIL group by A_ARTIST; insert into "
       "GENREMAP (A_GENRE) select A_GENRE from FILEDETAIL group by A_GENRE; "},
      {CatalogSql::pruneMaps(),
       "delete from ALBUMMAP where A_ALBUM not in (select A_ALBUM from FILEDETAIL group by "
       "A_ALBUM); delete from ARTISTMAP where A_ARTIST not in (select A_ARTIST from FILEDETAIL "
       "group by A_ARTIST); delete from GENREMAP where A_GENRE not in (select A_GENRE from "
       "FILEDETAIL group by A_GENRE); "},
      {CatalogSql::selectIdByPath("/m/it's.mp3"),
       " select ID from OBJECTS  where PATH = '/m/it''s.mp3';"},
      {CatalogSql::clearFound(), " update OBJECTS set FOUND = 0; "},
      {CatalogSql::setFound(kBigId), " update OBJECTS set FOUND = 1 where ID = 5000000007;"},
      {CatalogSql::insertDirRow(kBigId, "/m/Rock 'n' Roll", "Rock 'n' Roll"),
       " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, FOUND) values (10, 5000000007, "
       "'/m/Rock ''n'' Roll', 'Rock ''n'' Roll', 1);"},
      {CatalogSql::insertFileRow(kBigId, info),
       " insert into OBJECTS (TYPE, PARENT_ID, PATH, FILE_NAME, MD5, MIME_TYPE,    DETAILS, "
       "FILE_SIZE, FOUND) values (2, 5000000007, '/m/it''s.mp3', 'it''s.mp3', 'todo', "
       "'audio/mpeg', 'DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0', '5000000000', 1);"},
      {CatalogSql::insertImageDetail(kBigId, info),
       " insert into FILEDETAIL (ID, IV_HEIGHT, IV_WIDTH) values (5000000007, 1080, 1920);"},
      {CatalogSql::insertAudioDetail(kBigId, info),
       " insert into FILEDETAIL (ID, AV_DURATION, A_ARTIST, A_ALBUM, A_GENRE,    A_DESCRIPTION, "
       "A_CHANNELS, A_SAMPLERATE, A_TRACK_NO) values (5000000007, '00:00:02.000', 'O''Neil', 'A', "
       "'G', '', 65535, 4000000000, 7);"},
      {CatalogSql::insertVideoDetail(kBigId, info),
       " insert into FILEDETAIL (ID, AV_BITRATE, AV_DURATION, IV_HEIGHT, IV_WIDTH) values "
       "(5000000007, 3000000000, '00:00:02.000', 1080, 1920);"},
      {CatalogSql::deleteNotFound(), "delete from objects where FOUND = 0;"},
      {CatalogSql::deleteById(kBigId), " delete from OBJECTS where ID = 5000000007;"}};
  for (const auto& [built, contract] : cases) EXPECT_EQ(contract, built);
}

// A fresh catalogue, made by the schema and priming scripts.
class CatalogueTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    db.emplace(dbPath);
    ASSERT_GE(db->execute(CatalogSql::createSchema() + CatalogSql::primeSequences(), errMsg), 0);
  }
  int64_t run(const std::string& sql) {
    int64_t id = db->execute(sql, errMsg);
    EXPECT_GE(id, 0) << errMsg << "\n" << sql;
    return id;
  }
  // Writes a song's two rows in one transaction, as the cataloguer does;
  // extra runs first in that transaction.
  int64_t insertFile(const FileInfo& info, const std::string& extra = "") {
    if (!db->beginTransaction(errMsg)) return -1;
    int64_t id = db->executeInTransaction(CatalogSql::insertFileRow(1001, info), errMsg);
    if (id < 0 ||
        db->executeInTransaction(extra + CatalogSql::insertAudioDetail(id, info), errMsg) != id)
      return -1;
    return db->commitTransaction(errMsg) ? id : -1;
  }
  std::optional<Database> db;
  std::string errMsg;
};

TEST_F(CatalogueTest, IdsPast32BitsTravelThroughExecuteAndQuery) {
  ASSERT_EQ(kBigId, run("insert into OBJECTS (ID, TYPE, PATH) values (5000000007, 10, '/m');"));
  EXPECT_EQ(kBigId + 1, run(CatalogSql::insertDirRow(kBigId, "/m/a", "a")));
  EXPECT_EQ(kBigId, db->queryValue(CatalogSql::selectIdByPath("/m"), errMsg).value);
  EXPECT_EQ(value("select PARENT_ID from OBJECTS where PATH = '/m/a'"), "5000000007");
}

TEST_F(CatalogueTest, FailuresLeaveNothingAndSayWhy) {
  EXPECT_EQ(0, run(CatalogSql::clearFound()));  // no row inserted
  EXPECT_EQ(-1, db->execute(CatalogSql::insertDirRow(0, "/m", "m") + "insert into NOPE;", errMsg));
  EXPECT_EQ(-1, insertFile(fileRecord("/m/a.mp3"), "insert into NOPE values (1);"));
  EXPECT_EQ("no such table: NOPE", errMsg);
  EXPECT_FALSE(db->commitTransaction(errMsg));  // the failure ended the transaction
  EXPECT_EQ(value("select count(*) from OBJECTS"), "0");

  run(CatalogSql::insertDirRow(0, "17abc", "x"));
  EXPECT_EQ(17, db->queryValue("select PATH from OBJECTS;", errMsg).value);  // as atoll reads it
  errMsg = "untouched";
  EXPECT_FALSE(db->queryValue(CatalogSql::selectIdByPath("/none"), errMsg).isFound());
  EXPECT_EQ("untouched", errMsg);
  EXPECT_TRUE(db->queryValue("select from where;", errMsg).isFailed());
  EXPECT_NE(errMsg.find("syntax error"), std::string::npos) << errMsg;

  Database missing(home + "/no/such/dir/daskor.db");
  EXPECT_EQ(-1, missing.execute(CatalogSql::clearFound(), errMsg));
  EXPECT_EQ("unable to open database file", errMsg);
  EXPECT_FALSE(missing.beginTransaction(errMsg));
  EXPECT_TRUE(missing.queryValue(CatalogSql::clearFound(), errMsg).isFailed());  // not logged
  EXPECT_EQ(test::record("Database/Database", 49, "db error at exec\n") +
                test::record("Database/Database", 97, "db error at exec\n") +
                test::record("Database/Database", 148, "nTrys > 2\n") +
                test::record("Database/Database", 32, "db error at open\n") +
                test::record("Database/Database", 74, "db error at open\n"),
            log());
}

// The media server may hold the catalogue's lock: a write waits the busy
// timeout for it, then gives up. SQLite waits at least the full 1000 ms
// before that; load can only lengthen the wait, so the bound holds anywhere.
TEST_F(CatalogueTest, LockHeldElsewhereIsWaitedForThenReported) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
  SqliteHandle locker(raw);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(-1, db->execute(CatalogSql::clearFound(), errMsg));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
  EXPECT_EQ("database is locked", errMsg);
  locker.reset();
  EXPECT_EQ(0, db->execute(CatalogSql::clearFound(), errMsg));
}

// Inside a write group each file's rows sit in a savepoint of their own: a
// file whose detail row fails leaves nothing of itself and takes nothing of
// the others along. What waits for the commit runs once the rows are durable
// (another connection sees them then), and never when the commit fails.
TEST_F(CatalogueTest, WriteGroupUndoesOneFileAndReportsOnlyAfterItsCommit) {
  std::vector<std::string> seen;
  auto write = [&](const std::string& path, const std::string& extra = "") {
    if (insertFile(fileRecord(path), extra) < 0) return;
    db->afterCommit([&, path] { seen.push_back(idOf(path)); });
  };
  ASSERT_TRUE(db->beginGroup(errMsg)) << errMsg;
  write("/m/a.mp3");
  write("/m/b.mp3", "insert into NOPE values (1);");
  EXPECT_EQ(-1,
            db->execute(CatalogSql::insertDirRow(0, "/m/d", "d") + "insert into NOPE;", errMsg));
  write("/m/c.mp3");
  EXPECT_EQ(seen, std::vector<std::string>{});
  ASSERT_TRUE(db->commitGroup(errMsg)) << errMsg;
  EXPECT_EQ(seen, (std::vector<std::string>{idOf("/m/a.mp3"), idOf("/m/c.mp3")}));
  EXPECT_EQ(table("select PATH, d.ID is not null from OBJECTS o left join FILEDETAIL d using (ID)"),
            "/m/a.mp3|1\n/m/c.mp3|1\n");

  // A reader in a transaction keeps COMMIT out past the busy timeout.
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
  SqliteHandle reader(raw);
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(raw, "BEGIN; select 1 from OBJECTS;", nullptr, nullptr, nullptr));
  ASSERT_TRUE(db->beginGroup(errMsg));
  write("/m/e.mp3");
  EXPECT_FALSE(db->commitGroup(errMsg));
  reader.reset();
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(idOf("/m/e.mp3"), "");
}

}  // namespace
