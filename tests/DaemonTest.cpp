// tests/DaemonTest.cpp: the real Ombrix binary in a temporary DLNAHOME:
// refusals and a home it cannot use, a life from the first build through a
// paused and an applied cycle to a restart at level 4, a kill -9 in the
// middle of a build, a disk that fills up while files come and go, and what
// a service manager hears (readiness, the status line, the watchdog).
//
// Test builds let each daemon cycle once a second and pause on a marker of
// its own; the tests wait for log records and for what ombrix-check finds,
// never for time.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <thread>

#include "TestHome.h"

namespace {

using test::count;
using test::record;

class DaemonTest : public TestHome {
 protected:
  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
    TestHome::SetUp();
    Logger::getInstance().setLevel(0);  // the daemon writes this log, not the test
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
  }
  bool waitForLog(const std::string& text, size_t times = 1) const {
    return test::waitFor([&] { return count(log(), text) >= times; });
  }
  // Sets the daemon's file size limit (its soft limit; the hard one stays).
  void limitFileSize(rlim_t bytes) const {
    const rlimit limit{bytes, RLIM_INFINITY};
    ASSERT_EQ(prlimit(daemon->id(), RLIMIT_FSIZE, &limit, nullptr), 0);
  }
  std::string output() const { return test::readFile(home + "/output.txt"); }
  // Whether the daemon has a change-notice watch on dir.
  bool watches(const std::string& dir) const {
    struct stat status;
    if (stat(dir.c_str(), &status) != 0) return false;
    char inode[32];
    snprintf(inode, sizeof inode, " ino:%llx ", static_cast<unsigned long long>(status.st_ino));
    const std::string proc = "/proc/" + std::to_string(daemon->id());
    DirHandle fds(opendir((proc + "/fd").c_str()));
    while (const dirent* entry = fds ? readdir(fds.get()) : nullptr) {
      if (test::readFile(proc + "/fdinfo/" + entry->d_name).find(inode) != std::string::npos)
        return true;
    }
    return false;
  }
  // The sockets the daemon holds open.
  size_t openSockets() const {
    const std::string fdDir = "/proc/" + std::to_string(daemon->id()) + "/fd/";
    DirHandle dir(opendir(fdDir.c_str()));
    size_t sockets = 0;
    while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
      char target[64] = "";
      if (readlink((fdDir + entry->d_name).c_str(), target, sizeof target - 1) > 0)
        sockets += std::strncmp(target, "socket:", 7) == 0;
    }
    return sockets;
  }
  test::Daemon& start(std::vector<std::string> args, const std::string& dlnaHome = "",
                      std::vector<std::string> env = {}, const std::string& workingDir = "/") {
    return daemon.emplace(std::move(args), home, std::move(env), workingDir, dlnaHome);
  }

  std::optional<test::Daemon> daemon;
};

// Refusals go to standard output and touch nothing; with nowhere to log,
// standard error says why, once, and the service runs all the same.
TEST_F(DaemonTest, RefusalsAndAHomeItCannotUse) {
  ASSERT_EQ(rmdir((home + "/nstemp").c_str()), 0);
  EXPECT_EQ(start({"6"}).waitForExit(), 0);
  EXPECT_EQ(output(), "usage: Ombrix log_level(0~6) shared_path1 shared_path_2 ...\n");
  EXPECT_EQ(start({"6", lib}, "-").waitForExit(), 0);
  EXPECT_EQ(output(), "can't find DLNAHOME environment!\n");
  EXPECT_FALSE(Util::isDirExist(home + "/nstemp"));
  const std::string missing = home + "/missing";  // no parents are made
  const std::string message = "Ombrix: cannot create the work directory " + missing +
                              "/nstemp: No such file or directory\n";
  start({"6", lib}, missing);
  ASSERT_TRUE(test::waitFor([&] { return count(output(), message) > 0; })) << output();
  EXPECT_EQ(daemon->stop(), 0);
  EXPECT_EQ(count(output(), message), 1u);
  EXPECT_FALSE(Util::isDirExist(missing));
}

