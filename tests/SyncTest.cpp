// tests/SyncTest.cpp: the synchroniser in process, on real folders and a real
// catalogue: the first build and its walk, the size watch on a fake clock,
// the full check, change detection with the real find and diff, the
// adjustment and its retries, and hostile libraries and catalogues.
//
// The tests look at what the catalogue holds (rows, IDs, parents) and at the
// log records and their order, never at how the parts call each other.
#include <pwd.h>

#include <memory>
#include <random>

#include "Media/AvLibrary.h"
#include "Sync/CatalogBuilder.h"
#include "TestHome.h"

namespace {

using test::count;
using test::record;

class SyncTest : public TestHome {
 protected:
  static void SetUpTestSuite() { initAvLibrary(); }
  void SetUp() override {
    TestHome::SetUp();
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);  // as on the appliance
    builder = makeBuilder({lib});
  }
  // A builder whose size watch reads a clock clockOffset seconds ahead (files
  // are old unless a test says otherwise) and whose one-second sleep only
  // counts and runs onSleep.
  std::unique_ptr<CatalogBuilder> makeBuilder(const std::vector<std::string>& folders) {
    auto made = std::make_unique<CatalogBuilder>(home);
    for (const std::string& folder : folders) made->addSharedPath(folder);
    made->fileCataloguer().sizeWatch().setClock(
        WatchClock{[this] { return time(nullptr) + clockOffset; },
                   [this] { onSleep ? onSleep(++sleeps) : void(++sleeps); }});
    return made;
  }
  // The service's start: the first listing, then the build.
  void startService() {
    builder->clearSnapshots();
    ASSERT_FALSE(builder->isChanged());
    builder->buildDatabase();
  }
  // One cycle that found changes.
  void adjust() {
    ASSERT_TRUE(builder->isChanged());
    builder->adjustDatabase();
  }
  size_t pending() const { return builder->changeAdjustment().pendingChangeCount(); }
  void expectMapsMatchDetails() const {
    for (const std::string map : {"ALBUM", "ARTIST", "GENRE"}) {
      EXPECT_EQ(table("select A_" + map + " from " + map + "MAP order by 1"),
                table("select A_" + map + " from FILEDETAIL group by 1 order by 1"));
    }
  }

  std::unique_ptr<CatalogBuilder> builder;
  time_t clockOffset = 3600;
  int sleeps = 0;
  std::function<void(int)> onSleep;
};

TEST_F(SyncTest, BuildEntersEveryContainerUnderItsParent) {
  add({{"sub/deeper/a.mp3", "tagged.mp3"},
       {"photo.jpg", "48x48.jpg"},
       {"real/b.jpg", "48x48.jpg"},
       {"Rock 'n' Roll/it's.mpg", "mpeg1.mpeg"},
       {".x.mp3", "tagged.mp3"},
       {".hid/t.jpg", "48x48.jpg"},
       {"list.m3u", "48x48.jpg"},
       {"notes.txt", "48x48.jpg"}});
  ASSERT_EQ(mkfifo((lib + "/pipe").c_str(), 0644), 0);
  ASSERT_EQ(symlink("real", (lib + "/link").c_str()) | symlink("..", (lib + "/real/up").c_str()) |
                symlink("nowhere", (lib + "/dangling").c_str()),
            0);
  builder->buildDatabase();

  // Nothing hidden, no playlist, text, FIFO or loop; a link is walked as a
  // directory; each row hangs under its directory's row, the folder's under
  // the root; each file has its details.
  EXPECT_EQ(table("select substr(PATH, " + std::to_string(lib.size() + 1) +
                  "), TYPE, PARENT_ID = ifnull((select ID from OBJECTS p where p.PATH || '/' || "
                  "o.FILE_NAME = o.PATH), 0), ID in (select ID from FILEDETAIL) from OBJECTS o "
                  "order by PATH"),
            "|10|1|0\n/Rock 'n' Roll|10|1|0\n/Rock 'n' Roll/it's.mpg|3|1|1\n/link|10|1|0\n"
            "/link/b.jpg|1|1|1\n/photo.jpg|1|1|1\n/real|10|1|0\n/real/b.jpg|1|1|1\n/sub|10|1|0\n"
            "/sub/deeper|10|1|0\n/sub/deeper/a.mp3|2|1|1\n");
  EXPECT_EQ(idOf(lib), "1001");
  expectMapsMatchDetails();
  for (const std::string& expected :
       {record("Ombrix", 325, "not dir nor file =" + lib + "/pipe\n"),
        record("Ombrix", 325, "not dir nor file =" + lib + "/dangling\n"),
        record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/real/up\n"),
        record("Ombrix", 321, "symbolic link loop skipped: " + lib + "/link/up\n"),
        record("Ombrix", 401, "Insert file: " + lib + "/photo.jpg\n")}) {
    EXPECT_TRUE(logHas(expected)) << expected;
  }
  // A folder shared inside another is entered under the root, then again
  // inside its parent.
  makeBuilder({lib + "/sub", lib})->buildDatabase();
  EXPECT_EQ(table("select PARENT_ID from OBJECTS where PATH like '%/sub' order by ID"),
            "0\n1002\n");
}

