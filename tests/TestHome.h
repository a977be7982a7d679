// tests/TestHome.h: shared fixtures for tests that use real files.
//
// Each test gets its own temporary service home (with nstemp/) and removes it
// again; media is made with the ffmpeg command-line tool.
#ifndef OMBRIX_TESTS_TESTHOME_H
#define OMBRIX_TESTS_TESTHOME_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testhome {

// Runs argv without a shell and returns its exit status (-1 when it could
// not run or was killed). Output goes to /dev/null unless outputPath is given.
inline int runProgram(const std::vector<std::string>& argv, const std::string& outputPath = "") {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    std::string out = outputPath.empty() ? "/dev/null" : outputPath;
    FILE* sink = fopen(out.c_str(), "w");
    if (sink != nullptr) {
      dup2(fileno(sink), 1);
      dup2(fileno(sink), 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline void removeTree(const std::string& path) {
  if (!path.empty()) runProgram({"rm", "-rf", path});
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline bool haveProgram(const std::string& name) {
  return runProgram({"sh", "-c", "command -v " + name}) == 0;
}

// Makes a fresh directory under the test temp dir and returns its path
// (without trailing slash).
inline std::string makeTempDir(const std::string& stem = "ombrix") {
  std::string pattern = ::testing::TempDir() + stem + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

// Runs ffmpeg quietly with the given arguments; true when it succeeded.
inline bool ffmpeg(std::vector<std::string> args) {
  args.insert(args.begin(), {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"});
  return runProgram(args) == 0;
}

}  // namespace testhome

// A fixture with its own service home: home/nstemp exists, catalogPath points
// at home/nstemp/daskor.db (not created).
class TestHome : public ::testing::Test {
 protected:
  void SetUp() override {
    home = testhome::makeTempDir();
    ASSERT_FALSE(home.empty());
    ASSERT_EQ(mkdir((home + "/nstemp").c_str(), 0755), 0);
    catalogPath = home + "/nstemp/daskor.db";
  }
  void TearDown() override { testhome::removeTree(home); }

  std::string home;
  std::string catalogPath;
};

#endif  // OMBRIX_TESTS_TESTHOME_H