// Folders given relative to the working directory are catalogued by their
// absolute paths; changes made while the marker pauses the service are
// applied by the first cycle after it. The restart at level 4 writes the
// level-4 records, and nothing of levels 5 and 6.
TEST_F(DaemonTest, LifeFromTheFirstBuildToARestart) {
  add("a.jpg; b.mp3");
  test::writeFile(home + "/plain.txt", "");
  start({"6", "plain.txt", "lib"}, home + "/", {}, home);
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(openSockets(), 0u) << "no NOTIFY_SOCKET: nobody to tell anything";
  test::writeFile(home + "/pause", "");
  ASSERT_TRUE(waitForLog("sleeping..Do not check files and build db...\n")) << log();
  ASSERT_EQ(unlink((lib + "/a.jpg").c_str()), 0);
  add("new/c.jpg");
  ASSERT_EQ(unlink((home + "/pause").c_str()), 0);
  ASSERT_TRUE(waitForLog("Adjust DB Time = ")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(daemon->stop(), 0);
  const std::string shutdown = record("OmbrixMain", 137, "delete ombrix\n");
  std::string text = log();
  for (const std::string& expected :
       {record("OmbrixMain", 79, "It's not a legal directory: plain.txt\n"),
        record("OmbrixMain", 87, "No Db File, build db.\n"),
        std::string("  Ombrix receive app exit signal.\n")}) {
    EXPECT_EQ(count(text, expected), 1u) << expected;
  }
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), shutdown.size())), shutdown);
  EXPECT_EQ(output(), "") << "nothing on the terminal, not even from snapshots not there";

  const std::string before = table("select PATH, ID from OBJECTS order by ID");
  add("later/d.jpg");  // while the service is down
  start({"4", lib});
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  EXPECT_EQ(daemon->stop(SIGINT), 0);
  text = log();
  for (const std::string& expected :
       {record("OmbrixMain", 96, "It existes db file already.\n"),
        record("Ombrix", 117, "Check shared folder: " + lib + "\n"),
        record("Ombrix", 445, "Insert dir: " + lib + "/later\n"),
        record("OmbrixMain", 40, "Ombrix receive app exit signal.\n")}) {
    EXPECT_EQ(count(text, expected), 1u) << expected;  // and nothing of the first run's log
  }
  std::istringstream lines(text);  // every record is the contract's, and none above level 4
  char source[64];
  int line = 0;
  for (std::string row; std::getline(lines, row);) {
    if (std::sscanf(row.c_str(), "[%63[^]]].[%d]", source, &line) != 2) continue;
    auto contracted = std::find_if(std::begin(kLogContract), std::end(kLogContract), [&](auto& r) {
      return source == std::string(logSourceName(r.source)) && r.line == line;
    });
    ASSERT_NE(contracted, std::end(kLogContract)) << row;
    EXPECT_LE(contracted->level, 4) << row;
  }
  EXPECT_EQ(table("select PATH, ID from OBJECTS order by ID").substr(0, before.size()), before);
  EXPECT_EQ(faults(), std::vector<std::string>{});
}

// Killed with SIGKILL right after the twelfth file's rows were committed:
// each file's two rows are there together or not at all, and the restart's
// check completes the catalogue around what is there, IDs kept.
TEST_F(DaemonTest, KillDuringTheFirstBuildThenARestart) {
  for (int i = 0; i < 30; ++i)
    add(std::string(1, 'a' + i % 3) + "/" + std::to_string(i) + (i % 2 ? ".jpg" : ".mp3"));
  start({"6", lib}, "", {"OMBRIX_TEST_SIGNAL_AT_FILE=12:9"});
  EXPECT_EQ(daemon->waitForExit(), -1);
  EXPECT_EQ(count(log(), "Insert file: ") + count(log(), "Build DB Time = "), 12u);
  EXPECT_EQ(table("select count(*) >= 12 from FILEDETAIL union all select count(*) from OBJECTS "
                  "full join FILEDETAIL using (ID) where TYPE is not 10 and (PATH is null or "
                  "FILEDETAIL.ID is null)"),
            "1\n0\n");
  const std::string before = table("select PATH, ID from OBJECTS order by ID");
  start({"6", lib});
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  EXPECT_EQ(daemon->stop(), 0);
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(table("select PATH, ID from OBJECTS order by ID").substr(0, before.size()), before);
}

