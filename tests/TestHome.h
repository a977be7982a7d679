// tests/TestHome.h: what the test files share: a temporary service home with
// a library folder, the media made once per run, reading a catalogue back,
// and running programs.
//
// The media are made by the CTest fixture MakeMedia (tests/make-media.sh)
// into the build tree before any test runs. Nothing here waits for time to
// pass: waitFor polls a condition, and its limit only ends a test that has
// already failed.
#ifndef OMBRIX_TESTS_TESTHOME_H
#define OMBRIX_TESTS_TESTHOME_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Common/AppStatus.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Database/Database.h"
#include "Media/MediaTypes.h"

namespace test {

const std::string kMedia = OMBRIX_MEDIA_DIR;

inline std::string readFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The bytes of a medium the fixture made.
inline std::string medium(const std::string& name) {
  return readFile(kMedia + "/" + name);
}

// An MP3 whose ID3v2.3 tag holds text as artist, album, genre and title;
// encoding 0 is one byte a character, 1 is UTF-16 after a byte-order mark.
inline std::string taggedMp3(char encoding, const std::string& text) {
  std::string data = encoding + text, body, tag("ID3\x03\x00\x00", 6);
  for (const char* id : {"TPE1", "TALB", "TCON", "TIT2"}) {
    body += id;
    for (int shift = 24; shift >= 0; shift -= 8) body += static_cast<char>(data.size() >> shift);
    body += std::string(2, '\0') + data;  // no frame flags
  }
  // The tag's size is "synchsafe": seven bits a byte.
  for (int shift = 21; shift >= 0; shift -= 7)
    tag += static_cast<char>((body.size() >> shift) & 0x7F);
  return tag + body + medium("bare.mp3");
}

// Runs argv without a shell, output to outputPath; its exit status, or -1.
inline int run(const std::vector<std::string>& argv, const std::string& outputPath = "/dev/null") {
  pid_t pid = fork();
  if (pid == 0) {
    FILE* out = fopen(outputPath.c_str(), "w");
    if (out != nullptr) dup2(fileno(out), 1), dup2(fileno(out), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A log record as the log writes it.
inline std::string record(const char* source, int line, const std::string& message) {
  return std::string("[") + source + "].[" + std::to_string(line) + "]\n  " + message + "\n";
}

// Polls condition every 20 ms; false once the limit has passed (ten times
// longer under qemu, where everything is slower).
inline bool waitFor(const std::function<bool()>& condition, int seconds = 60) {
  auto end = std::chrono::steady_clock::now() +
             std::chrono::seconds(seconds * (OMBRIX_CROSSCOMPILING ? 10 : 1));
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Runs a query on a read-only connection of its own: the rows as text,
// cells joined by "|", each row ending in "\n", NULL as "NULL". A query that
// fails gives SQLite's message instead.
inline std::string table(const std::string& dbPath, const std::string& sql) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  SqliteHandle db(raw);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    return std::string("error: ") + sqlite3_errmsg(raw) + "\n";
  }
  std::string text;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* cell = sqlite3_column_text(statement, i);
      text += (i ? "|" : "") + std::string(cell ? reinterpret_cast<const char*>(cell) : "NULL");
    }
    text += "\n";
  }
  sqlite3_finalize(statement);
  return text;
}

// The paths a catalogue of folder holds after a whole walk: the folder,
// every directory and every file of a catalogued kind, hidden names left out.
inline void addExpectedPaths(const std::string& folder, std::set<std::string>& paths) {
  paths.insert(folder);
  DirHandle dir(opendir(folder.c_str()));
  while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
    const std::string name = entry->d_name, path = folder + "/" + name;
    size_t dot = name.rfind('.');
    ObjType type = dot == std::string::npos ? ObjType::None : lookupObjType(name.substr(dot + 1));
    if (name[0] == '.') continue;
    if (Util::isDirExist(path)) {
      addExpectedPaths(path, paths);
    } else if (type != ObjType::None && type != ObjType::Playlist && Util::isFileExist(path)) {
      paths.insert(path);
    }
  }
}

