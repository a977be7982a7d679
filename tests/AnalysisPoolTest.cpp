// tests/AnalysisPoolTest.cpp: analysis in sandboxed helper processes.
//
// The protocol's bytes are the same on every host and only a whole answer is
// read; helpers answer as in-process analysis does, two at a time, taken in
// any order; a taken-over helper's answer fills in only the checked findings
// of the daemon's own record, and what it logs stays on its lines; a crash,
// a hang, garbage, a missing helper or an attempt to leave the sandbox costs
// one file its details; a walk writes the same rows with one helper as with
// two and keeps none once done; the daemon links no media library and says
// when its helper is missing.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <functional>
#include <regex>

#include "Common/TestSeams.h"
#include "Media/AnalysisPool.h"
#include "Media/AnalysisProtocol.h"
#include "Sync/CatalogBuilder.h"
#include "TestHome.h"

namespace {

const std::string kHelper = std::string(OMBRIX_BINARY_DIR) + "/ombrix-analyze";
const std::string kHostile = std::string(OMBRIX_BINARY_DIR) + "/tests/hostile-helper";
const std::string kDefaults = "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0";

// program (under qemu in cross runs) as the pool starts it, allowed to read
// the files below folder.
std::vector<std::string> helperReading(const std::string& folder,
                                       const std::string& program = kHelper) {
  std::vector<std::string> command = TestSeams::helperCommand(program);
  command.push_back(folder + "/");
  return command;
}

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

// A log's records in two sequences: those that say a row was written (they
// follow the write group's commits, which follow the answers' timing) and
// all the others. Each must come out the same whatever the helper count.
std::pair<std::string, std::string> splitInserts(const std::string& log) {
  const std::regex inserted("\\[Ombrix\\]\\.\\[(401|445)\\]\n  Insert (file|dir): [^\n]*\n\n");
  std::string inserts;
  for (std::sregex_iterator at(log.begin(), log.end(), inserted), end; at != end; ++at) {
    inserts += at->str();
  }
  return {std::regex_replace(log, inserted, ""), inserts};
}

// True when a line break in an item (kForged below) made a record of its own.
bool hasForgedRecord(const std::string& log) {
  return log.find("\n  Insert file: /etc/shadow") != std::string::npos ||
         log.find('\r') != std::string::npos;
}

TEST(AnalysisProtocolTest, AnswerIsTheSameOnEveryHostAndReadOnlyWhole) {
  FileInfo info = filled("/m/Ünïcode 'q'.jpg");
  info.mediaType = "JPEG_SM";
  info.width = -1;
  info.waveFormat.nSamplesPerSec = 4000000000u;
  info.title = std::string("a\0b", 3);
  std::string bytes = AnalysisProtocol::encodeAnswer(info, {{LogId::JpegSize, "64*48"}});
  EXPECT_EQ(fingerprint(bytes), 0x9886509bu);
  // Only the findings travel: the record they land in keeps its own path,
  // size and kind.
  FileInfo back = filled("/m/b.mp3");
  std::vector<CapturedRecord> got;
  ASSERT_TRUE(AnalysisProtocol::decodeAnswer(bytes, back, got));
  EXPECT_EQ(bytes, AnalysisProtocol::encodeAnswer(back, got));
  EXPECT_EQ(back.fullPathName + back.mimeType + back.title, "/m/b.mp3audio/mpeg" + info.title);

  std::string badMagic = bytes, hugeText = bytes;
  badMagic[7] ^= 1;
  hugeText[8] = '\x7f';
  const std::pair<const char*, std::string> refused[] = {
      {"a byte too many", bytes + "x"},
      {"bad magic", badMagic},
      {"a text longer than the answer", hugeText},
      {"a synchroniser's record", AnalysisProtocol::encodeAnswer(info, {{LogId::Deleted, "/"}})},
      {"a long item",
       AnalysisProtocol::encodeAnswer(info, {{LogId::JpegSize, std::string(257, '1')}})}};
  for (const auto& [what, garbage] : refused) {
    EXPECT_FALSE(AnalysisProtocol::decodeAnswer(garbage, back, got)) << what;
  }
  for (size_t cut = 0; cut < bytes.size(); cut += 5) {
    EXPECT_FALSE(AnalysisProtocol::decodeAnswer(bytes.substr(0, cut), back, got)) << cut;
  }
  // A number too big for its field: a height of 2^32, whose 8 bytes stand
  // 184 bytes before the end of a plain record.
  std::string record = AnalysisProtocol::encodeRecord(filled("/m/a.jpg"));
  ASSERT_TRUE(AnalysisProtocol::decodeRecord(record, back));
  record[record.size() - 184 + 3] = 1;
  EXPECT_FALSE(AnalysisProtocol::decodeRecord(record, back));
}

// A request carries its records in order; one with no record, too many, a
// record cut short or a byte left over anywhere is refused whole.
TEST(AnalysisProtocolTest, RequestIsReadOnlyWhole) {
  const FileInfo a = filled("/m/a.jpg"), b = filled("/m/b.mp3");
  const std::string first = AnalysisProtocol::encodeRecord(a),
                    second = AnalysisProtocol::encodeRecord(b);
  FileInfo back;
  EXPECT_FALSE(AnalysisProtocol::decodeRecord(first + "x", back));
  auto length = [](size_t n) {
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
  };
  const std::string head = std::string(4, '\0') + "OMBR";
  const std::string request =
      head + length(2) + length(first.size()) + first + length(second.size()) + second;
  ASSERT_EQ(request, AnalysisProtocol::encodeRequest({first, second}));
  std::vector<FileInfo> files;
  ASSERT_TRUE(AnalysisProtocol::decodeRequest(request, files));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(AnalysisProtocol::encodeRecord(files[1]), second);
  const std::vector<std::string> tooMany(AnalysisProtocol::kMaxBatch + 1, first);
  const std::pair<const char*, std::string> refused[] = {
      {"a byte too many", request + "x"},
      {"a record with a byte too many",
       head + length(2) + length(first.size()) + first + length(second.size() + 1) + second + "x"},
      {"a record cut short", head + length(1) + length(first.size() - 1) + first.substr(1)},
      {"one record fewer than counted", head + length(2) + length(first.size()) + first},
      {"no record", AnalysisProtocol::encodeRequest({})},
      {"too many", AnalysisProtocol::encodeRequest(tooMany)}};
  for (const auto& [what, garbage] : refused) {
    EXPECT_FALSE(AnalysisProtocol::decodeRequest(garbage, files)) << what;
    EXPECT_EQ(files.size(), 2u) << what;
  }
}

class AnalysisPoolTest : public TestHome {
 protected:
  // A copy of a medium the fixture made (48x48.jpg, tagged.mp3) at name
  // below home.
  std::string copy(const std::string& medium, const std::string& name) const {
    test::writeFile(home + "/" + name, test::medium(medium));
    return home + "/" + name;
  }
};

// Every medium the fixture made, so every profile those reach.
TEST_F(AnalysisPoolTest, HelpersAnswerAsInProcessTakenInAnyOrder) {
  AnalysisPool pool(helperReading(test::kMedia));
  std::vector<FileInfo> files;
  DirHandle media(opendir(test::kMedia.c_str()));
  ASSERT_TRUE(media);
  for (dirent* entry; (entry = readdir(media.get())) != nullptr;) {
    FileInfo info = filled(test::kMedia + "/" + entry->d_name);
    if (isCataloguedKind(info.objType)) files.push_back(info);
  }
  ASSERT_GE(files.size(), 30u);
  std::vector<AnalysisPool::Ticket> tickets;
  for (const FileInfo& info : files) tickets.push_back(pool.submit(info));
  EXPECT_EQ(pool.runningWorkers(), 2u);
  for (size_t i = files.size(); i-- > 0;) {
    SCOPED_TRACE(files[i].fileName);
    AnalysisResult result = pool.take(tickets[i]);
    ASSERT_TRUE(result.isAnalysed()) << result.reason;
    FileInfo inProcess = files[i];  // one fill: reading a file moves its atime
    inProcess.analyze();
    EXPECT_EQ(AnalysisProtocol::encodeRecord(inProcess),
              AnalysisProtocol::encodeRecord(result.info));
    std::string items;
    for (const CapturedRecord& r : result.records) {
      if (r.id != LogId::SandboxIncomplete) items += r.item;  // a note of qemu-user's runs
    }
    std::string ext = files[i].extName;
    bool isSizeLogged = (ext == "jpg" || ext == "png") && inProcess.width > 0;
    EXPECT_EQ(items, isSizeLogged
                         ? std::to_string(inProcess.width) + "*" + std::to_string(inProcess.height)
                         : "");
  }
  pool.abandonAll();
  EXPECT_EQ(pool.runningWorkers(), 0u);
}

// What a taken-over helper says, file by file, and what the daemon keeps of
// it. Every answer also carries a record whose item tries to forge another.
struct HostileCase {
  std::string name;
  std::function<void(FileInfo&)> says, kept;
  std::string refused;  // the refusal record's brackets; "" for no record
};

const std::string kStatement = "'); DELETE FROM OBJECTS; --";
const std::string kForged = "1*1\n[Ombrix].[401]\n  Insert file: /etc/shadow\r";

std::vector<HostileCase> hostileCases() {
  auto tags = [](FileInfo& i) {
    i.title = "it's";
    i.album = kStatement;
    i.artist = "say \"hi\"";
    i.duration = "101:02:03.456";
    i.trackNo = -3;
    i.waveFormat.nChannels = 2;
    i.mediaType = "MP3";
  };
  auto none = [](FileInfo&) {};
  return {
      {"quote.mp3", tags, tags, ""},
      {"nul.mp3",
       [](FileInfo& i) {
         i.artist = std::string("a\0b", 3);
         i.genre = "Pop";
       },
       [](FileInfo& i) { i.genre = "Pop"; }, "artist: holds a NUL"},
      {"big.mp3", [](FileInfo& i) { i.album.assign(1000000, '\''); }, none,
       "album: longer than 64 KiB"},
      {"sizes.png",
       [](FileInfo& i) {
         i.width = -1;
         i.height = INT_MIN;
         i.mediaType = "PNG_LRG";
       },
       [](FileInfo& i) { i.mediaType = "PNG_LRG"; }, "width: negative, height: negative"},
      {"clip.mpg",
       [](FileInfo& i) {
         i.duration = kStatement;
         i.mediaType = "MPEG_TS_HD_NA_ISO";
         i.width = 1920;
       },
       [](FileInfo& i) {
         i.mediaType = "MPEG_TS_HD_NA_ISO";
         i.width = 1920;
       },
       "duration: not H:MM:SS.mmm"},
      {"kind.jpg", [](FileInfo& i) { i.mediaType = "MP3"; }, none,
       "mediaType: no profile of its kind"},
      {"line\nfeed.jpg", [](FileInfo& i) { i.mediaType = kStatement; }, none,
       "mediaType: no profile of its kind"},
      // Another file's name, path, kind, size and MIME type, and details of
      // its own: the answer has no place for them.
      {"other.jpg",
       [](FileInfo& i) {
         i.fill("/etc/shadow.mp4");
         i.fileSize = -1;
         i.mimeType = i.details = kStatement;
       },
       none, ""},
  };
}

// Puts each case's file into folder, with the answer the hostile helper
// gives for it.
void writeHostileFiles(const std::vector<HostileCase>& cases, const std::string& folder) {
  for (const HostileCase& c : cases) {
    const std::string path = folder + "/" + c.name;
    test::writeFile(path, "not media");
    FileInfo says = filled(path);
    c.says(says);
    test::writeFile(path + ".answer",
                    AnalysisProtocol::encodeAnswer(says, {{LogId::JpegSize, kForged}}));
  }
}

TEST_F(AnalysisPoolTest, AHelpersAnswerFillsInOnlyCheckedFindings) {
  const std::vector<HostileCase> cases = hostileCases();
  writeHostileFiles(cases, lib);
  AnalysisPool pool(helperReading(lib, kHostile), 1);
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = lib + "/" + c.name;
    AnalysisResult result = pool.analyze(filled(path));
    ASSERT_TRUE(result.isAnalysed()) << result.reason;
    FileInfo expected = filled(path);
    c.kept(expected);
    expected.composeDetails();
    EXPECT_EQ(AnalysisProtocol::encodeRecord(expected),
              AnalysisProtocol::encodeRecord(result.info));
    EXPECT_EQ(result.records.size(), c.refused.empty() ? 1u : 2u);
    std::string refusal = "analysis fields refused: " + path + " (" + c.refused + ")\n";
    for (const CapturedRecord& r : result.records) writeLog(r.id, r.item);
    if (c.refused.empty() || c.name.find('\n') != std::string::npos) continue;
    EXPECT_EQ(test::count(log(), test::record("Ombrix", 388, refusal)), 1u) << log();
  }
  EXPECT_FALSE(hasForgedRecord(log())) << log();
  EXPECT_EQ(test::count(log(), "lib/line\\nfeed.jpg (mediaType"), 1u);
  EXPECT_EQ(
      test::count(log(), "jpgAnalyze: 1*1\\n[Ombrix].[401]\\n  Insert file: /etc/shadow\\r\n"),
      cases.size());
}

