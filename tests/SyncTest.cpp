// tests/SyncTest.cpp: the synchroniser in process, on real folders and a real
// catalogue: the first build and its walk, the watch of fresh files on fake
// clocks, the full check, change detection with the real find and diff, the
// adjustment and its retries, and hostile libraries and catalogues.
//
// The tests look at what the catalogue holds (rows, IDs, what ombrix-check
// finds) and at the log records and their order, never at how the parts
// call each other.
#include <unistd.h>

#include <memory>
#include <random>

#include "Common/TestSeams.h"
#include "Media/AnalysisProtocol.h"
#include "Media/AvLibrary.h"
#include "Sync/CatalogBuilder.h"
#include "Sync/Pipeline.h"
#include "TestHome.h"

namespace {

using test::count;
using test::record;
using Faults = std::vector<std::string>;

class SyncTest : public TestHome {
 protected:
  static void SetUpTestSuite() { initAvLibrary(); }
  void SetUp() override {
    TestHome::SetUp();
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);  // as on the appliance
    builder = makeBuilder({lib});
  }
  // A builder whose watch reads a wall clock clockOffset seconds ahead (files
  // are old unless a test says otherwise) and a fake steady clock that moves
  // only when the watch waits for its next poll; each wait counts and runs
  // onPoll at once.
  std::unique_ptr<CatalogBuilder> makeBuilder(const std::vector<std::string>& folders) {
    auto made = std::make_unique<CatalogBuilder>(home, OMBRIX_BINARY_DIR "/ombrix-analyze");
    for (const std::string& folder : folders) made->addSharedPath(folder);
    made->fileCataloguer().watchSet().setClock(
        WatchClock{[this] { return time(nullptr) + clockOffset; }, [this] { return fakeMs; },
                   [this](int64_t ms) {
                     fakeMs += ms, ++polls;
                     if (onPoll) onPoll(polls);
                   }});
    return made;
  }
  // The service's start (the first listing, then the build), and a cycle.
  void startService() {
    builder->clearSnapshots();
    ASSERT_FALSE(builder->isChanged());
    builder->buildDatabase(pendingChanges);
  }
  void adjust() {
    ASSERT_TRUE(builder->isChanged());
    builder->adjustDatabase(pendingChanges);
  }
  void rebuild() {
    ASSERT_EQ(unlink(dbPath.c_str()), 0);
    builder->buildDatabase(pendingChanges);
  }
  size_t pending() const { return pendingChanges.count(); }
  void remove(const std::string& path) const { ASSERT_EQ(unlink((lib + "/" + path).c_str()), 0); }
  void expectRecords(const std::vector<std::string>& records) const {
    for (const std::string& expected : records) EXPECT_EQ(count(log(), expected), 1u) << expected;
  }

  std::unique_ptr<CatalogBuilder> builder;
  PendingChanges pendingChanges;  // the service loop's
  time_t clockOffset = 3600;
  int polls = 0;
  int64_t fakeMs = 0;
  std::function<void(int)> onPoll;
};

TEST_F(SyncTest, BuildEntersEveryContainerUnderItsParent) {
  add("sub/deeper/a.mp3; photo.jpg; real/b.jpg; Rock 'n' Roll/it's.mpg; .x.mp3; .hid/t.jpg; "
      "list.m3u; notes.txt");
  ASSERT_EQ(mkfifo((lib + "/pipe").c_str(), 0644) | symlink("real", (lib + "/link").c_str()) |
                symlink("..", (lib + "/real/up").c_str()) |
                symlink("-", (lib + "/dangling").c_str()),
            0);
  builder->buildDatabase(pendingChanges);
  // Nothing hidden, no playlist, text, FIFO or loop; a link is walked as a directory.
  EXPECT_EQ(
      table("select substr(PATH, " + std::to_string(lib.size() + 1) +
            "), TYPE from OBJECTS order by PATH"),
      "|10\n/Rock 'n' Roll|10\n/Rock 'n' Roll/it's.mpg|3\n/link|10\n/link/b.jpg|1\n"
      "/photo.jpg|1\n/real|10\n/real/b.jpg|1\n/sub|10\n/sub/deeper|10\n/sub/deeper/a.mp3|2\n");
  EXPECT_EQ(idOf(lib), "1001");
  EXPECT_EQ(faults(), Faults{});
  expectRecords({record("Ombrix", 325, "not dir nor file =" + lib + "/pipe\n"),
                 record("Ombrix", 325, "not dir nor file =" + lib + "/dangling\n"),
                 record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/real/up\n"),
                 record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/link/up\n"),
                 record("Ombrix", 401, "Insert file: " + lib + "/photo.jpg\n")});
  // A folder shared inside another hangs under the root, and again inside its parent.
  makeBuilder({lib + "/sub", lib})->buildDatabase(pendingChanges);
  EXPECT_EQ(table("select PARENT_ID from OBJECTS where PATH like '%/sub' order by ID"),
            "0\n1002\n");
}