// Files changed within five minutes (thirty for a video) are polled once a
// second until two polls in a row see the size known before them.
TEST_F(SyncTest, SizeWatchWaitsForFreshFilesToSettle) {
  builder->buildDatabase();
  Database db(dbPath);
  auto insert = [&](const std::string& name) {
    return builder->fileCataloguer().insertFile(lib + "/" + name, -1, db).outcome;
  };
  const std::tuple<const char*, const char*, time_t, int> cases[] = {
      {"old.mp3", "tagged.mp3", 3600, 0},
      {"fresh.mp3", "tagged.mp3", 120, 2},
      {"fresh.mpg", "mpeg1.mpeg", 600, 2},
      {"fresh.jpg", "48x48.jpg", 600, 0},
      {"old.mpg", "mpeg1.mpeg", 3600, 0}};
  for (const auto& [name, medium, age, polls] : cases) {
    add({{name, medium}});
    clockOffset = age, sleeps = 0;
    EXPECT_EQ(insert(name), FileOutcome::Written);
    EXPECT_EQ(std::to_string(sleeps) + " polls", std::to_string(polls) + " polls") << name;
  }
  EXPECT_EQ(count(log(), "  size = "), 4u);

  // A writer adds 100 bytes during each of the first two seconds; the row
  // has the size the file settled at.
  const std::string growing = lib + "/growing.mp3";
  add({{"growing.mp3", "tagged.mp3"}});
  const int64_t size = test::medium("tagged.mp3").size();
  clockOffset = 0, sleeps = 0;
  onSleep = [&](int second) {
    if (second <= 2) test::writeFile(growing, test::readFile(growing) + std::string(100, '\0'));
  };
  EXPECT_EQ(insert("growing.mp3"), FileOutcome::Written);
  std::string watched;
  for (int64_t at : {size, size + 100, size + 200}) {
    const std::string now = std::to_string(at), next = std::to_string(at + 100);
    watched += record("Ombrix", 516, "size = " + now + "\n") +
               (at < size + 200 ? record("Ombrix", 523, now + " <> " + next + "\n")
                                : record("Ombrix", 516, "size = " + now + "\n"));
  }
  EXPECT_TRUE(logHas(watched)) << log();
  EXPECT_EQ(value("select FILE_SIZE from OBJECTS where FILE_NAME = 'growing.mp3'"),
            std::to_string(size + 200));

  // A file that goes away, or a stop request, ends the watch at the next
  // second; neither file is catalogued.
  add({{"vanishing.mp3", "tagged.mp3"}, {"abandoned.jpg", "48x48.jpg"}});
  onSleep = [&](int) { unlink((lib + "/vanishing.mp3").c_str()); };
  EXPECT_EQ(insert("vanishing.mp3"), FileOutcome::Gone);
  onSleep = [](int) { AppStatus::getInstance().setAppExit(true); };
  EXPECT_EQ(insert("abandoned.jpg"), FileOutcome::Gone);
  EXPECT_EQ(sleeps, 6);
  EXPECT_TRUE(logHas(
      record("Ombrix", 526, "file vanished during size watch: " + lib + "/vanishing.mp3\n")));
  EXPECT_TRUE(logHas(
      record("Ombrix", 519, "isAppExit is true, stop watching " + lib + "/abandoned.jpg\n")));
  EXPECT_EQ(value("select count(*) from OBJECTS"), "7");
}

// The media server must never wait on our lock while we wait on a file:
// what the walk wrote is committed before a watch begins.
TEST_F(SyncTest, WalkCommitsItsRowsBeforeWatchingAFile) {
  add({{"sub/fresh.jpg", "48x48.jpg"}});
  clockOffset = 0;
  std::string seen;
  onSleep = [&](int) { seen += idOf(lib + "/sub") + ";"; };
  builder->buildDatabase();
  EXPECT_EQ(seen, "1002;1002;");
}

