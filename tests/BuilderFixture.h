// tests/BuilderFixture.h: a fixture for in-process tests of the
// CatalogBuilder: a service home with a library folder, a builder whose size
// watch runs on a fake clock, the log at level 6 in home/nstemp, and reads of
// the catalogue through SQLite.
//
// Media are made with ffmpeg once per suite and copied into each test's
// library, so the analysers always see real files. The tests never rely on
// what the analysers extract, only on the rows the builder writes.
#ifndef OMBRIX_TESTS_BUILDERFIXTURE_H
#define OMBRIX_TESTS_BUILDERFIXTURE_H

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CatalogTestSupport.h"
#include "Common/AppStatus.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Sync/CatalogBuilder.h"
#include "TestHome.h"

class LibraryTest : public TestHome {
 protected:
  static void SetUpTestSuite() {
    mediaDir = testhome::makeTempDir("ombrix-media");
    ASSERT_FALSE(mediaDir.empty());
    ASSERT_TRUE(testhome::ffmpeg(
        {"-f", "lavfi", "-i", "sine=d=1", "-metadata", "artist=First", mediaDir + "/song.mp3"}));
    ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "sine=d=1:f=880", "-metadata",
                                  "artist=Second", mediaDir + "/other.mp3"}));
    ASSERT_TRUE(testhome::ffmpeg(
        {"-f", "lavfi", "-i", "testsrc=s=64x48:d=1", "-frames:v", "1", mediaDir + "/photo.jpg"}));
    ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48:d=0.2", "-c:v",
                                  "mpeg1video", mediaDir + "/clip.mpg"}));
  }
  static void TearDownTestSuite() { testhome::removeTree(mediaDir); }

  void SetUp() override {
    TestHome::SetUp();
    AppStatus::getInstance().setAppExit(false);
    lib = home + "/lib";
    ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
    Logger::getInstance().setLevel(6);
    Logger::getInstance().setLogPath(home + "/nstemp/Ombrix.log");
    builder = makeBuilder({lib});
  }
  void TearDown() override {
    AppStatus::getInstance().setAppExit(false);
    Logger::getInstance().setLevel(0);
    TestHome::TearDown();
  }

  // A builder for this home whose watch clock reads "now + clockOffset" and
  // whose one-second sleep only counts and runs onSleep.
  std::unique_ptr<CatalogBuilder> makeBuilder(const std::vector<std::string>& folders) {
    auto made = std::make_unique<CatalogBuilder>(home, OMBRIX_BINARY_DIR "/ombrix-analyze");
    for (const std::string& folder : folders) made->addSharedPath(folder);
    made->fileCataloguer().watchSet().setClock(
        WatchClock{[this] { return time(nullptr) + clockOffset; }, [this] { return fakeMs; },
                   [this](int64_t ms) {
                     fakeMs += ms;
                     ++sleeps;
                     if (onSleep) onSleep(sleeps);
                   }});
    return made;
  }

  // Copies a suite medium (song.mp3, other.mp3, photo.jpg, clip.mpg) to path.
  static void copyMedia(const std::string& name, const std::string& path) {
    ASSERT_EQ(testhome::runProgram({"cp", mediaDir + "/" + name, path}), 0) << path;
  }

  std::vector<catalogtest::Row> rows(const std::string& sql) const {
    return catalogtest::query(catalogPath, sql);
  }
  std::string value(const std::string& sql) const { return catalogtest::value(catalogPath, sql); }
  // The ID of path's row, "" when it has none.
  std::string idOf(const std::string& path) const {
    return value("select ID from OBJECTS where PATH = '" + Util::escapeQuote(path) + "'");
  }
  std::string parentOf(const std::string& path) const {
    return value("select PARENT_ID from OBJECTS where PATH = '" + Util::escapeQuote(path) + "'");
  }
  size_t rowCount(const std::string& table) const {
    return std::stoul(value("select count(*) from " + table));
  }

  // Checks every album, artist and genre map against FILEDETAIL, whatever
  // the analysers found.
  void expectMapsMatchDetails() const {
    const char* const pairs[][2] = {
        {"ALBUMMAP", "A_ALBUM"}, {"ARTISTMAP", "A_ARTIST"}, {"GENREMAP", "A_GENRE"}};
    for (const auto& pair : pairs) {
      SCOPED_TRACE(pair[0]);
      const std::string column = pair[1];
      EXPECT_EQ(rows("select " + column + " from " + pair[0] + " order by 1"),
                rows("select " + column + " from FILEDETAIL group by 1 order by 1"));
    }
  }

  std::string log() const { return testhome::readFile(home + "/nstemp/Ombrix.log"); }

  // Each log record as the log contract writes it.
  static std::string record(const char* source, int line, const std::string& message) {
    return std::string("[") + source + "].[" + std::to_string(line) + "]\n  " + message + "\n";
  }

  inline static std::string mediaDir;
  std::string lib;
  std::unique_ptr<CatalogBuilder> builder;
  // Fresh files are older than every watch window unless a test says otherwise.
  time_t clockOffset = 3600;
  int sleeps = 0;
  int64_t fakeMs = 0;
  std::function<void(int)> onSleep;
};

// A library with the diff tool in the service home, as on the appliance, and
// a start-up that lays the first snapshot and builds the catalogue.
class ServiceTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
  }
  void startService() {
    builder->clearSnapshots();
    ASSERT_FALSE(builder->isChanged());
    builder->buildDatabase();
  }
};

#endif  // OMBRIX_TESTS_BUILDERFIXTURE_H