// Files changed within five minutes (thirty for a video) are watched, all in
// the same rounds of polls a second apart, until two polls in a row see the
// size known before them; the rows are those of the same files when old.
// What the walk wrote is committed before the watch waits: the media server
// must never wait on our lock while we wait on a file.
TEST_F(SyncTest, FreshFilesAreWatchedTogetherUntilTheySettle) {
  add("a.jpg; b.jpg; sub/c.jpg; sub/d.jpg; e.jpg; f.mp3; sub/g.mpg");
  builder->buildDatabase(pendingChanges);
  const std::string rows = "select ID, PARENT_ID, TYPE, PATH, FILE_SIZE from OBJECTS order by ID";
  const std::string old = table(rows);
  std::string seen;
  for (const auto& [age, watched] : {std::pair<time_t, size_t>{600, 1}, {0, 7}}) {
    ASSERT_EQ(unlink(logPath.c_str()), 0);
    clockOffset = age, polls = 0;
    onPoll = [&](int) { seen += age ? idOf(lib + "/sub") + ";" : ""; };  // the video is in sub
    rebuild();
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(count(log(), "  size = "), 2 * watched);
    EXPECT_EQ(table(rows), old);
  }
  EXPECT_EQ(seen, idOf(lib + "/sub") + ";" + idOf(lib + "/sub") + ";");
}

// A file still being copied is set aside: the others pass it, the walk
// leaves it to the next cycles, which watch it again until two polls agree,
// and it is written with the size it settled at. A file that goes away is
// not catalogued; a stop request ends the watch of every file at the next
// poll, and nothing watched is written.
TEST_F(SyncTest, GrowingVanishingAndAbandonedFiles) {
  add("a.jpg; b.jpg; sub/c.jpg; sub/d.jpg; f.mp3; sub/g.mp3");
  const std::string growing = lib + "/sub/c.jpg";
  const int size = test::medium("48x48.jpg").size();
  clockOffset = 0;
  onPoll = [&](int second) {
    if (second <= 3) test::writeFile(growing, test::readFile(growing) + "more");
  };
  builder->buildDatabase(pendingChanges);
  EXPECT_EQ(polls, 2);
  EXPECT_EQ(idOf(growing), "");
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));  // grown again in the third second
  EXPECT_EQ(idOf(growing), "");
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));
  EXPECT_FALSE(builder->retryPendingChanges(pendingChanges));
  EXPECT_EQ(polls, 5);
  EXPECT_EQ(table("select PATH, FILE_SIZE from OBJECTS order by ID desc limit 1"),
            growing + "|" + std::to_string(size + 12) + "\n");
  EXPECT_LT(log().find("Insert file: " + lib + "/sub/g.mp3"),
            log().find("Insert file: " + growing));
  expectRecords(
      {record("Ombrix", 523, std::to_string(size) + " <> " + std::to_string(size + 4) + "\n")});
  EXPECT_EQ(faults(), Faults{});

  onPoll = [&](int) { unlink((lib + "/b.jpg").c_str()); };
  rebuild();
  EXPECT_EQ(faults(), Faults{});
  expectRecords({record("Ombrix", 526, "file vanished during size watch: " + lib + "/b.jpg\n")});
  onPoll = [](int) { AppStatus::getInstance().setAppExit(true); };
  polls = 0;
  rebuild();
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(value("select count(*) from FILEDETAIL"), "0");
  EXPECT_EQ(count(log(), "isAppExit is true, stop watching " + lib), 5u);
  expectRecords({record("Ombrix", 519, "isAppExit is true, stop watching " + lib + "/a.jpg\n")});
}

