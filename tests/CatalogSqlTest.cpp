// Tests of the catalogue schema and statements, run against real files.
#include "Database/CatalogSql.h"

#include "CatalogTestSupport.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace {

using catalogtest::query;
using catalogtest::Row;
using catalogtest::value;

class CatalogSqlTest : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    ASSERT_TRUE(catalogtest::createCatalogue(catalogPath, errMsg)) << errMsg;
  }
  int64_t run(const std::string& sql) {
    int64_t id = db().execute(sql, errMsg);
    EXPECT_GE(id, 0) << errMsg << "\n" << sql;
    return id;
  }
  // Inserts a file's two rows as the cataloguer does; returns its ID.
  int64_t insertFile(int64_t parentId, const FileInfo& info) {
    Database database(catalogPath);
    EXPECT_TRUE(database.beginTransaction(errMsg)) << errMsg;
    int64_t id = database.executeInTransaction(CatalogSql::insertFileRow(parentId, info), errMsg);
    EXPECT_GE(id, 0) << errMsg;
    std::string detail = info.objType == ObjType::Audio   ? CatalogSql::insertAudioDetail(id, info)
                         : info.objType == ObjType::Video ? CatalogSql::insertVideoDetail(id, info)
                                                          : CatalogSql::insertImageDetail(id, info);
    EXPECT_EQ(id, database.executeInTransaction(detail, errMsg)) << errMsg;
    EXPECT_TRUE(database.commitTransaction(errMsg)) << errMsg;
    return id;
  }
  static FileInfo record(const std::string& path) {
    FileInfo info;
    info.fill(path);  // not analysed: these tests are about the rows, not the media
    info.details = "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0";
    return info;
  }
  std::string count(const std::string& table) {
    return value(catalogPath, "select count(*) from " + table);
  }
  Database db() { return Database(catalogPath); }

  std::string errMsg;
};

TEST_F(CatalogSqlTest, SchemaHasTablesTriggerAndIndices) {
  std::vector<Row> objects = query(catalogPath,
                                   "select type, name from sqlite_master where name not like "
                                   "'sqlite_%' order by type, name");
  std::vector<Row> expected = {{"index", "ALBINDEX"},      {"index", "ARTINDEX"},
                               {"index", "GENINDEX"},      {"index", "IDX_FILE_NAME"},
                               {"index", "IDX_PARENT_ID"}, {"table", "ALBUMMAP"},
                               {"table", "ARTISTMAP"},     {"table", "FILEDETAIL"},
                               {"table", "GENREMAP"},      {"table", "OBJECTS"},
                               {"trigger", "DELETE_ID"}};
  EXPECT_EQ(expected, objects);
}

TEST_F(CatalogSqlTest, PrimedIdsStartAt1001AndSchemaEmptiesOldCatalogue) {
  EXPECT_EQ(1001, run(CatalogSql::insertDirRow(0, "/music", "music")));
  run(" insert into FILEDETAIL (ID, A_ALBUM) values (1001, 'A');");
  run(CatalogSql::fillMaps());
  for (const char* map : {"ALBUMMAP", "ARTISTMAP", "GENREMAP"}) {
    EXPECT_EQ("1001", value(catalogPath, std::string("select min(CON_ID) from ") + map)) << map;
  }

  ASSERT_TRUE(catalogtest::createCatalogue(catalogPath, errMsg)) << errMsg;
  for (const char* table : {"OBJECTS", "FILEDETAIL", "ALBUMMAP", "ARTISTMAP", "GENREMAP"}) {
    EXPECT_EQ("0", count(table)) << table;
  }
  EXPECT_EQ("11", value(catalogPath, "select count(*) from sqlite_master where name not like "
                                     "'sqlite_%'"));
  EXPECT_EQ(1001, run(CatalogSql::insertDirRow(0, "/music", "music")));
}

TEST_F(CatalogSqlTest, DirectoryRowAndQuotedPaths) {
  int64_t id = run(CatalogSql::insertDirRow(0, "/m/Rock 'n' Roll", "Rock 'n' Roll"));
  std::vector<Row> rows = query(
      catalogPath, "select TYPE, PARENT_ID, PATH, FILE_NAME, MD5, MIME_TYPE, DETAILS, FILE_SIZE, "
                   "FOUND from OBJECTS");
  std::vector<Row> expected = {
      {"10", "0", "/m/Rock 'n' Roll", "Rock 'n' Roll", "NULL", "NULL", "NULL", "NULL", "1"}};
  EXPECT_EQ(expected, rows);
  EXPECT_EQ(id, db().queryValue(CatalogSql::selectIdByPath("/m/Rock 'n' Roll"), errMsg).value);
  EXPECT_EQ(-1, db().queryValue(CatalogSql::selectIdByPath("/m/Rock 'n' Roll/"), errMsg).value);
  EXPECT_EQ(-1, db().queryValue(CatalogSql::selectIdByPath("/m/rock 'n' roll"), errMsg).value);
}