// End to end, through the catalogue as it is written today: each hostile
// file gets its own row and detail row with what the daemon kept, and no
// other row changes. Kept apart so that it can follow the catalogue layer.
TEST_F(AnalysisPoolTest, HostileAnswersChangeOnlyTheirFilesOwnRows) {
  const std::vector<HostileCase> cases = hostileCases();
  writeHostileFiles(cases, lib);
  add("a/honest.jpg");
  CatalogBuilder builder(home, kHostile);
  WatchClock clock = WatchClock::system();
  clock.now = [] { return time(nullptr) + 3600; };
  builder.fileCataloguer().watchSet().setClock(clock);
  builder.addSharedPath(lib);
  PendingChanges pending;
  builder.buildDatabase(pending);
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(value("select count(*) from OBJECTS"), std::to_string(cases.size() + 3));
  auto row = [&](const std::string& name, const std::string& columns) {  // names without quotes
    return value("select " + columns + " from OBJECTS join FILEDETAIL using (ID) where PATH = '" +
                 lib + "/" + name + "'");
  };
  EXPECT_EQ(
      row("quote.mp3", "A_ALBUM, A_ARTIST, AV_DURATION, A_TRACK_NO, DETAILS"),
      kStatement + "|say \"hi\"|101:02:03.456|-3|DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  EXPECT_EQ(row("nul.mp3", "A_ARTIST, A_GENRE"), "Unknown|Pop");
  EXPECT_EQ(row("big.mp3", "A_ALBUM"), "Unknown");
  EXPECT_EQ(row("clip.mpg", "AV_DURATION, IV_WIDTH, DETAILS"),
            "00:00:00.000|1920|DLNA.ORG_PN=MPEG_TS_HD_NA_ISO;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  EXPECT_EQ(row("other.jpg", "TYPE, FILE_NAME, MIME_TYPE, FILE_SIZE, DETAILS"),
            "1|other.jpg|image/jpeg|9|" + kDefaults);
  EXPECT_FALSE(hasForgedRecord(log())) << log();
  EXPECT_EQ(test::count(log(), "analysis fields refused: "), 6u);
}

// One worker is handed every file at once (a batch): each failure costs its
// own file, the files after it go to a worker forked afresh by the same
// parent, and what the sandbox forbids ends the worker or fails.
TEST_F(AnalysisPoolTest, AFailureCostsItsFileOnlyAndTheWorkerIsForkedAfresh) {
  const std::vector<std::string> helper = helperReading(home);
  AnalysisResult probe = AnalysisPool(helper).analyze(filled(copy("48x48.jpg", "p.jpg")));
  bool isConfined = probe.isAnalysed() && probe.records.size() == 1;  // no sandbox note
  // Only qemu-user, which runs the cross suites, has neither seccomp nor Landlock.
  EXPECT_TRUE(isConfined || OMBRIX_CROSSCOMPILING) << probe.records.back().item;
  ASSERT_EQ(access("/etc/passwd", R_OK), 0) << "the read below must be refused by the sandbox";
  using O = AnalysisOutcome;
  const std::string aborted = "analysis process killed by signal 6 (Aborted)",
                    refused = "analysis process killed by signal 31 (Bad system call)";
  struct Case {
    const char* name;
    O outcome;
    std::string reason;
  };
  std::vector<Case> cases = {{"a.mp3", O::Analysed, ""},
                             {"ombrix-crash-test.mp3", O::Died, aborted},
                             {"b.mp3", O::Analysed, ""}};
  if (isConfined) {
    for (const Case& escape :
         std::vector<Case>{{"ombrix-sandbox-test-write.mp3", O::Died, aborted},
                           {"ombrix-sandbox-test-read.mp3", O::Died, aborted},
                           {"ombrix-sandbox-test-socket.mp3", O::Died, refused},
                           {"ombrix-sandbox-test-spawn.mp3", O::Died, refused},
                           {"ombrix-sandbox-test-fork.mp3", O::Died, refused},
                           {"ombrix-sandbox-test-mmap-exec.mp3", O::Died, refused},
                           {"ombrix-sandbox-test-mprotect-exec.mp3", O::Died, refused},
                           {"c.mp3", O::Analysed, ""}}) {
      cases.push_back(escape);
    }
  }
  AnalysisPool pool(helper, 1);
  std::vector<AnalysisPool::Ticket> tickets;
  for (const Case& c : cases) tickets.push_back(pool.submit(filled(copy("tagged.mp3", c.name))));
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    AnalysisResult result = pool.take(tickets[i]);
    EXPECT_EQ(result.outcome, cases[i].outcome);
    EXPECT_EQ(result.reason, cases[i].reason);
    if (!result.isAnalysed()) {
      EXPECT_EQ(result.info.details, kDefaults);
    }
    EXPECT_NE(access((home + "/" + cases[i].name + ".written").c_str(), F_OK), 0);
  }
  EXPECT_EQ(pool.parentStarts(), 1u);
  EXPECT_EQ(pool.runningWorkers(), 1u);
}

