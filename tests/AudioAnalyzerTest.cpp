// Tests of the audio analyser: TagLib and libavformat readers, tag text
// decoding and the audio profiles, on files made once for the suite.
#include "Media/AudioAnalyzer.h"
#include "MediaFixtures.h"

namespace {

const char kUtf8Chinese[] = "\xE4\xB8\xAD\xE6\x96\x87";               // 中文
const char kBig5Chinese[] = "\xA4\xA4\xA4\xE5";                       // 中文 in BIG5
const char kUtf8Japanese[] = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";  // 日本語
const char kUtf16Japanese[] = "\xFF\xFE\xE5\x65\x2C\x67\x9E\x8A";     // BOM + 日本語

// The File Properties object of an ASF header, and where its play duration
// and preroll lie in it.
const char kAsfFileProperties[] =
    "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65";
constexpr size_t kPlayDurationOffset = 64;
constexpr size_t kPrerollOffset = 80;

uint64_t readLittleEndian(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Sets the duration of an ASF file, in units of 100 ns: the encoder pads the
// last frame, so no encoder setting gives an exact length.
bool setAsfDuration(const std::string& path, uint64_t hundredNanoseconds) {
  std::string bytes = testhome::readFile(path);
  size_t object = bytes.find(std::string(kAsfFileProperties, 16));
  if (object == std::string::npos || object + kPrerollOffset + 8 > bytes.size()) return false;
  // The container's duration is the play duration less the preroll (in ms).
  uint64_t value = hundredNanoseconds + readLittleEndian(bytes, object + kPrerollOffset) * 10000;
  for (int i = 0; i < 8; ++i)
    bytes[object + kPlayDurationOffset + i] = static_cast<char>(value >> (8 * i));
  testhome::writeFile(path, bytes);
  return true;
}

class AudioAnalyzerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    initAvLibrary();
    dir = testhome::makeTempDir("ombrix-audio");
    const std::vector<std::string> stereoTone = {"-f",  "lavfi", "-i", "sine=f=440:d=2:r=44100",
                                                 "-ac", "2"};
    const std::vector<std::string> tags = {"-metadata", "title=Song",   "-metadata", "artist=Band",
                                           "-metadata", "album=Record", "-metadata", "genre=Rock"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
      a.insert(a.end(), b.begin(), b.end());
      return a;
    };
    made = media::make(dir + "/tagged.mp3", with(stereoTone, tags)) &&
           media::make(dir + "/bare.mp3",
                       with(stereoTone, {"-map_metadata", "-1", "-write_id3v2", "0"})) &&
           media::make(dir + "/tagged.ogg", with(with(stereoTone, {"-c:a", "libvorbis"}), tags)) &&
           media::make(dir + "/tagged.flac", with(stereoTone, tags)) &&
           media::make(dir + "/wav.wav", stereoTone);
    for (const char* rate : {"160k", "192k", "256k", "320k"}) {
      made = made && media::make(dir + "/rate" + rate + ".wma",
                                 with(stereoTone, {"-c:a", "wmav2", "-b:a", rate}));
    }
    made = made && media::make(dir + "/long.wma", {"-f",        "lavfi",
                                                   "-i",        "anullsrc=r=44100:cl=mono",
                                                   "-t",        "62.5",
                                                   "-c:a",      "wmav2",
                                                   "-b:a",      "32k",
                                                   "-metadata", "title=Halo",
                                                   "-metadata", "artist=Beyonc\xC3\xA9",
                                                   "-metadata", "album=I Am",
                                                   "-metadata", "genre=Pop",
                                                   "-metadata", "track=7/12"}) &&
           setAsfDuration(dir + "/long.wma", 625000000) &&
           media::make(dir + "/bare.wma", with(stereoTone, {"-c:a", "wmav2", "-map_metadata", "-1",
                                                            "-fflags", "+bitexact"}));
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }
  void SetUp() override { ASSERT_TRUE(made) << "ffmpeg could not make the test media in " << dir; }

  // A tagless MP3 with tag put in front of it.
  static std::string withId3(const std::string& name, const std::string& tag) {
    std::string path = dir + "/" + name;
    testhome::writeFile(path, tag + testhome::readFile(dir + "/bare.mp3"));
    return path;
  }

  static inline std::string dir;
  static inline bool made = false;
};

