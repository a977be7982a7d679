// tests/CatalogueTest.cpp: the catalogue layer on a real catalogue file: what
// its statements store (the contract's values, whatever a name or a tag
// holds), transactions and write groups, look-ups that fail, and a lock
// another process holds.
#include <chrono>
#include <optional>
#include <thread>

#include "Common/TestSeams.h"
#include "Database/Catalog.h"
#include "Database/CatalogSql.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace {

using test::count;
using test::record;

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

// A fresh catalogue, made by the schema and priming scripts.
class CatalogueTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    catalog.emplace(dbPath);
    ASSERT_TRUE(catalog->createSchema().isOk());
    ASSERT_TRUE(catalog->primeSequences().isOk());
  }
  void TearDown() override {
    catalog.reset();
    TestHome::TearDown();
  }
  // A second connection that reads in a transaction until the catalogue's
  // COMMIT has waited for it once: a media server browsing a big folder.
  std::thread slowReader() {
    sqlite3* raw = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
    EXPECT_EQ(SQLITE_OK,
              sqlite3_exec(raw, "BEGIN; select 1 from OBJECTS;", nullptr, nullptr, nullptr));
    return std::thread([this, raw] {
      EXPECT_TRUE(test::waitFor([this] { return logHas("db busy at commit, retrying"); }));
      sqlite3_close(raw);
    });
  }
  std::optional<Catalog> catalog;
};

// What the media server reads: the schema as the contract writes it, and
// every value of a row as the catalogue has always stored it (FILE_SIZE as
// text, MD5 'todo', A_DESCRIPTION ''), whatever quotes and statement ends
// the values hold.
TEST_F(CatalogueTest, RowsHoldTheContractsValuesWhateverTheTextsHold) {
  ASSERT_TRUE(catalog->createPathIndex().isOk());
  EXPECT_EQ(value("select sql from sqlite_master where name = 'ALBUMMAP'"),
            "CREATE TABLE ALBUMMAP (  CON_ID INTEGER PRIMARY KEY AUTOINCREMENT DEFAULT 1000,   "
            "A_ALBUM TEXT, UNIQUE(A_ALBUM) on CONFLICT IGNORE)");
  EXPECT_EQ(value("select group_concat(name) from (select name from sqlite_master where type = "
                  "'index' and name not like 'sqlite%' order by name)"),
            "ALBINDEX,ARTINDEX,GENINDEX,IDX_FILE_NAME,IDX_PARENT_ID,IDX_PATH");
  const std::string evil = "x'); DELETE FROM OBJECTS; --";
  IdResult dir = catalog->insertDirRow(0, "/m/" + evil, evil);
  ASSERT_TRUE(dir.isOk()) << dir.status.message;
  EXPECT_EQ(dir.id, 1001);
  FileInfo song = fileRecord("/m/" + evil + "/it's.mp3");
  song.album = evil, song.mimeType = "audio/mpeg'; DROP TABLE OBJECTS; --";
  FileInfo photo = fileRecord("/m/p.jpg", ObjType::Image);
  FileInfo film = fileRecord("/m/v.mpg", ObjType::Video);
  for (const FileInfo* info : {&song, &photo, &film}) {
    ASSERT_TRUE(catalog->insertFile(dir.id, *info).isOk()) << info->fullPathName;
  }
  EXPECT_EQ(table("select ID, PARENT_ID, TYPE, PATH, FILE_NAME, MD5, MIME_TYPE, DETAILS, "
                  "typeof(FILE_SIZE), FILE_SIZE, FOUND from OBJECTS"),
            "1001|0|10|/m/" + evil + "|" + evil + "|NULL|NULL|NULL|null|NULL|1\n" +
                "1002|1001|2|/m/" + evil + "/it's.mp3|it's.mp3|todo|" + song.mimeType + "|" +
                song.details + "|text|5000000000|1\n" + "1003|1001|1|/m/p.jpg|p.jpg|todo|" +
                photo.mimeType + "|" + photo.details + "|text|5000000000|1\n" +
                "1004|1001|3|/m/v.mpg|v.mpg|todo|" + film.mimeType + "|" + film.details +
                "|text|5000000000|1\n");
  EXPECT_EQ(table("select * from FILEDETAIL"),
            "1002|0|00:00:02.000|" + evil +
                "|O'Neil|65535||G|4000000000|7|NULL|NULL|NULL|NULL|NULL|0|NULL\n"
                "1003|0|NULL|Unknown|Unknown|NULL|NULL|Unknown|NULL|NULL|NULL|1080|1920|NULL|NULL|"
                "0|NULL\n"
                "1004|3000000000|00:00:02.000|Unknown|Unknown|NULL|NULL|Unknown|NULL|NULL|NULL|"
                "1080|1920|NULL|NULL|0|NULL\n");
  EXPECT_EQ(table("select typeof(A_CHANNELS), typeof(A_DESCRIPTION) from FILEDETAIL where ID = "
                  "1002"),
            "integer|text\n");
  ASSERT_TRUE(catalog->fillMaps().isOk());
  EXPECT_EQ(table("select A_ALBUM from ALBUMMAP order by 1"), "Unknown\n" + evil + "\n");
  ASSERT_TRUE(catalog->deleteById(1003).isOk());
  ASSERT_TRUE(catalog->pruneMaps().isOk());
  EXPECT_EQ(value("select count(*) from FILEDETAIL"), "2");  // the trigger took the detail
  EXPECT_EQ(table("select CON_ID, A_ALBUM from ALBUMMAP"), "1001|Unknown\n1002|" + evil + "\n");
  EXPECT_EQ(table("select A_GENRE from GENREMAP union all select A_ARTIST from ARTISTMAP"),
            "G\nUnknown\nO'Neil\nUnknown\n");
}