// A taken-over worker that talks nonsense or never answers costs its own
// file; an answer that comes a few bytes at a time is read whole.
TEST_F(AnalysisPoolTest, GarbageOrSilenceCostsOneFileAndSlowBytesAreWaitedFor) {
  const std::vector<std::string> hostile = helperReading(home, kHostile);
  using O = AnalysisOutcome;
  struct Case {
    const char* name;
    const char* prepared;  // the file beside it that tells the worker what to do
    O outcome;
    std::string reason;
  } const cases[] = {{"split.mp3", ".split", O::Analysed, ""},
                     {"talks.mp3", ".answer", O::Garbage, "analysis process answered garbage"},
                     {"slow.mp3", ".hang", O::TimedOut, "analysis took longer than 1 s"},
                     {"after.mp3", ".split", O::Analysed, ""}};
  AnalysisPool pool(hostile, 1, 1);
  std::vector<AnalysisPool::Ticket> tickets;
  for (const Case& c : cases) {
    test::writeFile(copy("tagged.mp3", c.name) + c.prepared, "nonsense");
    tickets.push_back(pool.submit(filled(home + "/" + c.name)));
  }
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    AnalysisResult result = pool.take(tickets[i]);
    EXPECT_EQ(result.outcome, cases[i].outcome);
    EXPECT_EQ(result.reason, cases[i].reason);
  }
  EXPECT_EQ(pool.parentStarts(), 1u);

  if (OMBRIX_CROSSCOMPILING) return;  // qemu-user reports a failed exec as a child that ends
  AnalysisResult lost = AnalysisPool({home + "/none"}).analyze(filled(home + "/after.mp3"));
  EXPECT_EQ(lost.outcome, O::NotStarted);
  EXPECT_EQ(lost.reason, "cannot start analysis process: No such file or directory");
  EXPECT_EQ(lost.info.details, kDefaults);
}