// A stop request ends the work in hand at once: no file whose row is not
// written yet is analysed, waited for or written, be it with the analysis
// or watched, its next poll due or not; the actions still run.
TEST_F(SyncTest, StopRequestWritesNoFileAfterIt) {
  add("a.jpg; b.mp3; c.mpg; d.jpg");
  FileCataloguer& cataloguer = builder->fileCataloguer();
  Pipeline pipeline(cataloguer, nullptr);
  std::string done;
  for (const char* name : {"a.jpg", "b.mp3", "c.mpg", "d.jpg"}) {
    clockOffset = name[0] < 'c' ? 3600 : 0;  // c and d are fresh, and join the watch
    fakeMs += 600;                           // a poll apart: c's is due before d's
    FileInfo info;
    struct stat status;
    ASSERT_EQ(stat((lib + "/" + name).c_str(), &status), 0);
    ASSERT_TRUE(cataloguer.fillIfCatalogued(lib + "/" + name, status, info));
    pipeline.addFile(info, [&](const FileInfo& analysed) { done += analysed.fileName + ";"; });
  }
  pipeline.addAction([&] { done += "action;"; });
  fakeMs += 500;
  ASSERT_EQ(cataloguer.watchSet().msUntilDue(), 0);
  AppStatus::getInstance().setAppExit(true);
  EXPECT_TRUE(pipeline.finish().empty());
  EXPECT_EQ(done, "action;");
  EXPECT_EQ(polls, 0);
  EXPECT_EQ(count(log(), "isAppExit is true, stop watching " + lib), 2u);
  EXPECT_EQ(cataloguer.watchSet().msUntilDue(), -1);
  EXPECT_EQ(cataloguer.analysis().runningWorkers(), 0u);
}

// Rows written during a long walk reach the media server long before the
// walk ends: the write group is committed once it is old, while the walk
// waits for answers that take longer than that (here each comes a few bytes
// at a time), so every row's record comes before the next file's analysis.
TEST_F(SyncTest, ALongWalkCommitsItsRowsByAge) {
  const std::string hostile = OMBRIX_BINARY_DIR "/tests/hostile-helper";
  for (const char* name : {"1", "2", "3"}) {
    add(std::string(name) + ".jpg");
    FileInfo info;
    info.fill(lib + "/" + name + ".jpg");
    test::writeFile(info.fullPathName + ".answer",
                    AnalysisProtocol::encodeAnswer(info, {{LogId::JpegSize, name}}));
    test::writeFile(info.fullPathName + ".split", "");
  }
  setenv("OMBRIX_TEST_HELPERS", "1", 1);  // one after the other
  CatalogBuilder slow(home, hostile);
  unsetenv("OMBRIX_TEST_HELPERS");
  slow.addSharedPath(lib);
  slow.buildDatabase(pendingChanges);
  const std::string text = log();
  std::vector<size_t> analysed, inserted;
  for (size_t at = text.find("jpgAnalyze: "); at != std::string::npos;
       at = text.find("jpgAnalyze: ", at + 1)) {
    const std::string name = text.substr(at + 12, 1);
    analysed.push_back(at);
    inserted.push_back(text.find("Insert file: " + lib + "/" + name + ".jpg"));
  }
  ASSERT_EQ(analysed.size(), 3u) << text;
  for (size_t i = 0; i + 1 < analysed.size(); ++i) EXPECT_LT(inserted[i], analysed[i + 1]) << text;
}