// Rows written in groups, and maps refilled from the newest rows only, come
// out as from a walk that wrote each row and refilled the maps after each
// directory. A refill from the newest rows only misses a file written right
// after a subdirectory's refill, which happens unless the subdirectory comes
// last in its folder: two folders of eight entries make that near certain.
TEST_F(SyncTest, GroupedWalkGivesTheCatalogueOfARowByRowWalk) {
  for (const std::string dir : {"p/", "q/"}) {
    for (int i = 0; i < 7; ++i) {
      const std::string name = dir + (i == 0 ? "d/" : "") + std::to_string(i) + ".mp3";
      ASSERT_EQ(test::run({"mkdir", "-p", Util::getParentPath(lib + "/" + name)}), 0);
      test::writeFile(lib + "/" + name, test::taggedMp3(0, name));
    }
  }
  builder->buildDatabase();
  expectMapsMatchDetails();
  // IDs without gaps (no row written twice or given up), parents first.
  EXPECT_EQ(value("select count(*) || min(ID) || max(ID) from OBJECTS"), "1910011019");
  EXPECT_EQ(value("select count(*) from OBJECTS where PARENT_ID >= ID"), "0");
  const std::string before = table("select ID, PATH, FOUND from OBJECTS");
  builder->checkDatabase();
  EXPECT_EQ(before, table("select ID, PATH, FOUND from OBJECTS"));
}

// Mark and sweep: rows met again keep their IDs and details, new paths are
// entered, the rest goes, but never on the strength of a walk that a stop
// request cut short.
TEST_F(SyncTest, CheckKeepsWhatStaysAndSweepsOnlyAfterAWholeWalk) {
  add({{"a.mp3", "tagged.mp3"},
       {"gone.jpg", "48x48.jpg"},
       {"sub/c.jpg", "48x48.jpg"},
       {"../other/x.jpg", "48x48.jpg"}});
  makeBuilder({lib, home + "/other"})->buildDatabase();
  const std::string kept =
      "select ID, PATH from OBJECTS where PATH like '" + lib + "%' and PATH not like '%/gone.jpg'";
  const std::string before = table(kept), goneId = idOf(lib + "/gone.jpg");
  ASSERT_EQ(unlink((lib + "/gone.jpg").c_str()), 0);
  add({{"sub/new.mpg", "mpeg1.mpeg"}});

  AppStatus::getInstance().setAppExit(true);
  builder->checkDatabase();
  EXPECT_EQ(value("select count(*) from OBJECTS"), "7");
  EXPECT_TRUE(logHas(record("Ombrix", 287, "isAppExit is true, exit traverse Dir\n")));
  EXPECT_FALSE(logHas("Delete DB Time = "));

  AppStatus::getInstance().setAppExit(false);
  builder->checkDatabase();  // "other" is no longer shared
  EXPECT_EQ(table(kept + " and PATH not like '%/new.mpg'"), before);
  EXPECT_EQ(value("select count(*) from FILEDETAIL where ID = " + goneId), "0");
  EXPECT_EQ(value("select count(*) from OBJECTS where FOUND <> 1"), "0");
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_TRUE(logHas(record("Ombrix", 117, "Check shared folder: " + lib + "\n")));
  expectMapsMatchDetails();
}

TEST_F(SyncTest, ListingsCompareNamesOnly) {
  const std::string work = home + "/nstemp/";
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged());  // nothing to compare with yet
  EXPECT_EQ(
      log(),
      record("Ombrix", 262, "exec:rm " + work + "findOld.txt " + work + "findDiff.txt\n") +
          record("Ombrix", 224, "exec:find " + lib + "/  -follow > " + work + "findNew.txt\n") +
          record("Ombrix", 244, "exec:mv " + work + "findNew.txt " + work + "findOld.txt\n") +
          record("Ombrix", 250, "isChanged = false\n"));
  add({{"a.jpg", "48x48.jpg"}});
  EXPECT_TRUE(builder->isChanged());
  EXPECT_TRUE(
      logHas(record("Ombrix", 232,
                    "exec:" + home + "/diff " + work + "findOld.txt " + work + "findNew.txt > " +
                        work + "findDiff.txt\n") +
             record("Ombrix", 244, "exec:mv " + work + "findNew.txt " + work + "findOld.txt\n") +
             record("Ombrix", 248, "isChanged = true\n")));
  test::writeFile(lib + "/a.jpg", "rewritten in place");
  EXPECT_FALSE(builder->isChanged());
  test::writeFile(lib + "/.hidden.mp3", "");  // listed, so a change, though never catalogued
  EXPECT_TRUE(builder->isChanged());

  builder = makeBuilder({});  // find without a folder would list the working directory
  builder->clearSnapshots();
  EXPECT_FALSE(builder->isChanged() || builder->isChanged());
  EXPECT_EQ(test::readFile(work + "findOld.txt"), "");
}