// Everything that makes the catalogue differ from the folders: a path
// missing or extra, a path with two rows, a file without details or the
// reverse, a row under the wrong parent. Empty when the two agree.
inline std::vector<std::string> catalogueFaults(const std::string& dbPath,
                                                const std::vector<std::string>& folders) {
  std::set<std::string> expected;
  for (const std::string& folder : folders) addExpectedPaths(folder, expected);
  std::vector<std::string> faults;
  std::istringstream paths(table(dbPath, "select PATH from OBJECTS"));
  for (std::string path; std::getline(paths, path);) {
    if (expected.erase(path) == 0) faults.push_back("extra: " + path);
  }
  for (const std::string& path : expected) faults.push_back("missing: " + path);
  std::istringstream others(table(
      dbPath,
      "select 'two rows: ' || PATH from OBJECTS group by PATH having count(*) > 1 union all "
      "select 'no object: ' || ID from FILEDETAIL where ID not in (select ID from OBJECTS) "
      "union all select 'no details: ' || PATH from OBJECTS where TYPE <> 10 and ID not in "
      "(select ID from FILEDETAIL) union all select 'wrong parent: ' || c.PATH from OBJECTS c "
      "left join OBJECTS p on p.ID = c.PARENT_ID where c.PARENT_ID <> 0 and (p.ID is null or "
      "c.PATH <> p.PATH || '/' || c.FILE_NAME)"));
  for (std::string fault; std::getline(others, fault);) faults.push_back(fault);
  return faults;
}

}  // namespace test

namespace testhome {
// Runs ffmpeg quietly on args; true when it succeeded.
inline bool ffmpeg(std::vector<std::string> args) {
  args.insert(args.begin(), {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"});
  return test::run(args) == 0;
}
}  // namespace testhome

// A service home of its own for each test: home/nstemp, an empty library
// folder home/lib, and the log at level 6 in home/nstemp/Ombrix.log.
class TestHome : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "ombrix-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home = pattern, lib = home + "/lib";
    dbPath = home + "/nstemp/daskor.db", logPath = home + "/nstemp/Ombrix.log";
    ASSERT_EQ(mkdir((home + "/nstemp").c_str(), 0755) | mkdir(lib.c_str(), 0755), 0);
    Logger::getInstance().setLogPath(logPath);
    Logger::getInstance().setLevel(6);
  }
  void TearDown() override {
    Logger::getInstance().setLevel(0);
    AppStatus::getInstance().setAppExit(false);
    test::run({"rm", "-rf", home});
  }

  // Puts copies of media into the library: a path below lib, then the
  // medium; the directories on the way are made.
  void add(const std::vector<std::pair<std::string, std::string>>& files) const {
    for (const auto& [path, name] : files) {
      ASSERT_EQ(test::run({"mkdir", "-p", Util::getParentPath(lib + "/" + path)}), 0);
      test::writeFile(lib + "/" + path, test::medium(name));
    }
  }
  std::string log() const { return test::readFile(logPath); }
  bool logHas(const std::string& text) const { return log().find(text) != std::string::npos; }
  std::string table(const std::string& sql) const { return test::table(dbPath, sql); }
  // The single value of a query, "" when there is none.
  std::string value(const std::string& sql) const {
    std::string text = table(sql);
    return text.substr(0, text.find('\n'));
  }
  std::string idOf(const std::string& path) const {
    return value("select ID from OBJECTS where PATH = '" + Util::escapeQuote(path) + "'");
  }
  std::vector<std::string> faults(const std::vector<std::string>& folders = {}) const {
    return test::catalogueFaults(dbPath, folders.empty() ? std::vector<std::string>{lib} : folders);
  }

  std::string home, lib, dbPath, logPath;
};

#endif  // OMBRIX_TESTS_TESTHOME_H
