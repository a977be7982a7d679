// Tests of the values that the appliance's 32-bit processor could cut short:
// object IDs past 2^32 and file times past January 2038. On x86-64 they pass
// trivially; they earn their keep in the i386 and s390x runs of
// scripts/cross-test.sh.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <sstream>

#include "CatalogTestSupport.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

// Every file of the project is built with these; a target where they are
// missing would report sizes only up to 2 GiB and times only up to 2038.
static_assert(sizeof(off_t) == 8, "built without _FILE_OFFSET_BITS=64");
static_assert(sizeof(time_t) == 8, "built without _TIME_BITS=64");

namespace {

using catalogtest::value;

class PortabilityTest : public TestHome {
 protected:
  std::string errMsg;
};

// An ID travels as the row ID that execute returns, as text read back by
// queryValue, and as a number written into statement texts. 5000000007 is
// above 2^32, and its low 32 bits (705032711) are a valid ID of their own, so
// a cut anywhere finds or deletes the wrong row rather than failing loudly.
TEST_F(PortabilityTest, IdsPast32BitsTravelThroughEveryStatement) {
  ASSERT_TRUE(catalogtest::createCatalogue(catalogPath, errMsg)) << errMsg;
  constexpr int64_t kBigId = 5000000007LL;
  Database db(catalogPath);
  // An explicit ID moves the AUTOINCREMENT counter on: later rows follow it.
  ASSERT_EQ(kBigId, db.execute("insert into OBJECTS (ID, TYPE, PARENT_ID, PATH, FOUND) "
                               "values (5000000007, 10, 0, '/m', 1);",
                               errMsg))
      << errMsg;
  int64_t child = db.execute(CatalogSql::insertDirRow(kBigId, "/m/a", "a"), errMsg);
  ASSERT_EQ(kBigId + 1, child) << errMsg;

  EXPECT_EQ(kBigId, db.queryValue(CatalogSql::selectIdByPath("/m"), errMsg).value);
  EXPECT_EQ("5000000007", value(catalogPath, "select PARENT_ID from OBJECTS where ID = " +
                                                 std::to_string(child)));

  FileInfo song;
  song.fill("/m/a/song.mp3");
  song.fileSize = 6000000001LL;
  ASSERT_TRUE(db.beginTransaction(errMsg)) << errMsg;
  int64_t songId = db.executeInTransaction(CatalogSql::insertFileRow(child, song), errMsg);
  ASSERT_EQ(kBigId + 2, songId) << errMsg;
  ASSERT_EQ(songId, db.executeInTransaction(CatalogSql::insertAudioDetail(songId, song), errMsg));
  ASSERT_TRUE(db.commitTransaction(errMsg)) << errMsg;
  EXPECT_EQ("6000000001", value(catalogPath, "select FILE_SIZE from OBJECTS where ID = 5000000009"));
  EXPECT_EQ("1", value(catalogPath, "select count(*) from FILEDETAIL where ID = 5000000009"));

  // Mark and sweep keeps exactly the marked row.
  ASSERT_GE(db.execute(CatalogSql::clearFound(), errMsg), 0) << errMsg;
  ASSERT_GE(db.execute(CatalogSql::setFound(child), errMsg), 0) << errMsg;
  ASSERT_GE(db.execute(CatalogSql::deleteNotFound(), errMsg), 0) << errMsg;
  EXPECT_EQ("5000000008", value(catalogPath, "select group_concat(ID) from OBJECTS"));
  EXPECT_EQ("0", value(catalogPath, "select count(*) from FILEDETAIL"));

  ASSERT_GE(db.execute(CatalogSql::deleteById(child), errMsg), 0) << errMsg;
  EXPECT_EQ("0", value(catalogPath, "select count(*) from OBJECTS"));
}

// A 32-bit time_t cannot hold these: stat would fail with EOVERFLOW and the
// record would keep its zero times.
TEST_F(PortabilityTest, FileTimesPast2038ComeThroughFillAndDump) {
  std::string path = home + "/late.mp3";
  testhome::writeFile(path, "data");
  constexpr int64_t kJustPast2038 = 2147483648LL;  // 2038-01-19 03:14:08 UTC
  constexpr int64_t kYear2100 = 4102444800LL;
  struct timespec times[2] = {{static_cast<time_t>(kYear2100), 0},
                              {static_cast<time_t>(kJustPast2038), 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));

  FileInfo info;
  info.fill(path);
  EXPECT_EQ(kYear2100, static_cast<int64_t>(info.atime));
  EXPECT_EQ(kJustPast2038, static_cast<int64_t>(info.mtime));
  EXPECT_EQ(4, info.fileSize);

  std::ostringstream out;
  info.dump(out);
  EXPECT_NE(std::string::npos, out.str().find("\natime: 4102444800\n"));
  EXPECT_NE(std::string::npos, out.str().find("\nmtime: 2147483648\n"));
}

}  // namespace