// Additions, removals and renames while running. The walk never enters a
// hidden name, so neither does the adjustment; a file moved to the trash
// only leaves; a dot inside a name hides nothing.
TEST_F(SyncTest, ChangesWhileRunningAreApplied) {
  add({{"a.mp3", "tagged.mp3"}, {"b.jpg", "48x48.jpg"}, {"t.jpg", "48x48.jpg"}});
  startService();
  const std::string movedId = idOf(lib + "/a.mp3");
  add({{"new.jpg", "48x48.jpg"},
       {"new/inner/c.mpg", "mpeg1.mpeg"},
       {".cache/c.jpg", "48x48.jpg"},
       {".cache/sub/d.jpg", "48x48.jpg"},
       {".x.jpg", "48x48.jpg"},
       {"my.photos/p.jpg", "48x48.jpg"},
       {".Trash-1000/files/x", "48x48.jpg"}});
  ASSERT_EQ(unlink((lib + "/b.jpg").c_str()) |
                rename((lib + "/a.mp3").c_str(), (lib + "/renamed.mp3").c_str()) |
                rename((lib + "/t.jpg").c_str(), (lib + "/.Trash-1000/files/t.jpg").c_str()),
            0);
  adjust();
  EXPECT_EQ(faults(), std::vector<std::string>{});  // hidden paths are not expected either
  EXPECT_GT(std::stoll(idOf(lib + "/renamed.mp3")), std::stoll(movedId));
  EXPECT_EQ(value("select count(*) from FILEDETAIL where ID = " + movedId), "0");
  EXPECT_TRUE(logHas(record("Ombrix", 466, "Delete: " + lib + "/b.jpg\n")));
  expectMapsMatchDetails();
  EXPECT_EQ(pending(), 0u);

  // A stop request drops the remaining lines but still refreshes the maps.
  ASSERT_EQ(unlink((lib + "/renamed.mp3").c_str()), 0);
  ASSERT_TRUE(builder->isChanged());
  AppStatus::getInstance().setAppExit(true);
  builder->adjustDatabase();
  EXPECT_NE(idOf(lib + "/renamed.mp3"), "");
  EXPECT_TRUE(logHas(record("Ombrix", 164, "isAppExit is true, exit adjust db\n")));
  expectMapsMatchDetails();
}

// A diff file written by hand: every kind of line a diff tool writes, in
// orders find never writes, and lines that come from names holding a line
// feed (a path below no shared folder, a "<" for a path still on disk).
TEST_F(SyncTest, AdjustmentReadsOnlyMarkedLinesInFileOrder) {
  startService();
  add({{"x/y/a.jpg", "48x48.jpg"},
       {".x.jpg", "48x48.jpg"},
       {"last.jpg", "48x48.jpg"},
       {"notes.txt", "48x48.jpg"},
       {"../secret.jpg", "48x48.jpg"}});
  const std::string lines[] = {"1a2,9",
                               "> " + lib + "/x/y/a.jpg",  // before its directories
                               "> " + lib + "/x/y",
                               "> " + lib + "/x",
                               "---",
                               "> " + lib + "/.x.jpg",
                               "< " + lib + "/.x.jpg",
                               "\\ No newline at end of file",
                               "> " + lib + "/notes.txt",  // not catalogued: nothing to retry
                               "< " + lib + "/x/y/a.jpg",
                               "> " + home + "/secret.jpg",
                               "",
                               "> " + lib + "/last.jpg"};
  std::string diff;
  for (const std::string& line : lines) diff += line + "\n";
  test::writeFile(builder->workFiles().findDiffPath, diff.substr(0, diff.size() - 1));
  builder->adjustDatabase();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(pending(), 0u);
  EXPECT_TRUE(logHas(record("Ombrix", 457, "can't find object in database: " + lib + "/.x.jpg\n")));
  EXPECT_TRUE(
      logHas(record("Ombrix", 168, "not below a shared folder: " + home + "/secret.jpg\n")));
}