// Rows written in groups, and maps refilled from the newest rows only, come
// out as from a walk that wrote each row and refilled the maps after each
// directory. A refill from the newest rows only misses a file written right
// after a subdirectory's refill, which happens unless every subdirectory
// comes after every file in its folder's order: with three of each, under
// other names in each of two folders, that is near certain.
TEST_F(SyncTest, GroupedWalkGivesTheCatalogueOfARowByRowWalk) {
  for (const std::string name :
       {"p/1.mp3", "p/2.mp3", "p/3.mp3", "p/a/4.mp3", "p/k/5.mp3", "p/t/6.mp3", "q/1.mp3",
        "q/2.mp3", "q/3.mp3", "q/b/4.mp3", "q/m/5.mp3", "q/w/6.mp3"}) {
    add(name);
    test::writeFile(lib + "/" + name,
                    test::taggedMp3(3, {{"TALB", "\3" + name}}));  // an album each
  }
  builder->buildDatabase(pendingChanges);
  EXPECT_EQ(faults(), Faults{});  // the maps among them
  // IDs without gaps (no row written twice or given up), parents first.
  EXPECT_EQ(value("select count(*) || min(ID) || max(ID) || sum(PARENT_ID >= ID) from OBJECTS"),
            "21100110210");
  const std::string before = table("select ID, PATH, FOUND from OBJECTS");
  builder->checkDatabase(pendingChanges);
  EXPECT_EQ(before, table("select ID, PATH, FOUND from OBJECTS"));
}

// Mark and sweep: rows met again keep their IDs and details, new paths are
// entered, the rest goes, but never on the strength of a walk that a stop
// request cut short.
TEST_F(SyncTest, CheckKeepsWhatStaysAndSweepsOnlyAfterAWholeWalk) {
  add("a.mp3; gone.jpg; sub/c.jpg; ../other/x.jpg");
  makeBuilder({lib, home + "/other"})->buildDatabase(pendingChanges);
  const std::string kept = "select ID, PATH from OBJECTS where PATH like '" + lib +
                           "%' and PATH not like '%/gone.jpg' and PATH not like '%/new.mpg'";
  const std::string before = table(kept);
  remove("gone.jpg");
  add("sub/new.mpg");
  AppStatus::getInstance().setAppExit(true);
  builder->checkDatabase(pendingChanges);
  EXPECT_EQ(value("select count(*) from OBJECTS"), "7");
  expectRecords({record("Ombrix", 287, "isAppExit is true, exit traverse Dir\n")});
  EXPECT_FALSE(logHas("Delete DB Time = "));

  AppStatus::getInstance().setAppExit(false);
  builder->checkDatabase(pendingChanges);  // "other" is no longer shared
  EXPECT_EQ(table(kept), before);
  EXPECT_EQ(faults(), Faults{});
  EXPECT_EQ(value("select count(*) from OBJECTS where FOUND <> 1"), "0");
  EXPECT_TRUE(logHas(record("Ombrix", 117, "Check shared folder: " + lib + "\n")));
}

TEST_F(SyncTest, ListingsCompareNamesOnly) {
  const std::string work = home + "/nstemp/", diff = home + "/diff ";
  const std::string promoted =
      record("Ombrix", 244, "exec:mv " + work + "findNew.txt " + work + "findOld.txt\n");
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged());  // nothing to compare with yet
  EXPECT_EQ(
      log(),
      record("Ombrix", 262, "exec:rm " + work + "findOld.txt " + work + "findDiff.txt\n") +
          record("Ombrix", 224, "exec:find " + lib + "/  -follow > " + work + "findNew.txt\n") +
          promoted + record("Ombrix", 250, "isChanged = false\n"));
  add("a.jpg");
  EXPECT_TRUE(builder->isChanged());
  expectRecords({record("Ombrix", 232,
                        "exec:" + diff + work + "findOld.txt " + work + "findNew.txt > " + work +
                            "findDiff.txt\n") +
                 promoted + record("Ombrix", 248, "isChanged = true\n")});
  test::writeFile(lib + "/a.jpg", "rewritten in place");
  EXPECT_FALSE(builder->isChanged());
  test::writeFile(lib + "/.hidden.mp3", "");  // listed, so a change, though never catalogued
  EXPECT_TRUE(builder->isChanged());
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  add("b.jpg");
  if (!OMBRIX_CROSSCOMPILING) {  // qemu-user cannot hand a failed exec back through posix_spawn
    EXPECT_FALSE(builder->isChanged());
    expectRecords({record("Ombrix", 266,
                          "exec fail: " + diff + work + "findOld.txt " + work + "findNew.txt > " +
                              work + "findDiff.txt: No such file or directory\n")});
  }
  builder = makeBuilder({});  // find without a folder would list the working directory
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged() || builder->isChanged());
  EXPECT_EQ(test::readFile(work + "findOld.txt"), "");
}

