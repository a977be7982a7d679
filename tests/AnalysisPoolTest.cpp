// tests/AnalysisPoolTest.cpp: analysis in sandboxed helper processes.
//
// The protocol's bytes are the same on every host and refuse anything but a
// whole answer; helpers answer as in-process analysis does, two at a time,
// in any order of taking; a crash, a hang, garbage, a missing helper or an
// escape attempt costs one file its details; a walk writes the same rows
// with one helper as with two; the daemon links no media library and keeps
// no helper once its build is done, and says when its helper is missing.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "CatalogTestSupport.h"
#include "DaemonRunner.h"
#include "Media/AnalysisPool.h"
#include "Media/AnalysisProtocol.h"
#include "Sync/CatalogBuilder.h"
#include "TestHome.h"

namespace {

const std::string kHelper = std::string(OMBRIX_BINARY_DIR) + "/ombrix-analyze";
const std::string kDefaults = "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0";

FileInfo filled(const std::string& path) {
  FileInfo info;
  info.fill(path);
  return info;
}

// FNV-1a: the same 32-bit value for the same bytes on every host.
uint32_t fingerprint(const std::string& bytes) {
  uint32_t hash = 2166136261u;
  for (char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

// The log's records in two lists: "Insert file: " records, which wait for
// their write group's commit and so follow its timing, and all the others.
std::vector<std::string> splitLog(const std::string& log, bool inserts) {
  std::vector<std::string> records;
  for (size_t start = 0, next; start < log.size(); start = next) {
    next = std::min(log.find("\n[", start), log.size() - 1) + 1;  // records start a line
    std::string record = log.substr(start, next - start);
    if ((record.rfind("[Ombrix].[401]", 0) == 0) == inserts) records.push_back(record);
  }
  return records;
}

TEST(AnalysisProtocolTest, AnswerIsTheSameOnEveryHostAndStrictlyRead) {
  FileInfo info = filled("/m/Ünïcode 'q'.jpg");
  info.fileSize = -1;
  info.ctime = static_cast<time_t>(4102444800LL);
  info.waveFormat.nSamplesPerSec = 4000000000u;
  info.title = std::string("a\0b", 3);
  std::string bytes = AnalysisProtocol::encodeAnswer(info, {{LogId::JpegSize, "64*48"}});
  EXPECT_EQ(fingerprint(bytes), 0xfa522d2eu);
  FileInfo back;
  std::vector<CapturedRecord> records;
  ASSERT_TRUE(AnalysisProtocol::decodeAnswer(bytes, back, records));
  EXPECT_EQ(bytes, AnalysisProtocol::encodeAnswer(back, records));

  std::string badMagic = bytes, hugeText = bytes;
  badMagic[7] ^= 1;
  hugeText[8] = '\x7f';
  const std::pair<const char*, std::string> refused[] = {
      {"a byte too many", bytes + "x"},
      {"bad magic", badMagic},
      {"a text longer than the answer", hugeText},
      {"a synchroniser's record",
       AnalysisProtocol::encodeAnswer(info, {{LogId::FileInserted, ""}})},
  };
  for (const auto& [what, garbage] : refused) {
    EXPECT_FALSE(AnalysisProtocol::decodeAnswer(garbage, back, records)) << what;
  }
  for (size_t cut = 0; cut < bytes.size(); cut += 5) {
    EXPECT_FALSE(AnalysisProtocol::decodeAnswer(bytes.substr(0, cut), back, records)) << cut;
  }
}

class AnalysisPoolTest : public TestHome {
 protected:
  static void SetUpTestSuite() {
    media = testhome::makeTempDir("ombrix-pool-media");
    isMediaMade = testhome::ffmpeg({"-f", "lavfi", "-i", "color=c=blue:s=150x150", "-frames:v", "1",
                                    media + "/photo.jpg"}) &&
                  testhome::ffmpeg({"-f", "lavfi", "-i", "sine=d=1", "-metadata", "artist=First",
                                    media + "/song.mp3"});
  }
  static void TearDownTestSuite() { testhome::removeTree(media); }
  void SetUp() override {
    TestHome::SetUp();
    ASSERT_TRUE(isMediaMade);
  }
  // A copy of a suite medium named name in the test's home.
  std::string copy(const std::string& medium, const std::string& name) const {
    testhome::writeFile(home + "/" + name, testhome::readFile(media + "/" + medium));
    return home + "/" + name;
  }
  static inline std::string media;
  static inline bool isMediaMade = false;
};

TEST_F(AnalysisPoolTest, HelpersAnswerAsInProcessTakenInAnyOrder) {
  AnalysisPool pool({kHelper});
  std::vector<FileInfo> files = {filled(copy("photo.jpg", "a.jpg")),
                                 filled(copy("song.mp3", "b.mp3")),
                                 filled(copy("photo.jpg", "c.jpg"))};
  std::vector<AnalysisPool::Ticket> tickets;
  for (const FileInfo& info : files) tickets.push_back(pool.submit(info));
  EXPECT_EQ(pool.runningHelpers(), 2u);
  for (size_t i = files.size(); i-- > 0;) {
    SCOPED_TRACE(files[i].fileName);
    AnalysisResult result = pool.take(tickets[i]);
    ASSERT_TRUE(result.isAnalysed()) << result.reason;
    FileInfo inProcess = files[i];  // one fill: reading a file moves its atime
    inProcess.analyze();
    EXPECT_EQ(AnalysisProtocol::encodeRecord(inProcess),
              AnalysisProtocol::encodeRecord(result.info));
    std::vector<std::string> items;
    for (const CapturedRecord& r : result.records) {
      if (r.id != LogId::SandboxIncomplete) items.push_back(r.item);
    }
    EXPECT_EQ(items, files[i].extName == "jpg" ? std::vector<std::string>{"150*150"}
                                               : std::vector<std::string>{});
  }
  pool.endIdleHelpers();
  EXPECT_EQ(pool.runningHelpers(), 0u);
}

TEST_F(AnalysisPoolTest, AFailureCostsOneFileAndTheNextHasAFreshHelper) {
  AnalysisResult probe = AnalysisPool({kHelper}).analyze(filled(copy("photo.jpg", "p.jpg")));
  bool isConfined = probe.isAnalysed() && probe.records.size() == 1;  // no sandbox note
  // Only qemu-user, which runs the cross suites, offers neither seccomp nor Landlock.
  EXPECT_TRUE(isConfined || OMBRIX_CROSSCOMPILING) << probe.records.back().item;
  const std::string bogus = "head -c 4 >/dev/null; echo garbage; exec sleep 30";
  struct Case {
    std::vector<std::string> command;
    const char* name;
    AnalysisOutcome outcome;
    std::string reason;
  };
  const Case cases[] = {
      {{kHelper},
       "ombrix-crash-test.mp3",
       AnalysisOutcome::Died,
       "analysis process killed by signal 6 (Aborted)"},
      {{"/bin/sleep", "30"},
       "slow.mp3",
       AnalysisOutcome::TimedOut,
       "analysis took longer than 1 s"},
      {{"/bin/sh", "-c", bogus},
       "talks.mp3",
       AnalysisOutcome::Garbage,
       "analysis process answered garbage"},
      {{home + "/missing"},
       "lost.mp3",
       AnalysisOutcome::NotStarted,
       "cannot start analysis process: No such file or directory"},
      {{kHelper},
       "ombrix-sandbox-test-write.mp3",
       AnalysisOutcome::Died,
       "analysis process killed by signal 6 (Aborted)"},
      {{kHelper},
       "ombrix-sandbox-test-socket.mp3",
       AnalysisOutcome::Died,
       "analysis process killed by signal 31 (Bad system call)"},
      {{kHelper},
       "ombrix-sandbox-test-spawn.mp3",
       AnalysisOutcome::Died,
       "analysis process killed by signal 31 (Bad system call)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bool isEscape = std::string(c.name).find("sandbox") != std::string::npos;
    if (isEscape && !isConfined) continue;
    // qemu-user reports a failed exec as a child that ends, not as an error.
    if (OMBRIX_CROSSCOMPILING && c.outcome == AnalysisOutcome::NotStarted) continue;
    AnalysisPool pool(c.command, 1, 1);
    AnalysisResult result = pool.analyze(filled(copy("song.mp3", c.name)));
    EXPECT_EQ(result.outcome, c.outcome);
    EXPECT_EQ(result.reason, c.reason);
    EXPECT_EQ(result.info.artist, "Unknown");
    EXPECT_EQ(result.info.details, kDefaults);
    EXPECT_NE(access((home + "/" + c.name + ".written").c_str(), F_OK), 0);
    if (c.command[0] != kHelper) continue;
    EXPECT_TRUE(pool.analyze(filled(copy("song.mp3", "next.mp3"))).isAnalysed());
  }
}

// The rows and the log of a build with one helper and with two, over a
// folder of more entries than a walk batch, with folders between the files.
TEST_F(AnalysisPoolTest, OneHelperOrTwoGiveTheSameCatalogueAndLog) {
  const std::string lib = home + "/lib";
  ASSERT_EQ(testhome::runProgram({"mkdir", "-p", lib + "/a/b", lib + "/c"}), 0);
  for (int i = 0; i < 140; ++i) {
    bool isSong = i % 3 == 0;
    copy(isSong ? "song.mp3" : "photo.jpg",
         "lib/" + std::to_string(i) + (isSong ? ".mp3" : ".jpg"));
  }
  copy("photo.jpg", "lib/a/1.jpg");
  copy("song.mp3", "lib/a/b/2.mp3");
  copy("photo.jpg", "lib/c/3.jpg");
  copy("song.mp3", "lib/ombrix-crash-test.mp3");
  std::vector<std::vector<catalogtest::Row>> tables[2];
  std::string logs[2];
  for (int helpers : {1, 2}) {
    const std::string run = home + "/run" + std::to_string(helpers);
    ASSERT_EQ(testhome::runProgram({"mkdir", "-p", run + "/nstemp"}), 0);
    Logger::getInstance().setLevel(6);
    Logger::getInstance().setLogPath(run + "/nstemp/Ombrix.log");
    setenv("OMBRIX_TEST_HELPERS", std::to_string(helpers).c_str(), 1);
    CatalogBuilder builder(run, kHelper);
    unsetenv("OMBRIX_TEST_HELPERS");
    builder.fileCataloguer().sizeWatch().setClock(
        WatchClock{[] { return time(nullptr) + 3600; }, [] {}});
    builder.addSharedPath(lib + "/");
    builder.buildDatabase();
    for (const char* table : {"OBJECTS", "FILEDETAIL", "ALBUMMAP", "ARTISTMAP", "GENREMAP"}) {
      tables[helpers - 1].push_back(
          catalogtest::query(run + "/nstemp/daskor.db", std::string("select * from ") + table));
    }
    logs[helpers - 1] = testhome::readFile(run + "/nstemp/Ombrix.log");
  }
  Logger::getInstance().setLevel(0);
  EXPECT_EQ(tables[0], tables[1]);
  for (bool inserts : {false, true})
    EXPECT_EQ(splitLog(logs[0], inserts), splitLog(logs[1], inserts));
  EXPECT_EQ(tables[0][0].size(), 148u);  // the folder, three below it, 144 files
  EXPECT_EQ(catalogtest::count(logs[1], "jpgAnalyze: 150*150\n"), 95u);
  EXPECT_EQ(catalogtest::count(logs[1], "analysis failed: " + lib + "/ombrix-crash-test.mp3 ("),
            1u);
}

// The real daemon over a folder holding one photo.
class AnalysisDaemonTest : public TestHome {
 protected:
  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
    TestHome::SetUp();
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
    ASSERT_EQ(mkdir((home + "/lib").c_str(), 0755), 0);
    ASSERT_TRUE(testhome::ffmpeg(
        {"-f", "lavfi", "-i", "color=c=red:s=64x48", "-frames:v", "1", home + "/lib/photo.jpg"}));
  }
  // Processes started with this home: the daemon and whatever it keeps.
  size_t processesOfHome() const {
    size_t count = 0;
    DirHandle proc(opendir("/proc"));
    while (const dirent* entry = readdir(proc.get())) {
      std::string environ = testhome::readFile(std::string("/proc/") + entry->d_name + "/environ");
      std::string mine = "DLNAHOME=" + home;
      count += std::count(environ.begin(), environ.end(), '\0') > 0 &&
               ("\0" + environ).find(std::string("\0", 1) + mine + '\0') != std::string::npos;
    }
    return count;
  }
};

TEST_F(AnalysisDaemonTest, IdleDaemonKeepsNoHelper) {
  daemontest::Daemon daemon(
      daemontest::Launch{{"4", home + "/lib"}, home, home + "/out.txt", home});
  ASSERT_TRUE(daemontest::waitForText(home + "/nstemp/Ombrix.log", "Build DB Time = ", 60));
  EXPECT_EQ(processesOfHome(), 1u);
  EXPECT_EQ(
      catalogtest::value(home + "/nstemp/daskor.db", "select DETAILS from OBJECTS where TYPE = 1"),
      "DLNA.ORG_PN=JPEG_LRG_ICO;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
}

// A copy of the daemon with no helper beside it nor in ../lib/ombrix; the
// test seam stops it once its one file is written.
TEST_F(AnalysisDaemonTest, MissingHelperIsSaidOnceAndFilesKeepTheirDefaults) {
  const std::string binary = home + "/bin/Ombrix";
  ASSERT_EQ(testhome::runProgram({"mkdir", home + "/bin"}), 0);
  ASSERT_EQ(testhome::runProgram({"cp", daemontest::kBinary, binary}), 0);
  std::vector<std::string> run = {"env", "DLNAHOME=" + home, "OMBRIX_TEST_SIGNAL_AT_FILE=1:15"};
  if (!daemontest::fakeTimeLibrary().empty()) {  // new files then skip the size watch
    run.insert(run.end(), {"LD_PRELOAD=" + daemontest::fakeTimeLibrary(), "FAKETIME=+2h",
                           "NO_FAKE_STAT=1", "ASAN_OPTIONS=verify_asan_link_order=0"});
  }
  run.insert(run.end(), {binary, "4", home + "/lib"});
  ASSERT_EQ(testhome::runProgram(run, home + "/out.txt"), 0);
  const std::string path = home + "/bin/../lib/ombrix/ombrix-analyze";
  EXPECT_EQ(catalogtest::count(testhome::readFile(home + "/out.txt"),
                               "Ombrix: analysis helper missing or not executable: " + path + "\n"),
            1u);
  std::string log = testhome::readFile(home + "/nstemp/Ombrix.log");
  EXPECT_EQ(catalogtest::count(log,
                               "[OmbrixMain].[83]\n  analysis helper missing or not "
                               "executable: " +
                                   path + "\n"),
            1u)
      << log;
  EXPECT_NE(log.find("analysis failed: " + home +
                     "/lib/photo.jpg (cannot start analysis "
                     "process: No such file or directory)"),
            std::string::npos)
      << log;
  EXPECT_EQ(
      catalogtest::value(home + "/nstemp/daskor.db", "select DETAILS from OBJECTS where TYPE = 1"),
      kDefaults);
}

TEST(AnalysisBinaryTest, DaemonLinksNoMediaLibrary) {
  const std::string dump = testhome::makeTempDir("ombrix-needed") + "/needed.txt";
  ASSERT_EQ(testhome::runProgram({"readelf", "-d", daemontest::kBinary}, dump), 0);
  std::string needed = testhome::readFile(dump);
  EXPECT_NE(needed.find("libsqlite3"), std::string::npos) << needed;
  for (const char* media : {"libavformat", "libavcodec", "libavutil", "libtag", "libjpeg"}) {
    EXPECT_EQ(needed.find(media), std::string::npos) << media;
  }
  testhome::removeTree(Util::getParentPath(dump));
}

}  // namespace