TEST_F(AudioAnalyzerTest, Mp3GivesTagsPropertiesAndProfile) {
  // A capitalised extension is still an MP3.
  testhome::writeFile(dir + "/LOUD.MP3", testhome::readFile(dir + "/tagged.mp3"));
  for (const char* name : {"tagged.mp3", "LOUD.MP3"}) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("Song", info.title);
    EXPECT_EQ("Band", info.artist);
    EXPECT_EQ("Record", info.album);
    EXPECT_EQ("Rock", info.genre);
    EXPECT_EQ("00:00:02.000", info.duration);
    EXPECT_EQ(2, info.waveFormat.nChannels);
    EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
    // Neither is read on the TagLib path.
    EXPECT_EQ(0, info.trackNo);
    EXPECT_EQ(0u, info.waveFormat.nAvgBytesPerSec);
    EXPECT_EQ("MP3", info.mediaType);
    EXPECT_EQ("DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
  }
}

TEST_F(AudioAnalyzerTest, Mp3WithoutTagTextsHasEmptyTexts) {
  // ffmpeg still writes its encoder frame, so the tag exists but holds no texts.
  std::string path = dir + "/encoder-only.mp3";
  ASSERT_TRUE(media::make(path, {"-i", dir + "/bare.mp3", "-c", "copy", "-map_metadata", "-1"}));
  FileInfo info = media::analyzed(path);
  EXPECT_EQ("", info.title);
  EXPECT_EQ("", info.artist);
  EXPECT_EQ("", info.album);
  EXPECT_EQ("", info.genre);
  EXPECT_EQ("MP3", info.mediaType);
}

TEST_F(AudioAnalyzerTest, TagTextsComeOutAsUtf8) {
  struct Case {
    const char* label;
    char encoding;
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"BIG5 bytes in a single-byte field", 0, kBig5Chinese, kUtf8Chinese},
      {"UTF-16 Japanese", 1, std::string(kUtf16Japanese, 8), kUtf8Japanese},
      {"Latin-1 ending in a BIG5 lead byte", 0, "Beyonc\xE9", "Beyonc\xC3\xA9"},
      {"Latin-1 with an invalid BIG5 pair", 0, "Caf\xE9 Noir", "Caf\xC3\xA9 Noir"},
      {"plain ASCII", 0, "Plain", "Plain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = withId3("id3.mp3", media::id3v23Tag({{"TPE1", c.encoding, c.bytes},
                                                            {"TALB", c.encoding, c.bytes},
                                                            {"TCON", c.encoding, c.bytes},
                                                            {"TIT2", c.encoding, c.bytes}}));
    FileInfo info = media::analyzed(path);
    EXPECT_EQ(c.expected, info.artist);
    EXPECT_EQ(c.expected, info.album);
    EXPECT_EQ(c.expected, info.genre);
    EXPECT_EQ(c.expected, info.title);
    EXPECT_EQ("00:00:02.000", info.duration);
  }
}

TEST_F(AudioAnalyzerTest, OggAndFlacGetTagsButNoProfile) {
  for (const char* name : {"tagged.ogg", "tagged.flac"}) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("Song", info.title);
    EXPECT_EQ("Band", info.artist);
    EXPECT_EQ("Record", info.album);
    EXPECT_EQ("Rock", info.genre);
    EXPECT_EQ("00:00:02.000", info.duration);
    EXPECT_EQ(2, info.waveFormat.nChannels);
    EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
    EXPECT_EQ("", info.mediaType);
    EXPECT_EQ("DLNA.ORG_PN=;DLNA.ORG_OP=01;DLNA.ORG_CI=0", info.details);
  }
}

TEST_F(AudioAnalyzerTest, PcmIsNamedUnreadAndWavIsLeftAlone) {
  testhome::writeFile(dir + "/raw.pcm", testhome::readFile(dir + "/tagged.mp3"));
  FileInfo pcm = media::analyzed(dir + "/raw.pcm");
  EXPECT_EQ("LPCM", pcm.mediaType);
  EXPECT_EQ("Unknown", pcm.title);
  EXPECT_EQ("00:00:00.000", pcm.duration);
  EXPECT_EQ(0, pcm.waveFormat.nChannels);

  FileInfo wav = media::analyzed(dir + "/wav.wav");
  EXPECT_EQ("", wav.mediaType);
  EXPECT_EQ("Unknown", wav.artist);
  EXPECT_EQ("00:00:00.000", wav.duration);
  EXPECT_EQ(0u, wav.waveFormat.nSamplesPerSec);
}

