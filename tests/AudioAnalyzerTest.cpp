// Tests of the audio analyser: TagLib and libavformat readers, tag text
// decoding and the audio profiles, on files made once for the suite.
#include "Media/AudioAnalyzer.h"
#include "MediaFixtures.h"

namespace {

// An ID3v2 size: four bytes, big-endian, seven bits each when synchsafe.
std::string id3Size(size_t size, bool isSynchsafe) {
  std::string bytes;
  for (int i = 3; i >= 0; --i)
    bytes += static_cast<char>(isSynchsafe ? (size >> (7 * i)) & 0x7F : size >> (8 * i));
  return bytes;
}

// An ID3v2 tag of version 3 or 4: the extended header when one is given,
// then the frames (ID, data starting with its encoding byte), no padding.
// Encoding 0 is ISO-8859-1 (one byte per character, whatever the bytes
// mean), 1 UTF-16 after a byte-order mark, 3 UTF-8.
std::string id3v2Tag(char version, const std::vector<std::pair<std::string, std::string>>& frames,
                     const std::string& extendedHeader = "") {
  std::string body = extendedHeader;
  for (const auto& [id, data] : frames)
    body += id + id3Size(data.size(), version == 4) + std::string(2, '\0') + data;
  return std::string("ID3") + version + '\0' + (extendedHeader.empty() ? '\0' : '\x40') +
         id3Size(body.size(), true) + body;
}

// An ID3v2.3 tag whose four text frames all hold the same bytes.
std::string id3v23Tag(char encoding, const std::string& bytes) {
  std::vector<std::pair<std::string, std::string>> frames;
  for (const char* id : {"TPE1", "TALB", "TCON", "TIT2"}) frames.push_back({id, encoding + bytes});
  return id3v2Tag(3, frames);
}

// An ID3v1 tag (appended to a file) with bytes as title, artist and album.
// Its genre is a number; 255 is none.
std::string id3v1Tag(const std::string& bytes) {
  std::string field = bytes + std::string(30 - bytes.size(), '\0');
  return "TAG" + field + field + field + "2000" + std::string(30, '\0') + '\xFF';
}

std::string texts(const FileInfo& info) {
  return info.title + "|" + info.artist + "|" + info.album + "|" + info.genre;
}

std::string sameTexts(const std::string& text) {
  return text + "|" + text + "|" + text + "|" + text;
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
    const std::vector<std::string> tags = {"-metadata",           "title=Song", "-metadata",
                                           "artist=Bj\xC3\xB6rk", "-metadata",  "album=Record",
                                           "-metadata",           "genre=Rock"};
    made = made && media::make(dir + "/tagged.mp3", tone, tags) &&
           media::make(dir + "/bare.mp3", tone, {"-map_metadata", "-1", "-id3v2_version", "0"}) &&
           media::make(dir + "/encoder-only.mp3", tone, {"-map_metadata", "-1"}) &&
           media::make(dir + "/tagged.flac", tone, tags) && media::make(dir + "/wav.wav", tone) &&
           media::make(dir + "/bare.wma", tone, {"-c:a", "wmav2", "-map_metadata", "-1"});
    std::vector<std::string> vorbis = tags;
    vorbis.insert(vorbis.end(), {"-c:a", "libvorbis"});
    made = made && media::make(dir + "/tagged.ogg", tone, vorbis);
    for (const char* rate : {"128k", "160k", "192k", "256k", "320k"}) {
      made =
          made && media::make(dir + "/rate" + rate + ".wma", tone, {"-c:a", "wmav2", "-b:a", rate});
    }
    made = made &&
           media::make(
               dir + "/long.wma", {"-f", "lavfi", "-i", "anullsrc=r=44100:cl=mono", "-t", "62.5"},
               {"-c:a", "wmav2", "-metadata", "title=Halo", "-metadata", "artist=Beyonc\xC3\xA9",
                "-metadata", "album=I Am", "-metadata", "genre=Pop", "-metadata", "track=7/12"}) &&
           setAsfDuration(dir + "/long.wma", 625000000);
    // A zero-length block (type 7, not the last) after the STREAMINFO block,
    // which always follows the 4-byte marker with its 4-byte header and 34
    // bytes: TagLib 1.13 refuses the whole file.
    std::string flac = testhome::readFile(dir + "/tagged.flac");
    made = made && flac.size() > 42 && flac[4] == 0;
    if (made)
      write("zero-block.flac", flac.substr(0, 42) + std::string("\x07\0\0\0", 4) + flac.substr(42));
  }
};