TEST_F(CatalogueTest, IdsPast32BitsTravelThroughEveryStatement) {
  ASSERT_TRUE(Database(dbPath)
                  .runScript("insert into OBJECTS (ID, TYPE, PATH) values (5000000007, 10, '/m');")
                  .isOk());
  EXPECT_EQ(kBigId + 1, catalog->insertDirRow(kBigId, "/m/a", "a").id);
  EXPECT_EQ(kBigId, catalog->findId("/m").id);
  EXPECT_EQ(value("select PARENT_ID from OBJECTS where PATH = '/m/a'"), "5000000007");
  ASSERT_TRUE(catalog->clearFound().isOk());
  ASSERT_TRUE(catalog->setFound(kBigId).isOk());
  ASSERT_TRUE(catalog->deleteNotFound().isOk());
  EXPECT_EQ(table("select ID from OBJECTS"), "5000000007\n");
  ASSERT_TRUE(catalog->deleteById(kBigId).isOk());
  EXPECT_EQ(value("select count(*) from OBJECTS"), "0");
}

// A failure leaves nothing of the operation, says why, and is never a
// missing row: a look-up that could not run is an error, not NotFound.
TEST_F(CatalogueTest, FailuresLeaveNothingAndSayWhy) {
  Database db(dbPath);
  Status failed = db.runScript(
      "insert into OBJECTS (TYPE, PATH) values (10, '/m');"
      "insert into NOPE values (1);");
  EXPECT_EQ(failed.code, Status::Code::Failed);
  EXPECT_EQ(failed.message, "no such table: NOPE");
  ASSERT_TRUE(db.runScript("create trigger NO_DETAIL before insert on FILEDETAIL begin select "
                           "raise(abort, 'refused'); end;")
                  .isOk());
  IdResult file = catalog->insertFile(1001, fileRecord("/m/a.mp3"));
  EXPECT_EQ(file.status.message, "refused");
  EXPECT_EQ(value("select count(*) from OBJECTS"), "0");
  EXPECT_TRUE(catalog->findId("/none").status.isNotFound());
  EXPECT_EQ(db.queryId("select from where;", {}).status.code, Status::Code::Failed);

  Catalog missing(home + "/no/such/dir/daskor.db");
  EXPECT_EQ(missing.findId("/m").status.message, "unable to open database file");  // not logged
  EXPECT_EQ(missing.clearFound().message, "unable to open database file");
  EXPECT_TRUE(missing.insertFile(0, fileRecord("/m/a.mp3")).status.isError());
  EXPECT_EQ(log(), record("Database/Database", 49, "db error at exec\n") +
                       record("Database/Database", 97, "db error at exec\n") +
                       record("Ombrix", 395, "Insert file error: refused\n") +
                       record("Database/Database", 148, "nTrys > 2\n") +
                       record("Database/Database", 32, "db error at open\n") +
                       record("Database/Database", 74, "db error at open\n") +
                       record("Ombrix", 371,
                              "begin transaction fail: unable to open database "
                              "file\n"));
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
  Status status = catalog->clearFound();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
  EXPECT_EQ(status.code, Status::Code::Busy);
  EXPECT_EQ(status.message, "database is locked");
  locker.reset();
  EXPECT_TRUE(catalog->clearFound().isOk());
}