// A folder of more entries than a walk batch and more files than are
// analysed ahead at once, with folders between them.
TEST_F(AnalysisPoolTest, OneHelperOrTwoGiveTheSameCatalogueAndLog) {
  ASSERT_EQ(test::run({"mkdir", "-p", lib + "/a/b", lib + "/c"}), 0);
  for (int i = 0; i < 300; ++i)
    copy(i % 3 ? "48x48.jpg" : "tagged.mp3",
         "lib/" + std::to_string(i) + (i % 3 ? ".jpg" : ".mp3"));
  copy("48x48.jpg", "lib/a/1.jpg");
  copy("tagged.mp3", "lib/a/b/2.mp3");
  copy("48x48.jpg", "lib/c/3.jpg");
  copy("tagged.mp3", "lib/ombrix-crash-test.mp3");
  std::string tables[2];
  std::string logs[2];
  for (int helpers : {1, 2}) {
    const std::string run = home + "/run" + std::to_string(helpers);
    ASSERT_EQ(test::run({"mkdir", "-p", run + "/nstemp"}), 0);
    Logger::getInstance().setLogPath(run + "/nstemp/Ombrix.log");
    setenv("OMBRIX_TEST_HELPERS", std::to_string(helpers).c_str(), 1);
    CatalogBuilder builder(run, kHelper);
    unsetenv("OMBRIX_TEST_HELPERS");
    WatchClock clock = WatchClock::system();
    clock.now = [] { return time(nullptr) + 3600; };
    builder.fileCataloguer().watchSet().setClock(clock);
    builder.addSharedPath(lib + "/");
    PendingChanges pending;
    builder.buildDatabase(pending);
    EXPECT_EQ(builder.fileCataloguer().analysis().runningWorkers(), 0u);  // none kept when idle
    for (const char* table : {"OBJECTS", "FILEDETAIL", "ALBUMMAP", "ARTISTMAP", "GENREMAP"}) {
      tables[helpers - 1] +=
          test::table(run + "/nstemp/daskor.db", std::string("select * from ") + table);
    }
    logs[helpers - 1] = test::readFile(run + "/nstemp/Ombrix.log");
  }
  EXPECT_EQ(tables[0], tables[1]);
  // The folder, three below it, 304 files.
  EXPECT_EQ(test::table(home + "/run1/nstemp/daskor.db", "select count(*) from OBJECTS"), "308\n");
  EXPECT_EQ(splitInserts(logs[0]), splitInserts(logs[1]));
  EXPECT_EQ(test::count(logs[1], "jpgAnalyze: 48*48\n"), 202u);
  EXPECT_EQ(test::count(logs[1], "analysis failed: " + lib + "/ombrix-crash-"), 1u);
}

