// tests/FaultSupport.h: the real Ombrix binary under faults, and the check
// that a catalogue matches its folders.
//
// The daemon runs with its clock two hours ahead (libfaketime; file times
// stay real), so files made by a test count as settled and skip the size
// watch: a fault test that waited two seconds per fresh file would spend its
// time watching. Each service cycle still sleeps the real 15 seconds, so the
// tests wait for log records rather than for fixed times wherever they can.
#ifndef OMBRIX_TESTS_FAULTSUPPORT_H
#define OMBRIX_TESTS_FAULTSUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CatalogTestSupport.h"
#include "DaemonRunner.h"
#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/MediaTypes.h"
#include "TestHome.h"


namespace fault {

using daemontest::Daemon;
using daemontest::Launch;
using daemontest::waitForText;

using catalogtest::count;

// Each log record as the log contract writes it.
inline std::string record(const char* source, int line, const std::string& message) {
  return std::string("[") + source + "].[" + std::to_string(line) + "]\n  " + message + "\n";
}

inline bool isCataloguedKind(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  ObjType type = lookupObjType(name.substr(dot + 1));
  return type == ObjType::Image || type == ObjType::Audio || type == ObjType::Video;
}

// The paths the catalogue should hold for folder and everything below it, as
// the walk sees them: the folder, every directory and every file of a
// catalogued kind, hidden names left out. Paths too long to open are left out
// too, as the walk cannot enter them either.
inline void addExpectedPaths(const std::string& folder, std::set<std::string>& paths) {
  paths.insert(folder);
  DirHandle dir(opendir(folder.c_str()));
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    std::string path = folder + "/" + entry->d_name;
    struct stat status;
    if (stat(path.c_str(), &status) != 0) continue;
    if (S_ISDIR(status.st_mode)) {
      addExpectedPaths(path, paths);
    } else if (S_ISREG(status.st_mode) && isCataloguedKind(entry->d_name)) {
      paths.insert(path);
    }
  }
}

// Everything that makes a catalogue differ from the folders: paths missing or
// extra, a path with two rows, a file row without details or the other way
// round, a row whose parent is not the row of its directory. Empty when the
// catalogue equals the folders.
inline std::vector<std::string> catalogueFaults(const std::string& dbPath,
                                                const std::vector<std::string>& folders) {
  std::set<std::string> expected;
  for (const std::string& folder : folders) addExpectedPaths(folder, expected);
  std::set<std::string> actual;
  for (const catalogtest::Row& row : catalogtest::query(dbPath, "select PATH from OBJECTS")) {
    actual.insert(row[0]);
  }
  std::vector<std::string> faults;
  for (const std::string& path : expected) {
    if (actual.count(path) == 0) faults.push_back("missing: " + path);
  }
  for (const std::string& path : actual) {
    if (expected.count(path) == 0) faults.push_back("extra: " + path);
  }
  const char* const checks[][2] = {
      {"path with two rows: ", "select PATH from OBJECTS group by PATH having count(*) > 1"},
      {"details without object: ",
       "select ID from FILEDETAIL where ID not in "
       "(select ID from OBJECTS)"},
      {"file without details: ",
       "select PATH from OBJECTS where TYPE <> 10 and ID not in "
       "(select ID from FILEDETAIL)"},
      {"wrong parent: ",
       "select c.PATH from OBJECTS c left join OBJECTS p on p.ID = c.PARENT_ID "
       "where c.PARENT_ID <> 0 and (p.ID is null or c.PATH <> p.PATH || '/' || "
       "c.FILE_NAME)"},
  };
  for (const auto& check : checks) {
    for (const catalogtest::Row& row : catalogtest::query(dbPath, check[1])) {
      faults.push_back(check[0] + row[0]);
    }
  }
  return faults;
}

}  // namespace fault

// A service home for one daemon run: home/nstemp, the diff tool linked into
// home, and an empty library folder home/lib. Suites add media with copy().
class FaultTest : public ::testing::Test {
 protected:
  // One MP3 and one JPEG, made once per suite and copied into the libraries.
  static void SetUpTestSuite() {
    if (OMBRIX_CROSSCOMPILING) return;  // every test skips there
    mediaDir = testhome::makeTempDir("ombrix-fault-media");
    isMediaMade = testhome::ffmpeg({"-f", "lavfi", "-i", "sine=d=1", mediaDir + "/song.mp3"}) &&
                  testhome::ffmpeg({"-f", "lavfi", "-i", "testsrc=s=64x48", "-frames:v", "1",
                                    mediaDir + "/photo.jpg"});
  }
  static void TearDownTestSuite() { testhome::removeTree(mediaDir); }

  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
    ASSERT_TRUE(isMediaMade) << "ffmpeg could not make the test media";
    home = testhome::makeTempDir("ombrix-fault");
    ASSERT_FALSE(home.empty());
    ASSERT_EQ(mkdir((home + "/nstemp").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
    lib = home + "/lib";
    ASSERT_EQ(mkdir(lib.c_str(), 0755), 0);
    dbPath = home + "/nstemp/daskor.db";
    logPath = home + "/nstemp/Ombrix.log";
  }
  void TearDown() override { testhome::removeTree(home); }

  // Copies the suite's song.mp3 or photo.jpg to path.
  static void copy(const std::string& name, const std::string& path) {
    ASSERT_EQ(testhome::runProgram({"cp", mediaDir + "/" + name, path}), 0) << path;
  }
  fault::Launch launch(std::vector<std::string> args) const {
    return fault::Launch{std::move(args), home, home + "/output.txt", home};
  }
  std::string log() const { return testhome::readFile(logPath); }
  // Notes the catalogue's size at a stage in the test report (--gtest_output).
  void noteRows(const std::string& stage) const {
    RecordProperty(stage,
                   catalogtest::value(dbPath, "select count(*) from OBJECTS") + " objects, " +
                       catalogtest::value(dbPath, "select count(*) from FILEDETAIL") + " details");
  }
  bool waitForLog(const std::string& text, int seconds, size_t times = 1) const {
    return fault::waitForText(logPath, text, seconds, times);
  }

  static inline std::string mediaDir;
  static inline bool isMediaMade = false;
  std::string home, lib, dbPath, logPath;
};

#endif  // OMBRIX_TESTS_FAULTSUPPORT_H