// Additions, removals and renames while running. The walk never enters a
// hidden name, so neither does the adjustment; a file moved to the trash
// only leaves; a dot inside a name hides nothing.
TEST_F(SyncTest, ChangesWhileRunningAreApplied) {
  add("a.mp3; b.jpg; t.jpg");
  startService();
  const std::string movedId = idOf(lib + "/a.mp3");
  add("new.jpg; new/inner/c.mpg; .cache/c.jpg; .cache/sub/d.jpg; .x.jpg; my.photos/p.jpg; "
      ".Trash-1000/files/x.jpg");
  remove("b.jpg");
  ASSERT_EQ(rename((lib + "/a.mp3").c_str(), (lib + "/renamed.mp3").c_str()) |
                rename((lib + "/t.jpg").c_str(), (lib + "/.Trash-1000/files/t.jpg").c_str()),
            0);
  adjust();
  EXPECT_EQ(faults(), Faults{});  // hidden paths are not expected either
  EXPECT_GT(std::stoll(idOf(lib + "/renamed.mp3")), std::stoll(movedId));
  EXPECT_EQ(value("select count(*) from FILEDETAIL where ID = " + movedId), "0");
  expectRecords({record("Ombrix", 466, "Delete: " + lib + "/b.jpg\n")});
  EXPECT_EQ(pending(), 0u);
  // A stop request drops the remaining lines but still refreshes the maps.
  remove("renamed.mp3");
  ASSERT_TRUE(builder->isChanged());
  AppStatus::getInstance().setAppExit(true);
  builder->adjustDatabase(pendingChanges);
  expectRecords({record("Ombrix", 164, "isAppExit is true, exit adjust db\n")});
  EXPECT_EQ(faults(), Faults{"stale: " + lib + "/renamed.mp3"});
}

// A diff file written by hand: every kind of line a diff tool writes, in
// orders find never writes, and lines that come from names holding a line
// feed (a path below no shared folder, a "<" for a path still on disk).
TEST_F(SyncTest, AdjustmentReadsOnlyMarkedLinesInFileOrder) {
  startService();
  add("x/y/a.jpg; .x.jpg; last.jpg; notes.txt; ../secret.jpg");
  test::writeFile(builder->workFiles().findDiffPath,
                  "1a2,9\n> " + lib + "/x/y/a.jpg\n> " + lib + "/x/y\n> " + lib + "/x\n---\n> " +
                      lib + "/.x.jpg\n< " + lib + "/.x.jpg\n\\ No newline at end of file\n> " +
                      lib + "/notes.txt\n< " + lib + "/x/y/a.jpg\n> " + home + "/secret.jpg\n\n> " +
                      lib + "/last.jpg");
  builder->adjustDatabase(pendingChanges);
  EXPECT_EQ(faults(), Faults{});
  EXPECT_EQ(pending(), 0u);  // notes.txt is not catalogued, and needs no retry
  expectRecords({record("Ombrix", 457, "can't find object in database: " + lib + "/.x.jpg\n"),
                 record("Ombrix", 168, "not below a shared folder: " + home + "/secret.jpg\n")});
}