// A copy of the daemon has no helper beside it nor in ../lib/ombrix; the
// test seam stops it once its one file is written.
TEST_F(AnalysisPoolTest, MissingHelperIsSaidOnceAndFilesKeepTheirDefaults) {
  if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
  ASSERT_EQ(test::run({"mkdir", home + "/bin"}), 0);
  copy("48x48.jpg", "lib/photo.jpg");
  ASSERT_EQ(test::run({"cp", OMBRIX_BINARY_DIR "/Ombrix", home + "/bin/Ombrix"}), 0);
  ASSERT_EQ(test::run({"env", "DLNAHOME=" + home, "OMBRIX_TEST_SIGNAL_AT_FILE=1:15",
                       home + "/bin/Ombrix", "4", lib},
                      home + "/out.txt"),
            0);
  const std::string said =
      "analysis helper missing or not executable: " + home + "/bin/../lib/ombrix/ombrix-analyze\n";
  EXPECT_EQ(test::count(test::readFile(home + "/out.txt"), "Ombrix: " + said), 1u);
  EXPECT_EQ(test::count(log(), "[OmbrixMain].[83]\n  " + said), 1u) << log();
  EXPECT_TRUE(logHas("photo.jpg (cannot start analysis process: No such file or directory)"));
  EXPECT_EQ(value("select DETAILS from OBJECTS where TYPE = 1"), kDefaults);
}

TEST_F(AnalysisPoolTest, DaemonLinksNoMediaLibrary) {
  ASSERT_EQ(test::run({"readelf", "-d", OMBRIX_BINARY_DIR "/Ombrix"}, home + "/needed"), 0);
  const std::string needed = test::readFile(home + "/needed");
  EXPECT_NE(needed.find("libsqlite3"), std::string::npos) << needed;
  for (const char* media : {"libavformat", "libavcodec", "libavutil", "libtag", "libjpeg"}) {
    EXPECT_EQ(needed.find(media), std::string::npos) << media;
  }
}

}  // namespace