// Changes a lock kept out are retried each cycle until they land, unless a
// newer line about the path took their place.
TEST_F(SyncTest, ChangesKeptOutByALockAreRetriedUntilTheyLand) {
  add({{"old.mp3", "tagged.mp3"}, {"back.jpg", "48x48.jpg"}});
  startService();
  add({{"new.jpg", "48x48.jpg"}, {"gone-again.mp3", "tagged.mp3"}});
  ASSERT_EQ(unlink((lib + "/old.mp3").c_str()) | unlink((lib + "/back.jpg").c_str()), 0);
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
  SqliteHandle locker(raw);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr));
  adjust();
  EXPECT_EQ(pending(), 4u);
  locker.reset();

  ASSERT_EQ(unlink((lib + "/gone-again.mp3").c_str()), 0);
  add({{"back.jpg", "48x48.jpg"}});
  adjust();  // newer lines about both take the place of their retries
  EXPECT_EQ(pending(), 2u);
  EXPECT_TRUE(builder->retryPendingChanges());
  EXPECT_FALSE(builder->retryPendingChanges());
  EXPECT_EQ(faults(), std::vector<std::string>{});
  expectMapsMatchDetails();
  EXPECT_EQ(count(log(), "retry "), 2u);
  EXPECT_EQ(count(log(), record("Ombrix", 172, "retry delete: " + lib + "/old.mp3\n") +
                             record("Ombrix", 466, "Delete: " + lib + "/old.mp3\n") +
                             record("Ombrix", 170, "retry insert: " + lib + "/new.jpg\n")),
            1u);

  // A reader lets the rows in but keeps COMMIT out: not reported, retried.
  add({{"late.jpg", "48x48.jpg"}});
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dbPath.c_str(), &raw));
  locker.reset(raw);
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(raw, "BEGIN; select 1 from OBJECTS;", nullptr, nullptr, nullptr));
  adjust();
  locker.reset();
  EXPECT_EQ(idOf(lib + "/late.jpg") + std::to_string(logHas("Insert file: " + lib + "/late.jpg")),
            "0");
  EXPECT_TRUE(builder->retryPendingChanges());
  EXPECT_EQ(faults(), std::vector<std::string>{});
}

TEST_F(SyncTest, MissingDiffToolIsReportedAndIsNoChange) {
  // qemu-user runs posix_spawn's clone as a plain fork: a failed exec cannot come back.
  if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "exec failures are not reported under qemu-user";
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  builder->isChanged();
  add({{"a.jpg", "48x48.jpg"}});
  EXPECT_FALSE(builder->isChanged());
  const std::string work = home + "/nstemp/";
  EXPECT_TRUE(
      logHas(record("Ombrix", 266,
                    "exec fail: " + home + "/diff " + work + "findOld.txt " + work +
                        "findNew.txt > " + work + "findDiff.txt: No such file or directory\n")));
}