TEST_F(AudioAnalyzerTest, TaggedFilesGiveTagsPropertiesAndProfile) {
  write("LOUD.MP3", testhome::readFile(dir + "/tagged.mp3"));  // capitals are still an MP3
  // zero-block.flac is read by libavformat instead, to the same result.
  const std::pair<const char*, const char*> cases[] = {{"tagged.mp3", "MP3"},
                                                       {"LOUD.MP3", "MP3"},
                                                       {"tagged.ogg", ""},
                                                       {"tagged.flac", ""},
                                                       {"zero-block.flac", ""}};
  for (const auto& [name, profile] : cases) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("Song|Bj\xC3\xB6rk|Record|Rock", texts(info));
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

// BIG5 is tried only on single-byte fields; what TagLib 1.13 loses of a
// damaged ID3v2 tag comes from libavformat under the same rule.
TEST_F(AudioAnalyzerTest, TagTextsComeOutAsUtf8) {
  const std::string big5("\xA4\xA4\xA4\xE5"), chinese("\xE4\xB8\xAD\xE6\x96\x87");
  const std::string accented("Gran d\u00EDa");
  // v2.4 extended header of 12 bytes: its size, one flag byte, "CRC
  // follows", and the 5-byte CRC (which nothing checks).
  const std::string extended("\0\0\0\x0C\x01\x20\x05\0\0\0\0\0", 12);
  struct Case {
    const char* label;
    std::string before, after;  // around the MP3 frames
    std::string expected;       // title|artist|album|genre
  };
  const Case cases[] = {
      {"BIG5 bytes in a single-byte field", id3v23Tag(0, big5), "", sameTexts(chinese)},
      {"BIG5 bytes in ID3v1", "", id3v1Tag(big5), chinese + "|" + chinese + "|" + chinese + "|"},
      {"UTF-16 Japanese", id3v23Tag(1, std::string("\xFF\xFE\xE5\x65\x2C\x67\x9E\x8A", 8)), "",
       sameTexts("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E")},
      {"UTF-16 accented", id3v23Tag(1, std::string("\xFF\xFEG\0r\0a\0n\0 \0d\0\xED\0a\0", 18)), "",
       sameTexts(accented)},
      {"UTF-8 accented", id3v23Tag(3, accented), "", sameTexts(accented)},
      {"Latin-1 ending in a BIG5 lead byte", id3v23Tag(0, "Beyonc\xE9"), "",
       sameTexts("Beyonc\xC3\xA9")},
      {"Latin-1 with an invalid BIG5 pair", id3v23Tag(0, "Caf\xE9 Noir"), "",
       sameTexts("Caf\xC3\xA9 Noir")},
      {"frames after an empty one",
       id3v2Tag(3, {{"TENC", ""}, {"TPE1", '\0' + big5}, {"TALB", '\3' + accented}}), "",
       "|" + chinese + "|" + accented + "|"},
      {"v2.4 extended header, no padding",
       id3v2Tag(4, {{"TALB", "\3Record"}, {"TPE1", "\3Band"}, {"TCON", "\3Dance"}}, extended), "",
       "|Band|Record|Dance"},
  };
  const std::string mp3 = testhome::readFile(dir + "/bare.mp3");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info = media::analyzed(write("id3.mp3", c.before + mp3 + c.after));
    EXPECT_EQ(c.expected, texts(info));
    EXPECT_EQ("00:00:02.000", info.duration);
  }
}

TEST_F(AudioAnalyzerTest, FilesWithoutTagTextsHaveEmptyTexts) {
  // ffmpeg still writes its encoder frame into the MP3, so a tag exists.
  for (const char* name : {"encoder-only.mp3", "bare.wma"}) {
    SCOPED_TRACE(name);
    FileInfo info = media::analyzed(dir + "/" + name);
    EXPECT_EQ("|||", texts(info));
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
  // The profile follows the audio stream's rate: ASF packet overhead lifts
  // the container's (192k to about 278000, 320k to about 554000).
  const std::pair<int, const char*> files[] = {
      {128, "WMABASE"}, {160, "WMABASE"}, {192, "WMABASE"}, {256, "WMAFULL"}, {320, "WMAFULL"}};
  for (const auto& [kbps, profile] : files) {
    SCOPED_TRACE(kbps);
    FileInfo info = media::analyzed(dir + "/rate" + std::to_string(kbps) + "k.wma");
    EXPECT_EQ(profile, info.mediaType);
    EXPECT_EQ(kbps * 1000u / 8, info.waveFormat.nAvgBytesPerSec);
    EXPECT_EQ(2, info.waveFormat.nChannels);
  }
}

TEST_F(AudioAnalyzerTest, WmaGivesDurationTagsAndSampleRate) {
  FileInfo info = media::analyzed(dir + "/long.wma");
  EXPECT_EQ("00:01:02.500", info.duration);
  // Container texts are copied as they come (UTF-8 already), with no BIG5 step.
  EXPECT_EQ("Halo|Beyonc\xC3\xA9|I Am|Pop", texts(info));
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