// Changes a lock kept out are retried each cycle until they land, unless a
// newer line about the path took their place or the path went away; a
// change whose commit could not land is neither reported nor lost.
TEST_F(SyncTest, ChangesKeptOutByALockAreRetriedUntilTheyLand) {
  add("old.mp3; back.jpg");
  startService();
  add("new.jpg; gone-again.mp3");
  remove("old.mp3"), remove("back.jpg");
  sqlite3* raw = nullptr;
  auto lock = [&](const char* sql) {
    ASSERT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, sql, nullptr, nullptr, nullptr));
  };
  lock("BEGIN EXCLUSIVE;");
  adjust();
  sqlite3_close(raw);
  EXPECT_EQ(pending(), 4u);
  remove("gone-again.mp3");
  add("back.jpg");
  adjust();  // newer lines about both take the place of their retries
  EXPECT_EQ(pending(), 2u);
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));
  EXPECT_FALSE(builder->retryPendingChanges(pendingChanges));
  EXPECT_EQ(faults(), Faults{});
  EXPECT_EQ(count(log(), "retry "), 2u);
  expectRecords({record("Ombrix", 172, "retry delete: " + lib + "/old.mp3\n") +
                 record("Ombrix", 466, "Delete: " + lib + "/old.mp3\n") +
                 record("Ombrix", 170, "retry insert: " + lib + "/new.jpg\n")});

  add("late.jpg");
  // A reader that never lets go: the rows go in, COMMIT is tried in vain.
  TestSeams::failAt(TestSeams::Fault::CommitBusy, 1, Database::kCommitTries);
  adjust();
  EXPECT_EQ(idOf(lib + "/late.jpg") + std::to_string(count(log(), "late.jpg")), "0");
  // Retried, it is watched (fresh now) and goes away: that is no failure to retry again.
  clockOffset = 0;
  onPoll = [&](int) { unlink((lib + "/late.jpg").c_str()); };
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(faults(), Faults{});
}

// A write group that cannot land (a reader that never lets go) loses what
// it held: the walk knows it, leaves the paths for the next cycle, and
// never hangs a row under a directory ID that SQLite hands out again; a
// check neither sweeps on lost marks nor leaves a row under a wrong parent.
TEST_F(SyncTest, WritesThatCannotLandAreRedoneUnderTheRightParent) {
  add("a/1.jpg; a/b/2.jpg");
  clockOffset = 0;  // fresh files: the group is committed before each wait for the watch
  // The schema, the path index, the priming and the folder's row commit
  // first; the walk's first group holds the row of a (and of a/b when it
  // is read before 1.jpg), and the files come in later groups.
  TestSeams::failAt(TestSeams::Fault::CommitBusy, 5, Database::kCommitTries);
  EXPECT_EQ(builder->buildDatabase(pendingChanges), WalkOutcome::Incomplete);
  EXPECT_EQ(faults(), Faults{});  // a and a/b entered again by their files
  EXPECT_EQ(pendingChanges.inserts.at(0), lib + "/a");
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));
  EXPECT_EQ(pending(), 0u);
  EXPECT_EQ(value("select count(*) from OBJECTS"), "5");

  // A check whose marks are lost deletes nothing, and the next one sweeps.
  clockOffset = 3600;
  remove("a/1.jpg");
  TestSeams::failAt(TestSeams::Fault::CommitBusy, 3, Database::kCommitTries);
  EXPECT_EQ(builder->checkDatabase(pendingChanges), WalkOutcome::Incomplete);
  expectRecords({record("Ombrix", 128, "check incomplete, no row deleted\n")});
  EXPECT_EQ(faults(), Faults{"stale: " + lib + "/a/1.jpg"});
  // Rows that an earlier version left under another parent are moved back.
  const std::string misplace = "update OBJECTS set PARENT_ID = 4242 where PATH like '%/b%'";
  ASSERT_TRUE(Database(dbPath).runScript(misplace.c_str()).isOk());
  EXPECT_EQ(builder->checkDatabase(pendingChanges), WalkOutcome::Complete);
  EXPECT_EQ(faults(), Faults{});
}

// A look-up that fails says nothing about the row: nothing is entered on
// its strength (no second row for a folder, a directory or a file), and
// nothing is swept; a directory that cannot be read is no emptier.
TEST_F(SyncTest, FailedLookUpsAndReadsNeitherDuplicateNorDelete) {
  add("a/x.jpg");
  builder->buildDatabase(pendingChanges);
  const std::string rows = table("select ID, PARENT_ID, PATH from OBJECTS");
  // The folder's own row, then x.jpg as it is read, then a in its turn.
  TestSeams::failAt(TestSeams::Fault::LookupFails, 1, 3);
  EXPECT_EQ(builder->checkDatabase(pendingChanges), WalkOutcome::Incomplete);
  EXPECT_EQ(table("select ID, PARENT_ID, PATH from OBJECTS"), rows);
  EXPECT_EQ(pending(), 3u);
  EXPECT_TRUE(builder->retryPendingChanges(pendingChanges));
  EXPECT_EQ(table("select ID, PARENT_ID, PATH from OBJECTS"), rows);

  remove("a/x.jpg");
  TestSeams::failAt(TestSeams::Fault::ReaddirFails, 1);
  EXPECT_EQ(builder->checkDatabase(pendingChanges), WalkOutcome::Incomplete);
  expectRecords({"fail to read dir :" + lib + "/: Input/output error\n"});
  EXPECT_EQ(table("select ID, PARENT_ID, PATH from OBJECTS"), rows);
}