// The media server reads while the catalogue is built, changed and checked:
// a reader that holds a read transaction across the daemon's commits (let
// go each time the daemon says it waits for it, then taken again at once)
// only delays the rows, never loses or misplaces them. A diff tool that
// fails for one cycle only delays a change too.
TEST_F(DaemonTest, ReadersAndAFailingDiffOnlyDelayTheRows) {
  for (int i = 0; i < 60; ++i)
    add(std::string(1, 'a' + i % 4) + "/" + std::to_string(i % 3) + "/" + std::to_string(i) +
        (i % 2 ? ".jpg" : ".mp3"));
  const std::string busy = "db busy at commit, retrying\n";
  std::atomic<bool> isDone{false};
  std::thread reader([&] {
    while (!isDone) {
      sqlite3* raw = nullptr;
      sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
      SqliteHandle db(raw);
      sqlite3_busy_timeout(raw, 60000);
      size_t seen = count(log(), busy);
      if (sqlite3_exec(raw, "BEGIN; select count(*) from OBJECTS;", nullptr, nullptr, nullptr) ==
          SQLITE_OK) {
        test::waitFor([&] { return isDone || count(log(), busy) != seen; });
      } else {  // no catalogue yet
        test::waitFor([&] { return isDone || Util::isFileExist(dbPath); });
      }
    }
  });
  // Fails once, when the marker is there, then compares as diff does.
  ASSERT_EQ(unlink((home + "/diff").c_str()), 0);
  test::writeFile(home + "/diff",
                  "#!/bin/sh\nrm \"$0\"-marker 2>/dev/null && exit 2\n"
                  "exec /usr/bin/diff \"$@\"\n");
  ASSERT_EQ(chmod((home + "/diff").c_str(), 0755), 0);
  test::writeFile(home + "/pause", "");  // no cycle before the change is made
  start({"4", lib});
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  add("e/new.jpg; e/f/new.mp3");
  test::writeFile(home + "/diff-marker", "");
  ASSERT_EQ(unlink((home + "/pause").c_str()), 0);
  ASSERT_TRUE(waitForLog("Adjust DB Time = ")) << log();
  EXPECT_EQ(count(log(), "exec fail: " + home + "/diff"), 1u);
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(daemon->stop(), 0);
  start({"4", lib});
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  EXPECT_EQ(daemon->stop(), 0);
  isDone = true;
  reader.join();
  EXPECT_GE(count(log(), busy), 1u);
  EXPECT_FALSE(logHas("db error"));
  EXPECT_EQ(faults(), std::vector<std::string>{});
}

// A full disk, made with a file size limit on the daemon: first every
// listing is cut short, then every catalogue write fails. Once there is room
// again, the catalogue equals the folders, nothing lost or entered twice,
// and rows that stayed keep their IDs. The log is at level 2, so that it
// stays small enough to take the failures' records below each limit.
TEST_F(DaemonTest, NothingIsLostWhileTheDiskIsFull) {
  add("keep.jpg; going.mp3");
  for (int i = 0; i < 40; ++i)
    test::writeFile(lib + "/" + std::string(200, 'f') + std::to_string(i), "");
  start({"2", lib});
  ASSERT_TRUE(test::waitFor([&] { return faults().empty(); })) << log();
  const std::string kept = "select PATH, ID from OBJECTS where PATH not like '%going%' order by ID";
  const std::string before = table(kept);

  limitFileSize(log().size() + 4096);  // the listing (over 8 KiB) no longer fits
  add("new.jpg");
  ASSERT_EQ(unlink((lib + "/going.mp3").c_str()), 0);
  ASSERT_TRUE(
      waitForLog("snapshot not written: " + home + "/nstemp/findNew.txt: File too large\n", 2))
      << log();
  limitFileSize(16384);  // the listing fits, the catalogue (far over 16 KiB) does not
  ASSERT_TRUE(waitForLog("Delete error: ")) << log();
  limitFileSize(RLIM_INFINITY);
  EXPECT_TRUE(test::waitFor([&] { return faults().empty(); })) << testing::PrintToString(faults());
  EXPECT_EQ(table(kept).substr(0, before.size()), before);
  EXPECT_EQ(daemon->stop(), 0);
}