// Inside a write group each file's rows sit in a savepoint of their own: a
// file whose detail row fails leaves nothing of itself and takes nothing of
// the others along. What waits for the commit runs once the rows are durable
// (another connection sees them then). A reader that holds its transaction
// past the busy timeout only delays the commit: it is tried again.
TEST_F(CatalogueTest, WriteGroupUndoesOneFileAndWaitsForReaders) {
  std::vector<std::string> seen;
  auto write = [&](const std::string& path) {
    if (!catalog->insertFile(1001, fileRecord(path)).isOk()) return;
    catalog->afterCommit([&, path] { seen.push_back(idOf(path)); });
  };
  ASSERT_TRUE(Database(dbPath)
                  .runScript("create trigger NO_VIDEO before insert on FILEDETAIL when "
                             "NEW.AV_BITRATE > 0 begin select raise(abort, 'refused'); end;")
                  .isOk());
  ASSERT_TRUE(catalog->beginGroup().isOk());
  write("/m/a.mp3");
  FileInfo film = fileRecord("/m/b.mpg", ObjType::Video);
  EXPECT_FALSE(catalog->insertFile(1001, film).isOk());
  write("/m/c.mp3");
  EXPECT_EQ(seen, std::vector<std::string>{});
  std::thread reader = slowReader();
  ASSERT_TRUE(catalog->commitGroup().isOk());
  reader.join();
  EXPECT_EQ(seen, (std::vector<std::string>{idOf("/m/a.mp3"), idOf("/m/c.mp3")}));
  EXPECT_EQ(table("select PATH, d.ID is not null from OBJECTS o left join FILEDETAIL d using (ID)"),
            "/m/a.mp3|1\n/m/c.mp3|1\n");
  EXPECT_GE(count(log(), "db busy at commit, retrying"), 1u);
  EXPECT_FALSE(logHas("db error at commit"));
}

// A group that cannot land leaves nothing in the file; what waited for its
// commit never runs, what waited for its loss does, and SQLite hands its
// IDs out again, which is why nobody may keep them.
TEST_F(CatalogueTest, GroupThatCannotLandIsReportedAndItsIdsComeBack) {
  bool isLost = false, isReported = false;
  ASSERT_TRUE(catalog->beginGroup().isOk());
  IdResult dir = catalog->insertDirRow(0, "/m", "m");
  catalog->afterCommit([&] { isReported = true; });
  catalog->afterDiscard([&] { isLost = true; });
  TestSeams::failAt(TestSeams::Fault::CommitBusy, 1, Database::kCommitTries);
  EXPECT_EQ(catalog->commitGroup().code, Status::Code::Busy);
  EXPECT_TRUE(isLost);
  EXPECT_FALSE(isReported);
  EXPECT_EQ(count(log(), "db busy at commit, retrying"), size_t{Database::kCommitTries - 1});
  EXPECT_EQ(count(log(), "db error at commit"), 1u);
  EXPECT_EQ(value("select count(*) from OBJECTS"), "0");
  EXPECT_EQ(catalog->insertDirRow(0, "/n", "n").id, dir.id);
  // The exit flag ends the retries at once.
  ASSERT_TRUE(catalog->beginGroup().isOk());
  catalog->insertDirRow(0, "/o", "o");
  TestSeams::failAt(TestSeams::Fault::CommitBusy, 1, 1000);
  AppStatus::getInstance().setAppExit(true);
  EXPECT_FALSE(catalog->commitGroup().isOk());
  EXPECT_EQ(count(log(), "db busy at commit, retrying"), size_t{Database::kCommitTries - 1});
}

}  // namespace
