// tests/CheckToolTest.cpp: ombrix-check against a catalogue the real daemon
// built from a library with the walk's awkward cases (hidden entries, other
// kinds, a FIFO, a link to a directory, a link back to an ancestor): clean
// while the daemon idles, each finding made on purpose, what it says during a
// cycle, and the catalogues it cannot check.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "TestHome.h"

namespace {

const std::string kCheck = std::string(OMBRIX_BINARY_DIR) + "/tools/ombrix-check";
const std::string kSong = test::kMedia + "/tagged.mp3";
const std::string kClean =
    "; 0 missing, 0 stale, 0 parent, 0 detail, 0 duplicate, 0 map, 0 database";

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CheckToolTest : public ::testing::Test {
 protected:
  // One catalogue built by the daemon for the suite; each test starts from a
  // copy of it and a library made afresh.
  static void SetUpTestSuite() {
    if (OMBRIX_CROSSCOMPILING) return;  // every test skips there
    home = ::testing::TempDir() + "ombrix-check-XXXXXX";
    ASSERT_NE(mkdtemp(home.data()), nullptr);
    lib = home + "/lib";
    ASSERT_EQ(mkdir((home + "/nstemp").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/usr/bin/diff", (home + "/diff").c_str()), 0);
    makeLibrary();
    test::Daemon daemon({"4", lib}, home, {}, home);
    ASSERT_TRUE(
        test::waitFor([] { return test::count(test::readFile(logPath()), "Build DB Time = "); }));
    ASSERT_EQ(daemon.stop(), 0);
    isBuilt = test::run({"cp", dbPath(), home + "/built.db"}) == 0;
  }
  static void TearDownTestSuite() { test::run({"rm", "-rf", home}); }

  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the daemon binary does not run on the build host";
    ASSERT_TRUE(isBuilt) << "the daemon did not build the suite's catalogue";
    setenv("DLNAHOME", home.c_str(), 1);
    restore();
  }

  // The library as made and the catalogue as the daemon built it; no log.
  static void restore() {
    makeLibrary();
    ASSERT_EQ(test::run({"cp", home + "/built.db", dbPath()}), 0);
    unlink(logPath().c_str());
  }

  // lib: a song and a folder with a song and a photo, which a link reaches
  // again; hidden entries, a text file, a playlist and a FIFO the walk leaves
  // out; a link back up, which it skips.
  static void makeLibrary() {
    test::run({"rm", "-rf", lib});
    ASSERT_EQ(test::run({"mkdir", "-p", lib + "/sub", lib + "/.hidden"}), 0);
    for (const char* path : {"/song.mp3", "/sub/song.mp3", "/.hidden/song.mp3", "/.song.mp3"}) {
      ASSERT_EQ(test::run({"cp", kSong, lib + path}), 0);
    }
    ASSERT_EQ(test::run({"cp", test::kMedia + "/48x48.jpg", lib + "/sub/photo.jpg"}), 0);
    test::writeFile(lib + "/notes.txt", "notes\n");
    test::writeFile(lib + "/list.m3u", "song.mp3\n");
    ASSERT_EQ(mkfifo((lib + "/pipe.mp3").c_str(), 0644), 0);
    ASSERT_EQ(symlink("sub", (lib + "/link").c_str()), 0);
    ASSERT_EQ(symlink("..", (lib + "/sub/up").c_str()), 0);
  }

  static std::string dbPath() { return home + "/nstemp/daskor.db"; }
  static std::string logPath() { return home + "/nstemp/Ombrix.log"; }

  // Runs ombrix-check with args; its standard output and error go to output.
  static int check(std::vector<std::string> args, std::string& output) {
    args.insert(args.begin(), kCheck);
    int status = test::run(args, home + "/check.out");
    output = test::readFile(home + "/check.out");
    return status;
  }

  static void runSql(const std::string& sql) {
    Status status = Database(dbPath()).runScript(sql.c_str());
    ASSERT_TRUE(status.isOk()) << sql << ": " << status.message;
  }

  // Every "@" of text stands for the library's path.
  static std::string atLib(std::string text) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
      text.replace(at, 1, lib);
    }
    return text;
  }

  static inline std::string home, lib;
  static inline bool isBuilt = false;
};

