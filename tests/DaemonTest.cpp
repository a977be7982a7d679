// tests/DaemonTest.cpp: the real Ombrix binary in a temporary DLNAHOME:
// refusals and a home it cannot use, a life from the first build through a
// paused and an applied cycle to a restart at level 4, a kill -9 in the
// middle of a build, and a disk that fills up while files come and go.
//
// Test builds let each daemon cycle once a second and pause on a marker of
// its own; the tests wait for log records and catalogue contents, never for
// time. The daemon runs with its clock two hours ahead (libfaketime; file
// times stay real), so new files count as settled and skip the size watch.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "TestHome.h"

extern char** environ;

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
  void TearDown() override {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    TestHome::TearDown();
  }

  // Starts Ombrix with args in workingDir, DLNAHOME set to dlnaHome unless
  // that is "-", and extra added to the environment; its output goes to
  // home/output.txt. SIGXFSZ is ignored, so that a file size limit makes
  // writes fail with EFBIG, as a full disk makes them fail.
  void start(std::vector<std::string> args, const std::string& dlnaHome,
             std::vector<std::string> env = {}, const std::string& workingDir = "/") {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "DLNAHOME=", 9) && std::strncmp(*entry, "ASAN_OPTIONS=", 13)) {
        env.push_back(*entry);
      }
    }
    const char* asan = getenv("ASAN_OPTIONS");  // the clock library comes before the sanitizer
    const std::string clock = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";
    env.insert(env.end(),
               {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0",
                "OMBRIX_TEST_INTERVAL=1", "OMBRIX_TEST_SLEEP_PATH=" + home + "/pause",
                "DLNAHOME=" + dlnaHome, "FAKETIME=+2h", "NO_FAKE_STAT=1", "DONT_FAKE_MONOTONIC=1",
                "LD_PRELOAD=" + clock});
    if (dlnaHome == "-") env.erase(std::find(env.begin(), env.end(), "DLNAHOME=-"));
    args.insert(args.begin(), OMBRIX_BINARY_DIR "/Ombrix");
    if ((pid = fork()) != 0) return;
    FILE* out = fopen((home + "/output.txt").c_str(), "w");
    dup2(fileno(out), 1), dup2(fileno(out), 2), signal(SIGXFSZ, SIG_IGN);
    std::vector<char*> argp, envp;
    for (std::string& arg : args) argp.push_back(arg.data());
    for (std::string& entry : env) envp.push_back(entry.data());
    argp.push_back(nullptr), envp.push_back(nullptr);
    if (chdir(workingDir.c_str()) == 0) execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  // The daemon's exit status; -1 when a signal ended it, -2 when it runs on.
  int waitForExit() {
    int status = 0;
    if (!test::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) return -2;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int stop(int signalNumber = SIGTERM) {
    kill(pid, signalNumber);
    return waitForExit();
  }
  bool waitForLog(const std::string& text, size_t times = 1) const {
    return test::waitFor([&] { return count(log(), text) >= times; });
  }
  // Sets the daemon's file size limit (its soft limit; the hard one stays).
  void limitFileSize(rlim_t bytes) const {
    const rlimit limit{bytes, RLIM_INFINITY};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0);
  }
  std::string output() const { return test::readFile(home + "/output.txt"); }

  pid_t pid = -1;
};

// Refusals go to standard output and touch nothing; with nowhere to log,
// standard error says why, once, and the service runs all the same.
TEST_F(DaemonTest, RefusalsAndAHomeItCannotUse) {
  ASSERT_EQ(rmdir((home + "/nstemp").c_str()), 0);
  start({"6"}, home);
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(output(), "usage: Ombrix log_level(0~6) shared_path1 shared_path_2 ...\n");
  start({"6", lib}, "-");
  EXPECT_EQ(waitForExit(), 0);
  EXPECT_EQ(output(), "can't find DLNAHOME environment!\n");
  EXPECT_FALSE(Util::isDirExist(home + "/nstemp"));

  const std::string missing = home + "/missing", message =
                                                     "Ombrix: cannot create the work "
                                                     "directory " +
                                                     missing +
                                                     "/nstemp: No such file or directory\n";
  start({"6", lib}, missing);  // no parents are made
  ASSERT_TRUE(test::waitFor([&] { return count(output(), message) > 0; })) << output();
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(count(output(), message), 1u);
  EXPECT_FALSE(Util::isDirExist(missing));
}

