// tests/MediaFixtures.h: helpers for the analyser tests.
//
// Media is made at test time, once per suite, in a folder that the suite
// removes again: with the ffmpeg command-line tool, or byte by byte where
// only a header matters. Nothing here comes from files of unknown origin.
#ifndef OMBRIX_TESTS_MEDIAFIXTURES_H
#define OMBRIX_TESTS_MEDIAFIXTURES_H

#include <string>
#include <vector>

#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace media {

// A record filled from path and analysed, as the cataloguing does it.
inline FileInfo analyzed(const std::string& path) {
  FileInfo info;
  info.fill(path);
  info.analyze();
  return info;
}

// Runs ffmpeg on the joined argument lists, with path as its output.
inline bool make(const std::string& path, std::vector<std::string> args,
                 const std::vector<std::string>& more = {}) {
  args.insert(args.end(), more.begin(), more.end());
  args.push_back(path);
  return testhome::ffmpeg(args);
}

// One frame of the given size. RGB, since a subsampled source would round an
// odd size down.
inline std::vector<std::string> stillFrame(int width, int height) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  return {"-f", "lavfi", "-i", "color=c=gray:s=" + size + ",format=rgb24", "-frames:v", "1"};
}

// Ten frames at 25 per second (a rate every MPEG encoder accepts) with as
// much silence: enough for every container to know duration and bit rate.
inline std::vector<std::string> shortClip(int width, int height) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  return {"-f", "lavfi", "-i",       "testsrc=d=0.4:r=25:s=" + size,
          "-f", "lavfi", "-i",       "anullsrc=r=8000:cl=mono",
          "-t", "0.4",   "-shortest"};
}

}  // namespace media

// A suite whose media is made once in its own folder (dir). Derived suites
// call startSuite and set made in their SetUpTestSuite; each test stops at
// once when the media could not be made.
class MediaSuite : public ::testing::Test {
 protected:
  static void startSuite(const std::string& stem) {
    initAvLibrary();
    dir = testhome::makeTempDir(stem);
    made = !dir.empty();
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }
  void SetUp() override { ASSERT_TRUE(made) << "ffmpeg could not make the test media in " << dir; }

  // Writes bytes as name in the suite folder and returns its path.
  static std::string write(const std::string& name, const std::string& bytes) {
    testhome::writeFile(dir + "/" + name, bytes);
    return dir + "/" + name;
  }

  static inline std::string dir;
  static inline bool made = false;
};

#endif  // OMBRIX_TESTS_MEDIAFIXTURES_H