// The daemon restarted on its catalogue checks it and idles: the rows are
// lib, song.mp3, sub with its two files, and the same three through link.
TEST_F(CheckToolTest, CatalogueOfTheDaemonIsCleanWhileItIdles) {
  test::Daemon daemon({"4", lib}, home, {}, home);
  ASSERT_TRUE(
      test::waitFor([] { return test::count(test::readFile(logPath()), "Check DB Time = "); }));
  std::string output;
  EXPECT_EQ(0, check({lib}, output));
  EXPECT_EQ("summary: 8 paths on disk, 8 rows" + kClean + "\n", output);
  // A relative folder with a trailing "/" names the same paths.
  EXPECT_EQ(0, test::run({"sh", "-c", "cd \"$1\" && exec \"$2\" lib/", "sh", home, kCheck}));
  EXPECT_EQ(0, daemon.stop());
}

TEST_F(CheckToolTest, EachDifferenceIsNamed) {
  struct Case {
    const char* line;  // expected in the output, "@" for the library
    std::function<void()> change;
  };
  auto sql = [](const char* text) { return [text] { runSql(atLib(text)); }; };
  const Case cases[] = {
      {"missing: @/new.mp3\n",
       [] {
         test::run({"cp", kSong, lib + "/new.mp3"});
       }},
      {"missing: @/new\n", [] { mkdir((lib + "/new").c_str(), 0755); }},
      {"stale: @/sub/photo.jpg\n", [] { unlink((lib + "/sub/photo.jpg").c_str()); }},
      {"stale: @/notes.txt\n",
       sql("insert into OBJECTS (TYPE, PARENT_ID, PATH) values (2, 1001, '@/notes.txt')")},
      {"parent: @/sub\n", sql("update OBJECTS set PARENT_ID = 0 where PATH = '@/sub'")},
      {"detail: @/song.mp3\n",
       sql("delete from FILEDETAIL where ID = (select ID from OBJECTS where PATH = '@/song.mp3')")},
      {"detail: ID 99999\n", sql("insert into FILEDETAIL (ID) values (99999)")},
      {"duplicate: @/sub\n",
       sql("insert into OBJECTS (TYPE, PARENT_ID, PATH) select TYPE, PARENT_ID, PATH from "
           "OBJECTS where PATH = '@/sub'")},
      {"map: ALBUMMAP Ghost\n", sql("insert into ALBUMMAP (A_ALBUM) values ('Ghost')")},
      {"map: ALBUMMAP Record\n", sql("delete from ALBUMMAP where A_ALBUM = 'Record'")},
      {"\ndatabase: ",
       [] {
         // Garbles the first bytes of an index that no check query reads.
         std::string page = test::table(
             dbPath(), "select rootpage from sqlite_master where name = 'IDX_FILE_NAME'");
         std::string pageSize = test::table(dbPath(), "pragma page_size");
         FdHandle file(open(dbPath().c_str(), O_WRONLY));
         ASSERT_EQ(pwrite(file.get(), "\xff\xff\xff\xff\xff\xff\xff\xff", 8,
                          (std::stol(page) - 1) * std::stol(pageSize)),
                   8);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    restore();
    c.change();
    std::string output;
    EXPECT_EQ(1, check({lib}, output));
    EXPECT_PRED2(contains, output, atLib(c.line));
  }
}

// Differences the daemon has not got to yet are not its fault: the output
// says what its listing and its log show.
TEST_F(CheckToolTest, DifferencesDuringACycleAreExplained) {
  test::writeFile(logPath(), "[Ombrix].[248]\n  isChanged = true\n");
  test::run({"cp", kSong, lib + "/new.mp3"});
  std::string output;
  EXPECT_EQ(1, check({"-q", lib}, output));
  EXPECT_EQ(1u, test::count(output, "\n")) << output;
  EXPECT_PRED2(contains, output, "1 of them changed after the daemon last listed the folders");
  EXPECT_PRED2(contains, output, "the daemon's log shows it applying the changes");
  test::writeFile(logPath(),
                  test::readFile(logPath()) + "[OmbrixMain].[125]\n  Adjust DB Time = 0 sec.\n");
  EXPECT_EQ(1, check({"-q", lib}, output));
  EXPECT_FALSE(contains(output, "log shows")) << output;
}

TEST_F(CheckToolTest, WhatCannotBeCheckedIsRefused) {
  struct Case {
    const char* message;  // on standard error
    std::function<void()> change;
    const char* folder;  // below the service home
  };
  const Case cases[] = {
      {"file is not a database", [] { test::writeFile(dbPath(), std::string(4096, 'x')); }, "/lib"},
      {"no catalogue at ", [] { unlink(dbPath().c_str()); }, "/lib"},
      {"not a directory that can be opened: ", [] {}, "/lib/notes.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    restore();
    c.change();
    std::string output;
    EXPECT_EQ(2, check({home + c.folder}, output));
    EXPECT_EQ(0u, output.rfind("ombrix-check: ", 0)) << output;
    EXPECT_PRED2(contains, output, c.message);
  }
}

}  // namespace
