// tests/ProbeTest.cpp: the ombrix-probe command, run as a user would run it
// on an MP3, a JPEG and a WMA made with ffmpeg once for the suite.
#include <string>
#include <vector>

#include "TestHome.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = testhome::makeTempDir("ombrix-probe");
    ASSERT_FALSE(dir.empty());
    const std::vector<std::string> sine = {"-f", "lavfi", "-i", "sine=duration=0.3"};
    std::vector<std::string> mp3 = sine, wma = sine;
    mp3.insert(mp3.end(), {"-c:a", "libmp3lame", dir + "/song.mp3"});
    wma.insert(wma.end(), {"-c:a", "wmav2", "-metadata", "genre=Rock", dir + "/tune.WMA"});
    ASSERT_TRUE(testhome::ffmpeg(mp3));
    ASSERT_TRUE(testhome::ffmpeg(wma));
    ASSERT_TRUE(testhome::ffmpeg(
        {"-f", "lavfi", "-i", "color=c=gray:s=150x150", "-frames:v", "1", dir + "/photo.jpg"}));
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }

  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the probe binary is not run in a cross build";
  }

  // Runs the probe on paths; returns its exit status and puts standard output
  // and standard error, interleaved, in output.
  static int runProbe(std::vector<std::string> paths, std::string& output) {
    paths.insert(paths.begin(), OMBRIX_BINARY_DIR "/tools/ombrix-probe");
    int status = testhome::runProgram(paths, dir + "/probe.out");
    output = testhome::readFile(dir + "/probe.out");
    return status;
  }

  // The lines printed for path: from its "== path" line to the next one.
  static std::string section(const std::string& output, const std::string& path) {
    size_t start = output.find("== " + path + "\n");
    if (start == std::string::npos) return "";
    return output.substr(start, output.find("\n== ", start) - start);
  }

  static std::string dir;
};

std::string ProbeTest::dir;

TEST_F(ProbeTest, PrintsProfilesAndForAsfFilesTheParserFindings) {
  std::string output;
  ASSERT_EQ(0, runProbe({dir + "/song.mp3", dir + "/photo.jpg", dir + "/tune.WMA"}, output))
      << output;
  std::string mp3 = section(output, dir + "/song.mp3");
  EXPECT_PRED2(contains, mp3, "\nobjType: 2\n");
  EXPECT_PRED2(contains, mp3, "\nmediaType: MP3\n");
  EXPECT_PRED2(contains, mp3, "\nresult: 1\ndetails: DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  EXPECT_FALSE(contains(mp3, "asf."));
  std::string jpeg = section(output, dir + "/photo.jpg");
  EXPECT_PRED2(contains, jpeg, "\nwidth: 150\nheight: 150\n");
  EXPECT_PRED2(contains, jpeg, "\ndetails: DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=0");
  std::string wma = section(output, dir + "/tune.WMA");
  EXPECT_PRED2(contains, wma,
               "\nasf.parse: 0\nasf.artist: Unknown\nasf.album: Unknown\n"
               "asf.genre: Rock\n");
  EXPECT_PRED2(contains, wma, "\nasf.waveFormat.nChannels: 1\n");
}

TEST_F(ProbeTest, UnreadablePathsGetAMessageAndExitOne) {
  std::string missing = dir + "/missing.mp3";
  std::string output;
  EXPECT_EQ(1, runProbe({missing, dir + "/song.mp3", dir}, output));
  EXPECT_PRED2(contains, output,
               "ombrix-probe: cannot read " + missing + ": No such file or directory\n");
  EXPECT_PRED2(contains, output, "ombrix-probe: cannot read " + dir + ": is a directory\n");
  EXPECT_PRED2(contains, section(output, dir + "/song.mp3"), "\nmediaType: MP3\n");
  EXPECT_EQ(2, runProbe({}, output));
  EXPECT_PRED2(contains, output, "usage: ombrix-probe PATH...");
}

}  // namespace
