// Tests of the video analyser: container numbers, the MPEG stream class and
// sequence-header scan, and the MPEG, WMV and tts profiles.
#include "Media/VideoAnalyzer.h"
#include "MediaFixtures.h"

namespace {

using VideoAnalyzer::StreamKind;

// A sequence header start code and the 12-bit width and height after it.
std::string sequenceHeader(int width, int height) {
  return std::string("\x00\x00\x01\xB3", 4) + static_cast<char>(width >> 4) +
         static_cast<char>(((width & 0x0F) << 4) | (height >> 8)) +
         static_cast<char>(height & 0xFF) + "\x13";  // aspect ratio and frame rate code, not read
}

const std::string kPackStart("\x00\x00\x01\xBA", 4);

// Encodes a clip of the given size with MPEG-2 (or MPEG-1) video into format.
std::vector<std::string> mpegClip(int width, int height, const char* codec, const char* format) {
  std::vector<std::string> args = media::shortClip(width, height);
  args.insert(args.end(), {"-c:v", codec, "-c:a", "mp2", "-f", format});
  return args;
}

class VideoAnalyzerTest : public MediaSuite {
 protected:
  static void SetUpTestSuite() {
    startSuite("ombrix-video");
    made = made && media::make(dir + "/ntsc.mpg", mpegClip(720, 480, "mpeg2video", "vob")) &&
           media::make(dir + "/pal.mpg", mpegClip(720, 576, "mpeg2video", "vob")) &&
           media::make(dir + "/vga.mpg", mpegClip(640, 480, "mpeg2video", "vob")) &&
           media::make(dir + "/mpeg1.mpeg", mpegClip(352, 240, "mpeg1video", "mpeg")) &&
           media::make(dir + "/hd-ts.mpg", mpegClip(1920, 1080, "mpeg2video", "mpegts")) &&
           media::make(dir + "/sd-ts.mpg", mpegClip(720, 480, "mpeg2video", "mpegts")) &&
           media::make(dir + "/hd720-ts.mpg", mpegClip(1280, 720, "mpeg2video", "mpegts")) &&
           media::make(dir + "/clip.wmv", media::shortClip(176, 144),
                       {"-c:v", "wmv2", "-c:a", "wmav2"});
    for (const char* ext : {"avi", "mp4", "mkv"}) {
      made =
          made && media::make(dir + "/clip." + ext, media::shortClip(352, 240), {"-c:v", "mpeg4"});
    }
  }
};

// The rows that real files do not reach: the other sizes of each list, and
// sizes given the wrong way round.
TEST_F(VideoAnalyzerTest, MpegProfileFollowsKindAndSize) {
  struct Case {
    StreamKind kind;
    int width, height;
    const char* profile;
  };
  using K = StreamKind;
  const Case cases[] = {
      {K::Mpeg1Program, 0, 0, "MPEG1"},
      {K::Program, 352, 240, "MPEG_PS_NTSC"},
      {K::Program, 352, 288, "MPEG_PS_PAL"},
      {K::Program, 480, 720, ""},
      {K::Program, 0, 0, ""},
      {K::Transport, 1280, 1080, "MPEG_TS_HD_NA"},
      {K::Transport, 1080, 1920, "MPEG_TS_SD_NA"},
      {K::TimeStampedTransport, 1440, 1080, "MPEG_TS_HD_NA_T"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    EXPECT_EQ(c.profile, VideoAnalyzer::mpegProfile(c.kind, c.width, c.height));
  }
}

TEST_F(VideoAnalyzerTest, WmvProfileFollowsSizeAndBitRate) {
  struct Case {
    int width, height;
    uint32_t avgBytesPerSec;
    const char* profile;
  };
  const Case cases[] = {
      {320, 240, 150000 / 8, "WMVMED_BASE"},
      {176, 144, 500000 / 8, "WMVSPLL_PRO"},
      {1920, 1080, 100000 / 8, "WMVHIGH_FULL"},
      {640, 360, 300000 / 8, "WMVMED_FULL"},
      {0, 0, 0, "WMVMED_BASE"},
      {1920, 1080, 0, "WMVHIGH_FULL"},
      {352, 288, 24124, "WMVSPML_BASE"},
      {240, 176, 24125, "WMVSPML_FULL"},
      {720, 576, 47999, "WMVMED_FULL"},
      {720, 480, 48000, "WMVMED_PRO"},
      {1920, 1080, 0xFFFFFFFF, "WMVHIGH_PRO"},  // a rate that would wrap in 32 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " +
                 std::to_string(c.avgBytesPerSec));
    EXPECT_EQ(c.profile, VideoAnalyzer::wmvProfile(c.width, c.height, c.avgBytesPerSec));
  }
}

TEST_F(VideoAnalyzerTest, DurationTextWidensPastOneHundredHours) {
  struct Case {
    int64_t microseconds;
    const char* text;
  };
  const Case cases[] = {{90061250000, "25:01:01.250"},
                        {62500000, "00:01:02.500"},
                        {0, "00:00:00.000"},
                        {999, "00:00:00.000"},
                        {360000125000, "100:00:00.125"},
                        {AV_NOPTS_VALUE, ""},
                        {-1000000, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.microseconds);
    EXPECT_EQ(c.text, formatAvDuration(c.microseconds));
  }
}

// Every kind of file libavformat reads gets duration, bit rate and frame
// size; only mpg, mpeg, tts and wmv get a profile.
TEST_F(VideoAnalyzerTest, RealFilesGetNumbersAndProfile) {
  const std::string ts = testhome::readFile(dir + "/sd-ts.mpg");
  // Four zero bytes ahead of a transport stream: a time stamp of 0.
  write("hd-tts.mpeg", std::string(4, '\0') + testhome::readFile(dir + "/hd720-ts.mpg"));
  write("sd-tts.mpeg", std::string(4, '\0') + ts);
  write("stamped.tts", ts);
  struct Case {
    const char* name;
    int width, height;
    const char* profile;
  };
  const Case cases[] = {
      {"ntsc.mpg", 720, 480, "MPEG_PS_NTSC"},
      {"pal.mpg", 720, 576, "MPEG_PS_PAL"},
      {"vga.mpg", 640, 480, ""},
      {"mpeg1.mpeg", 352, 240, "MPEG1"},
      {"hd-ts.mpg", 1920, 1080, "MPEG_TS_HD_NA"},
      {"sd-ts.mpg", 720, 480, "MPEG_TS_SD_NA"},
      {"hd-tts.mpeg", 1280, 720, "MPEG_TS_HD_NA_T"},
      {"sd-tts.mpeg", 720, 480, "MPEG_TS_SD_NA_T"},
      {"stamped.tts", 720, 480, "MPEG_TS_JP_T"},
      {"clip.avi", 352, 240, ""},
      {"clip.mp4", 352, 240, ""},
      {"clip.mkv", 352, 240, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileInfo info = media::analyzed(dir + "/" + c.name);
    EXPECT_EQ(c.width, info.width);
    EXPECT_EQ(c.height, info.height);
    EXPECT_EQ(c.profile, info.mediaType);
    EXPECT_EQ("00:00:0", info.duration.substr(0, 7));  // clips last under a second
    EXPECT_NE("00:00:00.000", info.duration);
    EXPECT_GT(info.waveFormat.nAvgBytesPerSec, 0u);
  }
  FileInfo wmv = media::analyzed(dir + "/clip.wmv");
  EXPECT_EQ(176, wmv.width);
  EXPECT_EQ(144, wmv.height);
  EXPECT_EQ("WMVSPLL_", wmv.mediaType.substr(0, 8));
}

TEST_F(VideoAnalyzerTest, ScanFindsSequenceHeaderWhenSizeIsMissing) {
  const std::string filler(100, '\x55');
  // A header across the scanner's 64 KiB block boundary, and one far in.
  const std::string acrossBlocks =
      kPackStart + std::string(65534 - 4, '\x55') + sequenceHeader(720, 576);
  const std::string farIn = kPackStart + std::string(1 << 20, '\x55') + sequenceHeader(352, 288);
  // The code's last byte everywhere, and near-misses across the block boundary.
  std::string decoys = kPackStart;
  while (decoys.size() < 65540) decoys += std::string("\xB3\x00\x01\xB3\x00\x00\xB3\x01\xB3", 9);
  decoys += sequenceHeader(480, 480);
  struct Case {
    const char* label;
    std::string bytes;
    int width, height;
    const char* profile;
  };
  const Case cases[] = {
      {"header at byte 4", kPackStart + sequenceHeader(720, 480) + filler, 720, 480,
       "MPEG_PS_NTSC"},
      {"bytes 0 to 3 are not tested",
       sequenceHeader(1920, 1080) + filler + sequenceHeader(720, 480) + filler, 720, 480,
       "MPEG_TS_SD_NA"},
      {"across blocks", acrossBlocks, 720, 576, "MPEG_PS_PAL"},
      {"far into the file", farIn, 352, 288, "MPEG_PS_PAL"},
      {"after decoys", decoys, 480, 480, "MPEG_PS_NTSC"},
      {"no header in a program stream", kPackStart + filler, 0, 0, ""},
      {"no header after a time stamp", std::string(4, '\0') + filler, 0, 0, "MPEG_TS_SD_NA_T"},
      {"start code cut at the end", kPackStart + filler + std::string("\x00\x00\x01", 3), 0, 0, ""},
      {"shorter than 8 bytes", std::string("\x47\x00\x00\x01\xB3", 5), 0, 0, "MPEG_TS_SD_NA"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info;
    info.fill(write("scan.mpg", c.bytes));
    EXPECT_EQ(0, VideoAnalyzer::setMpegType(info));
    EXPECT_EQ(c.width, info.width);
    EXPECT_EQ(c.height, info.height);
    EXPECT_EQ(c.profile, info.mediaType);
  }

  // A size from the container is kept: no scan.
  FileInfo known;
  known.fill(write("known.mpg", std::string(4, '\0') + sequenceHeader(720, 480)));
  known.width = 1920;
  known.height = 1080;
  EXPECT_EQ(0, VideoAnalyzer::setMpegType(known));
  EXPECT_EQ(1920, known.width);
  EXPECT_EQ("MPEG_TS_HD_NA_T", known.mediaType);

  FileInfo missing;
  missing.fill(dir + "/missing.mpg");
  EXPECT_EQ(-1, VideoAnalyzer::setMpegType(missing));
  EXPECT_EQ("", missing.mediaType);
}

TEST_F(VideoAnalyzerTest, UnreadableFilesKeepDefaultsAndGetNoProfile) {
  const std::string garbage(4096, 'x');
  for (const char* name :
       {"garbage.mpg", "garbage.wmv", "garbage.tts", "garbage.avi", "empty.mpeg", "missing.tts"}) {
    SCOPED_TRACE(name);
    std::string path = dir + "/" + name;
    if (std::string(name) != "missing.tts") {
      write(name, std::string(name).rfind("empty", 0) == 0 ? "" : garbage);
    }
    FileInfo info = media::analyzed(path);
    EXPECT_EQ(0, info.width);
    EXPECT_EQ(0, info.height);
    EXPECT_EQ("00:00:00.000", info.duration);
    EXPECT_EQ(0u, info.waveFormat.nAvgBytesPerSec);
    EXPECT_EQ("", info.mediaType);
    EXPECT_TRUE(info.result);
  }
}

}  // namespace