// A diff tool that fails keeps the previous listing: the change it did not
// report comes again in the next cycle and lands.
TEST_F(SyncTest, ChangeSeenByAFailingDiffComesAgain) {
  startService();
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  test::writeFile(home + "/diff", "#!/bin/sh\nexit 2\n");
  ASSERT_EQ(chmod((home + "/diff").c_str(), 0755), 0);
  add("new.jpg");
  EXPECT_FALSE(builder->isChanged());
  expectRecords({"exec fail: " + home + "/diff " + home + "/nstemp/findOld.txt " + home +
                 "/nstemp/findNew.txt > " + home + "/nstemp/findDiff.txt: exit status 2\n"});
  ASSERT_EQ(unlink((home + "/diff").c_str()) | symlink("/usr/bin/diff", (home + "/diff").c_str()),
            0);
  adjust();
  EXPECT_EQ(faults(), Faults{});
  // So does one whose listing cannot be promoted.
  add("newer.jpg");
  TestSeams::failAt(TestSeams::Fault::ToolFails, 3);  // find, diff, then mv
  EXPECT_FALSE(builder->isChanged());
  adjust();
  EXPECT_EQ(faults(), Faults{});
}

// The kernel's notices end the service loop's sleep only for what a cycle
// acts on. A hidden name, a file rewritten in place and the work directory
// (shared here with the whole home, so this very log is in a shared folder)
// wake nothing; a closed file that a cycle left unsettled does, and so does
// a directory changed while it was listed, before its watch was in place
// (the diff tool adds a file to the new directory). A lost queue wakes at
// once, the pause marker holds every notice back, a stop ends the sleep.
TEST_F(SyncTest, NoticesWakeTheLoopOnlyForWhatACycleActsOn) {
  using Wake = ChangeNotices::Wake;
  add("a.jpg; sub/b.jpg");
  const std::string outside = home + "/.outside";  // listed only through the link lib/ext
  ASSERT_EQ(test::run({"mkdir", outside}), 0);
  ASSERT_EQ(symlink(outside.c_str(), (lib + "/ext").c_str()), 0);
  builder = makeBuilder({home});
  builder->clearSnapshots();
  ASSERT_FALSE(builder->isChanged());  // the first listing puts the watches
  const std::string marker = home + "/nstemp/pause", jpeg = test::medium("48x48.jpg");
  auto wait = [&](unsigned seconds) {
    return builder->waitForChanges(seconds, marker, pendingChanges);
  };
  test::writeFile(lib + "/.hidden.jpg", "");
  test::writeFile(lib + "/a.jpg", jpeg);
  test::writeFile(home + "/nstemp/scratch.txt", "");
  EXPECT_EQ(wait(2), Wake::Tick);  // a notice would have ended it after a quiet second
  pendingChanges.unsettled.push_back(lib + "/sub/b.jpg");
  test::writeFile(lib + "/sub/b.jpg", jpeg);
  EXPECT_EQ(wait(60), Wake::Notices);
  test::writeFile(outside + "/c.jpg", jpeg);
  EXPECT_EQ(wait(60), Wake::Notices);

  test::writeFile(marker, "");
  add("new/c.jpg");
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  const std::string late = lib + "/new/late.jpg";
  test::writeFile(home + "/diff", "#!/bin/sh\n[ -e " + late + " ] || cp " + lib + "/a.jpg " + late +
                                      "\nexec /usr/bin/diff \"$@\"\n");
  ASSERT_EQ(chmod((home + "/diff").c_str(), 0755), 0);
  EXPECT_EQ(wait(2), Wake::Tick);
  ASSERT_EQ(unlink(marker.c_str()), 0);
  ASSERT_TRUE(builder->isChanged());
  EXPECT_EQ(wait(60), Wake::Notices);
  ASSERT_TRUE(builder->isChanged());  // late.jpg: the listing had missed it

  TestSeams::failAt(TestSeams::Fault::NoticesLost, 1);
  test::writeFile(lib + "/.lost", "");
  EXPECT_EQ(wait(60), Wake::Overflow);
  AppStatus::getInstance().setAppExit(true);
  EXPECT_EQ(wait(60), Wake::Exit);
}