// Broken media of every catalogued kind and names that break shells, SQL and
// paths, in a folder whose own name would run commands in a shell: every
// file gets its rows, and only the analysis that crashes on purpose (test
// builds crash on "ombrix-crash-test*") fails, costing that file its details.
TEST_F(SyncTest, BrokenFilesAndOddNamesAreAllCatalogued) {
  const std::string odd = home + "/My Music;touch pwned;$(touch pwned2)";
  ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
  lib = odd;
  builder = makeBuilder({odd});
  std::mt19937 random(6);
  std::string noise(4096, '\0');
  for (const MediaTypeEntry* entry = MediaTypeTable; entry->ext[0] != '\0'; ++entry) {
    for (char& c : noise) c = static_cast<char>(random());
    test::writeFile(lib + "/zero." + entry->ext, "");
    test::writeFile(lib + "/random." + entry->ext, noise);
  }
  DirHandle media(opendir(test::kMedia.c_str()));
  while (const dirent* entry = readdir(media.get())) {  // every medium cut in half
    const std::string whole = test::medium(entry->d_name);
    if (entry->d_name[0] != '.')
      test::writeFile(lib + "/cut-" + entry->d_name, whole.substr(0, whole.size() / 2));
  }
  std::string png = test::medium("120x120.png");
  test::writeFile(lib + "/huge-width.png", png.replace(16, 4, "\xFF\xFF\xFF\xFF"));
  const char* const names[] = {
      "with space.mp3",    "it's \"quoted\".jpg", "semi;colon.png",    "$(touch pwned).jpg",
      "`touch pwned`.mp3", "back\\slash.jpg",     "percent %s %n.jpg", "tab\there.mp3",
      "-dash.jpg",         "Ελληνικά.jpg",        "日本語の歌.mp3",    "ombrix-crash-test.mp3"};
  for (const char* name : names) add({{std::string("odd/") + name, "tagged.mp3"}});
  // 100 nested directories, and a path of 4095 bytes, the most PATH_MAX allows.
  std::string deep = "deep", longest = "long";
  for (int level = 1; level <= 100; ++level) deep += "/d" + std::to_string(level);
  while (longest.size() + lib.size() < 3840) longest += "/" + std::string(200, 'L');
  longest += "/" + std::string(4095 - lib.size() - longest.size() - 6, 'f') + ".jpg";
  add({{deep + "/bottom.mp3", "tagged.mp3"}, {longest, "48x48.jpg"}});
  ASSERT_EQ(chdir(home.c_str()), 0);  // where a shell would leave its traces
  startService();
  EXPECT_EQ(faults(), std::vector<std::string>{});

  // The odd names again while running, some removed, through find and diff.
  for (const char* name : names) add({{std::string("later/") + name, "48x48.jpg"}});
  for (const char* gone : {"/odd/with space.mp3", "/odd/$(touch pwned).jpg", "/random.mp3"}) {
    ASSERT_EQ(unlink((lib + gone).c_str()), 0);
  }
  adjust();
  ASSERT_EQ(chdir("/"), 0);
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(lib.size() + 1 + longest.size(), 4095u);
  EXPECT_NE(idOf(lib + "/" + longest), "");
  EXPECT_EQ(count(log(), "analysis failed: "), 2u) << log();  // the crash test file, twice
  EXPECT_EQ(
      count(log(), "[Ombrix].[386]\n  analysis failed: " + lib + "/odd/ombrix-crash-test.mp3 ("),
      1u);
  const std::string details =
      "select DETAILS || ' ' || ifnull(IV_WIDTH, '') from OBJECTS join FILEDETAIL "
      "using (ID) where PATH = '" +
      Util::escapeQuote(lib);
  EXPECT_EQ(value(details + "/odd/ombrix-crash-test.mp3'"),
            "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0 ");
  EXPECT_EQ(value(details + "/huge-width.png'"),
            "DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0 2147483647");
  EXPECT_FALSE(Util::isFileExist(home + "/pwned") || Util::isFileExist(home + "/pwned2"));
}

// Catalogue files that are not, or not writable: reported, never replaced;
// only an empty file, which a first build killed before its schema was
// committed leaves, is built afresh.
TEST_F(SyncTest, UnusableCataloguesAreReportedAndLeftAlone) {
  add({{"a.jpg", "48x48.jpg"}});
  test::writeFile(dbPath, "");
  EXPECT_FALSE(builder->dbExists());
  builder->buildDatabase();
  EXPECT_TRUE(builder->dbExists());
  EXPECT_EQ(faults(), std::vector<std::string>{});

  std::mt19937 random(6);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  test::writeFile(dbPath, noise);
  test::writeFile(builder->workFiles().findDiffPath, "> " + lib + "/a.jpg\n");
  builder->checkDatabase();
  builder->adjustDatabase();
  EXPECT_TRUE(logHas(record("Ombrix", 100, "update db error: file is not a database\n")));
  EXPECT_TRUE(logHas(record("Ombrix", 203, "fial insert mapfile is not a database\n")));
  EXPECT_EQ(test::readFile(dbPath), noise);

  // Read-only. The superuser writes through any file mode, so as root the
  // check runs in a child process as nobody.
  ASSERT_EQ(unlink(dbPath.c_str()), 0);
  builder->buildDatabase();
  const std::string built = test::readFile(dbPath);
  const passwd* nobody = getpwnam("nobody");
  ASSERT_TRUE(nobody != nullptr && chmod(dbPath.c_str(), 0444) == 0);
  ASSERT_EQ(chmod(home.c_str(), 0755) | chmod(logPath.c_str(), 0666), 0);
  if (geteuid() != 0) {
    builder->checkDatabase();
  } else if (pid_t pid = fork(); pid == 0) {
    if (setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) builder->checkDatabase();
    _exit(0);
  } else {
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  }
  EXPECT_TRUE(
      logHas(record("Ombrix", 100, "update db error: attempt to write a readonly database\n")));
  EXPECT_EQ(test::readFile(dbPath), built);
}

}  // namespace