TEST_F(AudioAnalyzerTest, WmaProfileFollowsBitRate) {
  struct Case {
    int64_t bitRate;
    const char* profile;
  };
  const Case cases[] = {{0, "WMABASE"},        {192999, "WMABASE"}, {193000, "WMAFULL"},
                        {383999, "WMAFULL"},   {384000, "WMAPRO"},  {-1, "WMABASE"},
                        {5000000000, "WMAPRO"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate);
    EXPECT_EQ(c.profile, AudioAnalyzer::wmaProfile(c.bitRate));
  }
  // Encoded rates on either side of each boundary; ASF overhead puts the
  // container's rate above the codec's (160k gives about 190000, 192k and
  // 256k about 278000, 320k about 554000).
  const std::pair<const char*, const char*> files[] = {{"rate160k.wma", "WMABASE"},
                                                       {"rate192k.wma", "WMAFULL"},
                                                       {"rate256k.wma", "WMAFULL"},
                                                       {"rate320k.wma", "WMAPRO"}};
  for (const auto& [name, profile] : files) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ(profile, info.mediaType);
    EXPECT_EQ(2, info.waveFormat.nChannels);
  }
}

TEST_F(AudioAnalyzerTest, WmaGivesDurationTagsAndSampleRate) {
  FileInfo info = media::analyzed(dir + "/long.wma");
  EXPECT_EQ("00:01:02.500", info.duration);
  // Container texts are copied as they are (already UTF-8), with no BIG5 step.
  EXPECT_EQ("Halo", info.title);
  EXPECT_EQ("Beyonc\xC3\xA9", info.artist);
  EXPECT_EQ("I Am", info.album);
  EXPECT_EQ("Pop", info.genre);
  EXPECT_EQ(7, info.trackNo);
  EXPECT_EQ(1, info.waveFormat.nChannels);
  // The sampling rate, not the container's bit rate.
  EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
  EXPECT_GT(info.waveFormat.nAvgBytesPerSec, 32000u / 8);
  EXPECT_EQ("WMABASE", info.mediaType);
}

TEST_F(AudioAnalyzerTest, WmaWithoutTagsHasEmptyTexts) {
  FileInfo info = media::analyzed(dir + "/bare.wma");
  EXPECT_EQ("", info.title);
  EXPECT_EQ("", info.artist);
  EXPECT_EQ("", info.album);
  EXPECT_EQ("", info.genre);
  EXPECT_EQ(0, info.trackNo);
  EXPECT_EQ("WMABASE", info.mediaType);
}

TEST_F(AudioAnalyzerTest, UnreadableFilesKeepTheDefaults) {
  const std::string garbage(4096, 'x');
  struct Case {
    const char* name;
    const char* texts;    // TagLib takes any .mp3 for an MPEG file with an empty tag
    const char* profile;  // mp3 is named by its extension alone
  };
  const Case cases[] = {{"garbage.mp3", "", "MP3"},      {"garbage.ogg", "Unknown", ""},
                        {"garbage.flac", "Unknown", ""}, {"garbage.wma", "Unknown", ""},
                        {"empty.wma", "Unknown", ""},    {"empty.flac", "Unknown", ""},
                        {"missing.wma", "Unknown", ""},  {"missing.ogg", "Unknown", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir + "/" + c.name;
    std::string name = c.name;
    if (name.rfind("missing", 0) != 0) testhome::writeFile(path, name[0] == 'e' ? "" : garbage);
    FileInfo info = media::analyzed(path);
    EXPECT_EQ(c.texts, info.title);
    EXPECT_EQ(c.texts, info.artist);
    EXPECT_EQ(c.texts, info.album);
    EXPECT_EQ(c.texts, info.genre);
    EXPECT_EQ("00:00:00.000", info.duration);
    EXPECT_EQ(0, info.waveFormat.nChannels);
    EXPECT_EQ(0u, info.waveFormat.nSamplesPerSec);
    EXPECT_EQ(c.profile, info.mediaType);
    EXPECT_TRUE(info.result);
  }
}

}  // namespace
