// Tests of the audio analyser: TagLib and libavformat readers, tag text
// decoding and the audio profiles, on files made once for the suite.
#include "Media/AudioAnalyzer.h"
#include "MediaFixtures.h"

namespace {

// An ID3v2.3 tag whose four text frames (artist, album, genre, title) all
// hold bytes. encoding 0 is ISO-8859-1 (one byte per character, whatever the
// bytes mean), 1 is UTF-16 after a byte-order mark.
std::string id3v23Tag(char encoding, const std::string& bytes) {
  std::string data = encoding + bytes;
  std::string body;
  for (const char* id : {"TPE1", "TALB", "TCON", "TIT2"}) {
    body += id;
    for (int shift = 24; shift >= 0; shift -= 8) body += static_cast<char>(data.size() >> shift);
    body += std::string(2, '\0') + data;  // no frame flags
  }
  // The tag size is "synchsafe": seven bits per byte.
  std::string tag("ID3\x03\x00\x00", 6);
  for (int shift = 21; shift >= 0; shift -= 7)
    tag += static_cast<char>((body.size() >> shift) & 0x7F);
  return tag + body;
}

// Sets the duration of an ASF file, in units of 100 ns, in its File
// Properties object: the encoder pads the last frame, so no setting gives an
// exact length. The container's duration is the play duration (at byte 64 of
// the object) less the preroll (at byte 80, in milliseconds).
bool setAsfDuration(const std::string& path, uint64_t duration) {
  std::string bytes = testhome::readFile(path);
  const std::string kFileProperties(
      "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);
  size_t object = bytes.find(kFileProperties);
  if (object == std::string::npos || object + 88 > bytes.size()) return false;
  uint64_t preroll = 0;
  for (int i = 7; i >= 0; --i)
    preroll = (preroll << 8) | static_cast<unsigned char>(bytes[object + 80 + i]);
  uint64_t playDuration = duration + preroll * 10000;
  for (int i = 0; i < 8; ++i) bytes[object + 64 + i] = static_cast<char>(playDuration >> (8 * i));
  testhome::writeFile(path, bytes);
  return true;
}

class AudioAnalyzerTest : public MediaSuite {
 protected:
  static void SetUpTestSuite() {
    startSuite("ombrix-audio");
    const std::vector<std::string> tone = {"-f",  "lavfi", "-i", "sine=f=440:d=2:r=44100",
                                           "-ac", "2"};
    const std::vector<std::string> tags = {"-metadata", "title=Song",   "-metadata", "artist=Band",
                                           "-metadata", "album=Record", "-metadata", "genre=Rock"};
    made = made && media::make(dir + "/tagged.mp3", tone, tags) &&
           media::make(dir + "/bare.mp3", tone, {"-map_metadata", "-1", "-write_id3v2", "0"}) &&
           media::make(dir + "/encoder-only.mp3", tone, {"-map_metadata", "-1"}) &&
           media::make(dir + "/tagged.flac", tone, tags) && media::make(dir + "/wav.wav", tone) &&
           media::make(dir + "/bare.wma", tone, {"-c:a", "wmav2", "-map_metadata", "-1"});
    std::vector<std::string> vorbis = tags;
    vorbis.insert(vorbis.end(), {"-c:a", "libvorbis"});
    made = made && media::make(dir + "/tagged.ogg", tone, vorbis);
    for (const char* rate : {"160k", "192k", "256k", "320k"}) {
      made =
          made && media::make(dir + "/rate" + rate + ".wma", tone, {"-c:a", "wmav2", "-b:a", rate});
    }
    made = made &&
           media::make(
               dir + "/long.wma", {"-f", "lavfi", "-i", "anullsrc=r=44100:cl=mono", "-t", "62.5"},
               {"-c:a", "wmav2", "-metadata", "title=Halo", "-metadata", "artist=Beyonc\xC3\xA9",
                "-metadata", "album=I Am", "-metadata", "genre=Pop", "-metadata", "track=7/12"}) &&
           setAsfDuration(dir + "/long.wma", 625000000);
  }
};

TEST_F(AudioAnalyzerTest, TaggedFilesGiveTagsPropertiesAndProfile) {
  write("LOUD.MP3", testhome::readFile(dir + "/tagged.mp3"));  // capitals are still an MP3
  const std::pair<const char*, const char*> cases[] = {
      {"tagged.mp3", "MP3"}, {"LOUD.MP3", "MP3"}, {"tagged.ogg", ""}, {"tagged.flac", ""}};
  for (const auto& [name, profile] : cases) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("Song|Band|Record|Rock",
              info.title + "|" + info.artist + "|" + info.album + "|" + info.genre);
    EXPECT_EQ("00:00:02.000", info.duration);
    EXPECT_EQ(2, info.waveFormat.nChannels);
    EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
    // Neither is read on the TagLib path.
    EXPECT_EQ(0, info.trackNo);
    EXPECT_EQ(0u, info.waveFormat.nAvgBytesPerSec);
    EXPECT_EQ(profile, info.mediaType);
    EXPECT_EQ(std::string("DLNA.ORG_PN=") + profile + ";DLNA.ORG_OP=01;DLNA.ORG_CI=0",
              info.details);
  }
}

TEST_F(AudioAnalyzerTest, TagTextsComeOutAsUtf8) {
  struct Case {
    const char* label;
    char encoding;
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"BIG5 bytes in a single-byte field", 0, "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
      {"UTF-16 Japanese", 1, std::string("\xFF\xFE\xE5\x65\x2C\x67\x9E\x8A", 8),
       "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {"Latin-1 ending in a BIG5 lead byte", 0, "Beyonc\xE9", "Beyonc\xC3\xA9"},
      {"Latin-1 with an invalid BIG5 pair", 0, "Caf\xE9 Noir", "Caf\xC3\xA9 Noir"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path =
        write("id3.mp3", id3v23Tag(c.encoding, c.bytes) + testhome::readFile(dir + "/bare.mp3"));
    FileInfo info = media::analyzed(path);
    for (const std::string* text : {&info.artist, &info.album, &info.genre, &info.title}) {
      EXPECT_EQ(c.expected, *text);
    }
    EXPECT_EQ("00:00:02.000", info.duration);
  }
}

TEST_F(AudioAnalyzerTest, FilesWithoutTagTextsHaveEmptyTexts) {
  // ffmpeg still writes its encoder frame into the MP3, so a tag exists.
  for (const char* name : {"encoder-only.mp3", "bare.wma"}) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("|||", info.title + "|" + info.artist + "|" + info.album + "|" + info.genre);
    EXPECT_NE("", info.mediaType);
  }
}

TEST_F(AudioAnalyzerTest, PcmIsNamedUnreadAndWavIsLeftAlone) {
  FileInfo pcm = media::analyzed(write("raw.pcm", testhome::readFile(dir + "/tagged.mp3")));
  EXPECT_EQ("LPCM", pcm.mediaType);
  EXPECT_EQ("Unknown", pcm.title);
  EXPECT_EQ("00:00:00.000", pcm.duration);
  EXPECT_EQ(0, pcm.waveFormat.nChannels);

  FileInfo wav = media::analyzed(dir + "/wav.wav");
  EXPECT_EQ("", wav.mediaType);
  EXPECT_EQ("Unknown", wav.artist);
  EXPECT_EQ(0u, wav.waveFormat.nSamplesPerSec);
}

TEST_F(AudioAnalyzerTest, WmaProfileFollowsBitRate) {
  const std::pair<int64_t, const char*> rates[] = {
      {0, "WMABASE"},     {192999, "WMABASE"}, {193000, "WMAFULL"},   {383999, "WMAFULL"},
      {384000, "WMAPRO"}, {-1, "WMABASE"},     {5000000000, "WMAPRO"}};
  for (const auto& [bitRate, profile] : rates) {
    SCOPED_TRACE(bitRate);
    EXPECT_EQ(profile, AudioAnalyzer::wmaProfile(bitRate));
  }
  // Encoded rates on either side of each boundary. ASF overhead lifts the
  // container's rate: 160k gives about 190000, 192k and 256k about 278000,
  // 320k about 554000.
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
  // Container texts are copied as they come (UTF-8 already), with no BIG5 step.
  EXPECT_EQ("Halo|Beyonc\xC3\xA9|I Am|Pop",
            info.title + "|" + info.artist + "|" + info.album + "|" + info.genre);
  EXPECT_EQ(7, info.trackNo);
  EXPECT_EQ(1, info.waveFormat.nChannels);
  EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);  // the sampling rate, not the bit rate
  EXPECT_GT(info.waveFormat.nAvgBytesPerSec, 32000u / 8);
  EXPECT_EQ("WMABASE", info.mediaType);
}

TEST_F(AudioAnalyzerTest, UnreadableFilesKeepTheDefaults) {
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
    std::string name = c.name;
    if (name.rfind("garbage", 0) == 0) write(name, std::string(4096, 'x'));
    if (name.rfind("empty", 0) == 0) write(name, "");
    FileInfo info = media::analyzed(dir + "/" + name);
    for (const std::string* text : {&info.artist, &info.album, &info.genre, &info.title}) {
      EXPECT_EQ(c.texts, *text);
    }
    EXPECT_EQ("00:00:00.000", info.duration);
    EXPECT_EQ(0, info.waveFormat.nChannels);
    EXPECT_EQ(0u, info.waveFormat.nSamplesPerSec);
    EXPECT_EQ(c.profile, info.mediaType);
  }
}

}  // namespace
