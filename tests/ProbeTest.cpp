// tests/ProbeTest.cpp: the ombrix-probe command, run as a user would run it
// on an MP3, a JPEG and a WMA made with ffmpeg once for the suite.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "TestHome.h"

namespace {

const std::string kProbe = OMBRIX_BINARY_DIR "/tools/ombrix-probe";

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = testhome::makeTempDir("ombrix-probe");
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.3", "-c:a",
                                  "libmp3lame", dir + "/song.mp3"}));
    ASSERT_TRUE(testhome::ffmpeg(
        {"-f", "lavfi", "-i", "color=c=gray:s=150x150", "-frames:v", "1", dir + "/photo.jpg"}));
    ASSERT_TRUE(
        testhome::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.3", "-c:a", "wmav2",
                          "-metadata", "artist=Ab", "-metadata", "genre=Rock", dir + "/tune.WMA"}));
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }

  void SetUp() override {
    if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the probe binary is not run in a cross build";
  }

  // Runs the probe on args; returns its exit status and puts standard output
  // and standard error, interleaved, in output.
  static int runProbe(std::vector<std::string> args, std::string& output) {
    std::string outputPath = dir + "/probe.out";
    args.insert(args.begin(), kProbe);
    int status = testhome::runProgram(args, outputPath);
    output = testhome::readFile(outputPath);
    return status;
  }

  // The lines printed for path: from its "== path" line to the next one.
  static std::string section(const std::string& output, const std::string& path) {
    size_t start = output.find("== " + path + "\n");
    if (start == std::string::npos) return "";
    size_t end = output.find("\n== ", start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
  }

  static std::string dir;
};

std::string ProbeTest::dir;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(ProbeTest, PrintsTheProfileOfEachFileAndExitsZero) {
  std::string output;
  ASSERT_EQ(0, runProbe({dir + "/song.mp3", dir + "/photo.jpg"}, output)) << output;
  std::string mp3 = section(output, dir + "/song.mp3");
  EXPECT_PRED2(contains, mp3, "\nobjType: 2\n");
  EXPECT_PRED2(contains, mp3, "\nmimeType: audio/mpeg\n");
  EXPECT_PRED2(contains, mp3, "\nmediaType: MP3\n");
  EXPECT_PRED2(contains, mp3,
               "\nresult: 1\ndetails: DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0\n");
  std::string jpeg = section(output, dir + "/photo.jpg");
  EXPECT_PRED2(contains, jpeg, "\nwidth: 150\nheight: 150\n");
  EXPECT_PRED2(contains, jpeg, "\nmediaType: JPEG_TN\n");
  EXPECT_PRED2(contains, jpeg, "\ndetails: DLNA.ORG_PN=JPEG_TN;DLNA.ORG_OP=01;DLNA.ORG_CI=0\n");
  EXPECT_EQ(std::string::npos, output.find("asf.")) << "ASF lines for files that are no ASF";
}

TEST_F(ProbeTest, AsfFilesAlsoShowWhatTheHeaderParserFound) {
  std::string output;
  ASSERT_EQ(0, runProbe({dir + "/tune.WMA"}, output)) << output;
  EXPECT_PRED2(contains, output,
               "\nasf.parse: 0\nasf.artist: Ab\nasf.album: Unknown\nasf.genre: Rock\n");
  EXPECT_PRED2(contains, output, "\nasf.waveFormat.nChannels: 1\n");
  EXPECT_PRED2(contains, output, "\nasf.bitMapHeader.compression.fourcc: ....\n");
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