// Broken media of every catalogued kind, names that break SQL, and a folder
// whose name would run commands in a shell: every file gets its rows, and
// only the analysis that crashes on purpose (test builds crash on
// "ombrix-crash-test*") fails, costing that file its details alone.
TEST_F(SyncTest, BrokenFilesAndOddNamesAreAllCatalogued) {
  lib = home + "/My Music;touch pwned;$(touch pwned2)";
  builder = makeBuilder({lib});
  add("it's \"quoted\".jpg; back\\slash.mp3; tab\there.mp3; Ελληνικά.jpg; ombrix-crash-test.mp3");
  std::mt19937 random(6);
  std::string noise(4096, '\0');
  for (const MediaTypeEntry* entry = MediaTypeTable; entry->ext[0] != '\0'; ++entry) {
    for (char& c : noise) c = static_cast<char>(random());
    test::writeFile(lib + "/zero." + entry->ext, "");
    test::writeFile(lib + "/random." + entry->ext, noise);
  }
  DirHandle media(opendir(test::kMedia.c_str()));
  while (const dirent* entry = readdir(media.get())) {  // every medium cut in half
    const std::string whole = test::medium(entry->d_name), cut = lib + "/cut-" + entry->d_name;
    if (entry->d_name[0] != '.') test::writeFile(cut, whole.substr(0, whole.size() / 2));
  }
  std::string png = test::medium("120x120.png");
  test::writeFile(lib + "/huge-width.png", png.replace(16, 4, "\xFF\xFF\xFF\xFF"));
  ASSERT_EQ(chdir(home.c_str()), 0);  // where a shell would leave its traces
  startService();
  add("later/$(touch pwned).jpg; later/`touch pwned`.mp3");  // through find and diff
  remove("random.mp3");
  adjust();
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(faults(), Faults{});
  EXPECT_EQ(count(log(), "analysis failed: "), 1u) << log();
  expectRecords({"[Ombrix].[386]\n  analysis failed: " + lib + "/ombrix-crash-test.mp3 ("});
  const std::string details =
      "select DETAILS || ' ' || ifnull(IV_WIDTH, '') from OBJECTS join "
      "FILEDETAIL using (ID) where FILE_NAME = '";
  EXPECT_EQ(value(details + "ombrix-crash-test.mp3'"),
            "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0 ");
  EXPECT_EQ(value(details + "huge-width.png'"),
            "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0 2147483647");
  EXPECT_FALSE(Util::isFileExist(home + "/pwned") || Util::isFileExist(home + "/pwned2"));
}

// A catalogue file that is not one is reported and never replaced; only an
// empty file, which a first build killed before its schema was committed
// leaves, is built afresh.
TEST_F(SyncTest, UnusableCataloguesAreReportedAndLeftAlone) {
  add("a.jpg");
  test::writeFile(dbPath, "");
  EXPECT_FALSE(builder->dbExists());
  builder->buildDatabase(pendingChanges);
  EXPECT_TRUE(builder->dbExists());
  EXPECT_EQ(faults(), Faults{});
  std::mt19937 random(6);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  test::writeFile(dbPath, noise);
  test::writeFile(builder->workFiles().findDiffPath, "> " + lib + "/a.jpg\n");
  builder->checkDatabase(pendingChanges);
  builder->adjustDatabase(pendingChanges);
  expectRecords({record("Ombrix", 100, "update db error: file is not a database\n"),
                 record("Ombrix", 203, "fial insert mapfile is not a database\n")});
  EXPECT_EQ(test::readFile(dbPath), noise);
}

}  // namespace