// With a cycle due only once an hour, the kernel's notices start every
// cycle: a hundred files written at once are one cycle; a new directory is
// watched as soon as its notice is read (even while paused), so that what
// is copied into it wakes the loop too; a directory moved in is caught with
// its files, and so is a file put into its subdirectory later (that watch
// came from the listing); a deletion too. No cycle runs that finds nothing,
// and a stop still ends the hour's sleep at once.
TEST_F(DaemonTest, ChangeNoticesStartCyclesLongBeforeTheTick) {
  add("a.jpg");
  start({"6", lib}, "", {"OMBRIX_TEST_INTERVAL=3600"});
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  const std::string jpeg = test::medium("48x48.jpg");
  for (int i = 0; i < 100; ++i) test::writeFile(lib + "/" + std::to_string(i) + ".jpg", jpeg);
  ASSERT_TRUE(waitForLog("Insert file: ", 101)) << log();
  EXPECT_EQ(count(log(), "isChanged = true"), 1u);
  test::writeFile(home + "/pause", "");  // notices are read, but start nothing
  ASSERT_EQ(mkdir((lib + "/new").c_str(), 0755), 0);
  ASSERT_TRUE(test::waitFor([&] { return watches(lib + "/new"); }));  // before any listing
  ASSERT_EQ(unlink((home + "/pause").c_str()), 0);
  add("new/d.jpg");
  ASSERT_TRUE(waitForLog("Insert file: " + lib + "/new/d.jpg")) << log();
  ASSERT_EQ(test::run({"mkdir", "-p", home + "/away/moved/deeper"}), 0);
  test::writeFile(home + "/away/moved/deeper/b.jpg", jpeg);
  ASSERT_EQ(rename((home + "/away/moved").c_str(), (lib + "/moved").c_str()), 0);
  ASSERT_TRUE(waitForLog("Insert file: " + lib + "/moved/deeper/b.jpg")) << log();
  add("moved/deeper/c.mp3");
  ASSERT_TRUE(waitForLog("Insert file: " + lib + "/moved/deeper/c.mp3")) << log();
  ASSERT_EQ(unlink((lib + "/a.jpg").c_str()), 0);
  ASSERT_TRUE(waitForLog("Delete: " + lib + "/a.jpg")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(count(log(), "isChanged = false"), 1u) << "only the first listing's";
  EXPECT_EQ(daemon->stop(), 0);
}

// Without notices the tick still comes. At the watch limit (the first watch
// refused) one record names the setting and the watches the folders need
// (lib and sub; not the hidden directory), and later directories try no
// more. A queue that overflowed runs a cycle at once, even for a change
// that is no notice's business by itself (a hidden name).
TEST_F(DaemonTest, WithoutReliableNoticesTheCycleStillComes) {
  add("sub/a.jpg; .hidden/b.jpg");
  start({"6", lib}, "", {"OMBRIX_TEST_FAULTS=watch:1"});
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  add("sub/new/c.jpg");
  ASSERT_TRUE(waitForLog("Insert file: " + lib + "/sub/new/c.jpg")) << log();
  EXPECT_EQ(count(log(), record("Ombrix", 540,
                                "change notices off: fs.inotify.max_user_watches is too low; the "
                                "shared folders need 2 watches\n")),
            1u);
  EXPECT_EQ(daemon->stop(), 0);

  start({"6", lib}, "", {"OMBRIX_TEST_INTERVAL=3600", "OMBRIX_TEST_FAULTS=overflow:1"});
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  test::writeFile(lib + "/.x", "");
  ASSERT_TRUE(waitForLog("isChanged = true")) << log();
  EXPECT_TRUE(logHas(record("Ombrix", 544, "change notices lost (queue overflow), cycle now\n")));
  EXPECT_EQ(daemon->stop(), 0);
}

// A file still being written when its cycle ends is looked at again as soon
// as it is closed, not at the tick an hour away, and written once, with the
// size it ended at. The clock is real here, so a new file is watched; the
// test writes more after each poll until the watch has seen it grow.
TEST_F(DaemonTest, AGrowingFileIsWrittenOnceClosedWithItsFinalSize) {
  start({"6", lib}, "", {"OMBRIX_TEST_INTERVAL=3600", "LD_PRELOAD"});
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  const std::string video = test::medium("mpeg1.mpeg"), path = lib + "/growing.mpg";
  const size_t chunk = video.size() / 8;
  {
    std::ofstream out(path, std::ios::binary);
    size_t written = 0;
    for (size_t polls = 1; written < video.size() / 2 && !logHas(" <> "); ++polls) {
      out.write(video.data() + written, chunk).flush();
      written += chunk;
      ASSERT_TRUE(waitForLog("  size = ", polls)) << log();
    }
    ASSERT_TRUE(waitForLog("Adjust DB Time = ")) << log();
    out.write(video.data() + written, video.size() - written);
  }
  ASSERT_TRUE(waitForLog("Insert file: " + path)) << log();
  EXPECT_EQ(value("select FILE_SIZE from OBJECTS where PATH like '%/growing.mpg'"),
            std::to_string(video.size()));
  EXPECT_EQ(count(log(), "Insert file: "), 1u);
  EXPECT_EQ(daemon->stop(), 0);
}

// READY=1 comes once the build's last row is written, never before, and
// while the walk waits on a slow analysis the watchdog still hears from it,
// and so does the start timeout. The analysis helpers are held back by a
// wrapper (the emulator seam) until the test has heard two keep-alives; a
// wrapper left behind by a failed run gives up once the home is removed.
TEST_F(DaemonTest, ReadyComesAfterTheBuildAndTheWatchdogIsFedDuringIt) {
  add("a.jpg; b.mp3; c/d.jpg");
  const std::string gate = home + "/gate.sh";
  test::writeFile(gate, "#!/bin/sh\nwhile [ ! -e " + home + "/open ]; do\n  [ -d " + home +
                            " ] || exit 1\n  sleep 0.05\ndone\nexec \"$@\"\n");
  ASSERT_EQ(chmod(gate.c_str(), 0755), 0);
  const std::string address = "@ombrix-test-" + std::to_string(getpid());  // an abstract name
  test::NotifySocket manager(address);
  ASSERT_TRUE(manager.bound());
  start({"6", lib}, "",
        {"NOTIFY_SOCKET=" + address, "WATCHDOG_USEC=1000000", "OMBRIX_TEST_EMULATOR=" + gate});
  ASSERT_TRUE(manager.waitFor("STATUS=Building the catalogue: 0 files so far\n"));
  ASSERT_TRUE(manager.waitFor("WATCHDOG=1\n", manager.count("WATCHDOG=1\n") + 2))
      << testing::PrintToString(manager.messages);
  EXPECT_EQ(manager.count("READY=1"), 0u);
  EXPECT_EQ(count(log(), "Insert file: "), 0u);
  EXPECT_NE(manager.messages.back().find("EXTEND_TIMEOUT_USEC=1000000\n"), std::string::npos);

  test::writeFile(home + "/open", "");
  ASSERT_TRUE(manager.waitFor("READY=1\n")) << testing::PrintToString(manager.messages);
  EXPECT_EQ(count(log(), "Insert file: "), 3u);
  EXPECT_TRUE(logHas("Build DB Time = "));
  EXPECT_FALSE(logHas("analysis failed")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(manager.count("READY=1\nSTATUS=Idle: 3 files; last change "), 1u)
      << testing::PrintToString(manager.messages);
  EXPECT_EQ(daemon->stop(), 0);
}

// The status line follows the service: idle with the catalogue's count,
// paused by the marker, applying a change, idle again, stopping. It goes to
// the service manager only, never into the log. Watchdog variables meant for
// another process are not ours: no keep-alive is sent.
TEST_F(DaemonTest, StatusLineFollowsThePauseAndTheChanges) {
  add("a.jpg; b.mp3");
  const std::string address = home + "/notify";
  test::NotifySocket manager(address);
  ASSERT_TRUE(manager.bound());
  start({"6", lib}, "", {"NOTIFY_SOCKET=" + address, "WATCHDOG_USEC=1000000", "WATCHDOG_PID=1"});
  ASSERT_TRUE(manager.waitFor("READY=1\nSTATUS=Idle: 2 files; last change "))
      << testing::PrintToString(manager.messages);
  test::writeFile(home + "/pause", "");
  ASSERT_TRUE(manager.waitFor("STATUS=Paused by " + home + "/pause\n"));
  add("c.jpg");
  ASSERT_EQ(unlink((home + "/pause").c_str()), 0);
  ASSERT_TRUE(manager.waitFor("STATUS=Applying 1 change\n"));
  ASSERT_TRUE(manager.waitFor("STATUS=Idle: 3 files; last change "));
  EXPECT_EQ(daemon->stop(), 0);
  ASSERT_TRUE(manager.waitFor("STOPPING=1\n"));
  EXPECT_EQ(manager.count("WATCHDOG=1"), 0u);
  for (const char* status : {"Idle: ", "Paused by ", "Applying ", "Building the catalogue"})
    EXPECT_FALSE(logHas(status)) << status;
}

}  // namespace