// Folders given relative to the working directory are catalogued by their
// absolute paths; changes made while the marker pauses the service are
// applied by the first cycle after it. The restart at level 4 writes the
// level-4 records, and nothing of levels 5 and 6.
TEST_F(DaemonTest, LifeFromTheFirstBuildToARestart) {
  add({{"a.jpg", "48x48.jpg"}, {"b.mp3", "tagged.mp3"}});
  test::writeFile(home + "/plain.txt", "");
  start({"6", "plain.txt", "lib"}, home + "/", {}, home);
  ASSERT_TRUE(waitForLog("Build DB Time = ")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  test::writeFile(home + "/pause", "");
  ASSERT_TRUE(waitForLog("sleeping..Do not check files and build db...\n")) << log();
  ASSERT_EQ(unlink((lib + "/a.jpg").c_str()), 0);
  add({{"new/c.jpg", "48x48.jpg"}});
  ASSERT_EQ(unlink((home + "/pause").c_str()), 0);
  ASSERT_TRUE(waitForLog("Adjust DB Time = ")) << log();
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(stop(), 0);
  const std::string shutdown = record("OmbrixMain", 137, "delete ombrix\n");
  std::string text = log();
  for (const std::string& expected :
       {record("OmbrixMain", 79, "It's not a legal directory: plain.txt\n"),
        record("OmbrixMain", 87, "No Db File, build db.\n"),
        std::string("  Ombrix receive app exit signal.\n")}) {
    EXPECT_EQ(count(text, expected), 1u) << expected;
  }
  EXPECT_EQ(text.substr(text.size() - std::min(text.size(), shutdown.size())), shutdown);

  const std::string before = table("select PATH, ID from OBJECTS order by ID");
  add({{"later/d.jpg", "48x48.jpg"}});  // while the service is down
  start({"4", lib}, home);
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  EXPECT_EQ(stop(SIGINT), 0);
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
  EXPECT_EQ(table("select PATH, ID from OBJECTS where ID <= " + idOf(lib + "/new/c.jpg")), before);
  EXPECT_EQ(faults(), std::vector<std::string>{});
}

// Killed with SIGKILL right after the twelfth file's rows were committed:
// each file's two rows are there together or not at all, and the restart's
// check completes the catalogue around what is there, IDs kept.
TEST_F(DaemonTest, KillDuringTheFirstBuildThenARestart) {
  for (int i = 0; i < 30; ++i) {
    add({{std::string(1, 'a' + i % 3) + "/" + std::to_string(i) + (i % 2 ? ".jpg" : ".mp3"),
          i % 2 ? "48x48.jpg" : "tagged.mp3"}});
  }
  start({"6", lib}, home, {"OMBRIX_TEST_SIGNAL_AT_FILE=12:9"});
  EXPECT_EQ(waitForExit(), -1);
  EXPECT_EQ(count(log(), "Insert file: ") + count(log(), "Build DB Time = "), 12u);
  EXPECT_EQ(table("select count(*) >= 12 from FILEDETAIL union all select count(*) from OBJECTS "
                  "full join FILEDETAIL using (ID) where TYPE is not 10 and (PATH is null or "
                  "FILEDETAIL.ID is null)"),
            "1\n0\n");
  const std::string before = table("select PATH, ID from OBJECTS order by ID");
  start({"6", lib}, home);
  ASSERT_TRUE(waitForLog("Check DB Time = ")) << log();
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(faults(), std::vector<std::string>{});
  EXPECT_EQ(table("select PATH, ID from OBJECTS order by ID").substr(0, before.size()), before);
}

// A full disk, made with a file size limit on the daemon: first every
// listing is cut short, then every catalogue write fails. Once there is room
// again, the catalogue equals the folders, nothing lost or entered twice,
// and rows that stayed keep their IDs. The log is at level 2, so that it
// stays small enough to take the failures' records below each limit.
TEST_F(DaemonTest, NothingIsLostWhileTheDiskIsFull) {
  add({{"keep.jpg", "48x48.jpg"}, {"going.mp3", "tagged.mp3"}});
  for (int i = 0; i < 40; ++i)
    test::writeFile(lib + "/" + std::string(200, 'f') + std::to_string(i), "");
  start({"2", lib}, home);
  ASSERT_TRUE(test::waitFor([&] { return faults().empty(); })) << log();
  const std::string kept = "select PATH, ID from OBJECTS where PATH not like '%going%' order by ID";
  const std::string before = table(kept);

  limitFileSize(log().size() + 4096);  // the listing (over 8 KiB) no longer fits
  add({{"new.jpg", "48x48.jpg"}});
  ASSERT_EQ(unlink((lib + "/going.mp3").c_str()), 0);
  ASSERT_TRUE(
      waitForLog("snapshot not written: " + home + "/nstemp/findNew.txt: File too large\n", 2))
      << log();
  limitFileSize(16384);  // the listing fits, the catalogue (far over 16 KiB) does not
  ASSERT_TRUE(waitForLog("Delete error: ")) << log();
  limitFileSize(RLIM_INFINITY);
  EXPECT_TRUE(test::waitFor([&] { return faults().empty(); })) << testing::PrintToString(faults());
  EXPECT_EQ(table(kept).substr(0, before.size()), before);
  EXPECT_EQ(stop(), 0);
}

}  // namespace