TEST_F(CatalogSqlTest, FileRowsRoundTrip) {
  int64_t dir = run(CatalogSql::insertDirRow(0, "/m", "m"));
  FileInfo audio = record("/m/it's.mp3");  // not on disk: the defaults stay
  audio.fileSize = 5000000000LL;           // above 4 GiB
  audio.artist = "O'Neil";
  audio.waveFormat.nChannels = 65535;
  audio.waveFormat.nSamplesPerSec = 4000000000u;
  int64_t id = insertFile(dir, audio);

  std::vector<Row> objectRow =
      query(catalogPath, "select TYPE, PARENT_ID, PATH, FILE_NAME, MD5, MIME_TYPE, DETAILS, "
                         "FILE_SIZE, typeof(FILE_SIZE), FOUND from OBJECTS where ID = " +
                             std::to_string(id));
  std::vector<Row> expectedObject = {{"2", std::to_string(dir), "/m/it's.mp3", "it's.mp3", "todo",
                                      "audio/mpeg", "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0",
                                      "5000000000", "text", "1"}};
  EXPECT_EQ(expectedObject, objectRow);

  std::vector<Row> detail = query(
      catalogPath, "select AV_BITRATE, AV_DURATION, A_ALBUM, A_ARTIST, A_CHANNELS, A_DESCRIPTION, "
                   "A_GENRE, A_SAMPLERATE, A_TRACK_NO, DATE, IV_HEIGHT, SIZE, DLNA_PROFILE "
                   "from FILEDETAIL where ID = " + std::to_string(id));
  std::vector<Row> expectedDetail = {{"0", "00:00:00.000", "Unknown", "O'Neil", "65535", "",
                                      "Unknown", "4000000000", "0", "NULL", "NULL", "0", "NULL"}};
  EXPECT_EQ(expectedDetail, detail);

  FileInfo video = record("/m/v.mkv");
  video.waveFormat.nAvgBytesPerSec = 3000000000u;
  video.width = 1920;
  video.height = 1080;
  int64_t videoId = insertFile(dir, video);
  EXPECT_EQ((Row{"3000000000", "1080", "1920", "Unknown"}),
            query(catalogPath, "select AV_BITRATE, IV_HEIGHT, IV_WIDTH, A_ARTIST from FILEDETAIL "
                               "where ID = " + std::to_string(videoId))[0]);

  FileInfo image = record("/m/empty.jpg");
  int64_t imageId = insertFile(dir, image);
  EXPECT_EQ((Row{"0", "image/jpeg"}),
            query(catalogPath, "select FILE_SIZE, MIME_TYPE from OBJECTS where ID = " +
                                   std::to_string(imageId))[0]);
}

TEST_F(CatalogSqlTest, DeletingAnObjectDeletesItsDetailOnly) {
  int64_t dir = run(CatalogSql::insertDirRow(0, "/m", "m"));
  int64_t file = insertFile(dir, record("/m/a.mp3"));
  run(CatalogSql::deleteById(file));
  EXPECT_EQ("0", count("FILEDETAIL"));
  EXPECT_EQ("1", count("OBJECTS"));
  run(CatalogSql::deleteById(dir));
  EXPECT_EQ("0", count("OBJECTS"));
}

TEST_F(CatalogSqlTest, MarkAndSweepKeepsFoundRows) {
  int64_t dir = run(CatalogSql::insertDirRow(0, "/m", "m"));
  int64_t kept = insertFile(dir, record("/m/kept.mp3"));
  insertFile(dir, record("/m/gone.mp3"));
  run(CatalogSql::clearFound());
  run(CatalogSql::setFound(dir));
  run(CatalogSql::setFound(kept));
  run(CatalogSql::deleteNotFound());
  EXPECT_EQ((std::vector<Row>{{std::to_string(dir)}, {std::to_string(kept)}}),
            query(catalogPath, "select ID from OBJECTS order by ID"));
  EXPECT_EQ((std::vector<Row>{{std::to_string(kept)}}),
            query(catalogPath, "select ID from FILEDETAIL"));
}

TEST_F(CatalogSqlTest, MapsFillOnceAndPrunePerColumn) {
  int64_t dir = run(CatalogSql::insertDirRow(0, "/m", "m"));
  FileInfo first = record("/m/1.mp3");
  first.album = "Blue";
  first.artist = "Ann";
  first.genre = "Jazz";
  int64_t firstId = insertFile(dir, first);
  FileInfo second = record("/m/2.mp3");
  second.album = "Jazz";  // a name that is an album here and a genre above
  second.artist = "Bob";
  second.genre = "Pop";
  insertFile(dir, second);
  insertFile(dir, record("/m/p.png"));  // images bring "Unknown" to every map

  run(CatalogSql::fillMaps());
  std::string before = value(catalogPath, "select group_concat(A_ALBUM || CON_ID) from ALBUMMAP");
  run(CatalogSql::fillMaps());
  EXPECT_EQ(before, value(catalogPath, "select group_concat(A_ALBUM || CON_ID) from ALBUMMAP"));
  EXPECT_EQ("3", count("ALBUMMAP"));
  EXPECT_EQ("1", value(catalogPath, "select count(*) from GENREMAP where A_GENRE = 'Unknown'"));

  std::string jazzAlbumId = value(catalogPath, "select CON_ID from ALBUMMAP where A_ALBUM='Jazz'");
  run(CatalogSql::deleteById(firstId));
  run(CatalogSql::pruneMaps());
  EXPECT_EQ("", value(catalogPath, "select CON_ID from GENREMAP where A_GENRE = 'Jazz'"));
  EXPECT_EQ(jazzAlbumId, value(catalogPath, "select CON_ID from ALBUMMAP where A_ALBUM='Jazz'"));
  EXPECT_EQ("", value(catalogPath, "select CON_ID from ARTISTMAP where A_ARTIST = 'Ann'"));
  EXPECT_EQ("2", count("ARTISTMAP"));  // Bob and Unknown
}

}  // namespace
