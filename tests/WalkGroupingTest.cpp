// tests/WalkGroupingTest.cpp: the walk writes rows in groups and refills the
// maps from the newest rows only; the catalogue must come out exactly as a
// walk that wrote and refilled after every row and directory would leave it.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "BuilderFixture.h"

namespace {

class WalkGroupingTest : public LibraryTest {
 protected:
  static void SetUpTestSuite() {
    LibraryTest::SetUpTestSuite();
    // Albums whose sorted order differs from any likely walk order.
    for (const char* album : {"Zeta", "Alpha", "Mid", "Beta", "Omega"}) {
      ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "sine=d=0.2", "-metadata",
                                    std::string("album=") + album, "-metadata",
                                    std::string("genre=G") + album,
                                    mediaDir + "/" + album + ".mp3"}));
    }
  }
};

// The container IDs a fill after every directory hands out: each
// directory's fill (when its walk ends, after everything below it) offers
// the rows written since the previous fill, new names in sorted order.
std::map<std::string, int64_t> expectedMap(const std::vector<catalogtest::Row>& objects,
                                           const std::vector<catalogtest::Row>& details) {
  std::map<int64_t, int64_t> parentOf;
  std::set<int64_t> directories;
  for (const catalogtest::Row& row : objects) {
    parentOf[std::stoll(row[0])] = std::stoll(row[1]);
    if (row[2] == "10") directories.insert(std::stoll(row[0]));
  }
  // A directory's fill comes after the newest row of its subtree.
  std::map<int64_t, int64_t> subtreeMax;
  for (const auto& [id, parent] : parentOf) {
    for (int64_t at = id; at != 0 && parentOf.count(at); at = parentOf[at]) {
      if (directories.count(at)) subtreeMax[at] = std::max(subtreeMax[at], id);
    }
  }
  std::set<int64_t> fillPoints;
  for (const auto& [dir, maxId] : subtreeMax) fillPoints.insert(maxId);

  std::map<std::string, int64_t> conIds;
  int64_t next = 1001;
  std::set<std::string> batch;
  auto fill = [&] {
    for (const std::string& name : batch) {
      if (!conIds.count(name)) conIds[name] = next++;
    }
    batch.clear();
  };
  for (const catalogtest::Row& row : details) {  // in ID order
    batch.insert(row[1]);
    int64_t id = std::stoll(row[0]);
    if (fillPoints.count(id)) fill();
  }
  fill();
  return conIds;
}

TEST_F(WalkGroupingTest, IdsAndContainerIdsAreThoseOfARowByRowWalk) {
  const char* dirs[] = {"/b", "/a", "/a/deep", "/c"};
  for (const char* dir : dirs) ASSERT_EQ(mkdir((lib + dir).c_str(), 0755), 0);
  copyMedia("Zeta.mp3", lib + "/b/1.mp3");
  copyMedia("Alpha.mp3", lib + "/b/2.mp3");
  copyMedia("Mid.mp3", lib + "/a/deep/3.mp3");
  copyMedia("Beta.mp3", lib + "/a/4.mp3");
  copyMedia("Omega.mp3", lib + "/c/5.mp3");
  copyMedia("Alpha.mp3", lib + "/6.mp3");
  copyMedia("photo.jpg", lib + "/a/7.jpg");
  builder->buildDatabase();

  std::vector<catalogtest::Row> objects = rows("select ID, PARENT_ID, TYPE from OBJECTS order by ID");
  ASSERT_EQ(objects.size(), 12u);  // the folder, four directories, seven files
  // IDs are handed out in walk order without gaps: no row was written twice
  // or given up.
  for (size_t i = 0; i < objects.size(); ++i) EXPECT_EQ(objects[i][0], std::to_string(1001 + i));
  // Every row's parent was written before it.
  for (const catalogtest::Row& row : objects) {
    if (row[1] != "0") {
      EXPECT_LT(std::stoll(row[1]), std::stoll(row[0])) << row[0];
    }
  }

  for (const char* column : {"A_ALBUM", "A_GENRE"}) {
    SCOPED_TRACE(column);
    std::string map = std::string(column) == "A_ALBUM" ? "ALBUMMAP" : "GENREMAP";
    std::map<std::string, int64_t> expected =
        expectedMap(objects, rows(std::string("select ID, ") + column + " from FILEDETAIL order by ID"));
    std::map<std::string, int64_t> actual;
    for (const catalogtest::Row& row : rows("select " + std::string(column) + ", CON_ID from " + map)) {
      actual[row[0]] = std::stoll(row[1]);
    }
    EXPECT_EQ(expected, actual);
  }

  // A restart's check leaves everything in place and writes nothing new.
  std::string before = value("select group_concat(ID || PATH || FOUND) from OBJECTS");
  builder->checkDatabase();
  EXPECT_EQ(before, value("select group_concat(ID || PATH || FOUND) from OBJECTS"));
  expectMapsMatchDetails();
}

}  // namespace
