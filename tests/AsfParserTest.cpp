// tests/AsfParserTest.cpp: the ASF header parser on byte streams built here,
// on a WMA and a WMV made with ffmpeg, and on the ASF files of the external
// corpus.
//
// The builders below write every number little-endian byte by byte, so the
// streams are the same on every host and the tests check the parser's byte
// order on big-endian machines too.
#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/AsfParser.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace {

constexpr const char* kHeader = "75B22630-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kData = "75B22636-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kSimpleIndex = "33000890-E5B1-11CF-89F4-00A0C90349CB";
constexpr const char* kStreamProperties = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
constexpr const char* kContentDescription = "75B22633-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kExtendedContent = "D2D0A440-E307-11D2-97F0-00A0C95EA850";
constexpr const char* kAudioMedia = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kVideoMedia = "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kCommandMedia = "59DACFC0-59E6-11D0-A3AC-00A0C90348F6";
constexpr const char* kNoErrorCorrection = "20FB5700-5B55-11CF-A8FD-00805F5C442B";

std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}
std::string le16(uint64_t value) {
  return le(value, 2);
}
std::string le32(uint64_t value) {
  return le(value, 4);
}
std::string le64(uint64_t value) {
  return le(value, 8);
}

// The 16 file bytes of a GUID given in its text form (any letter case).
std::string guidBytes(const std::string& text) {
  auto hex = [&](size_t at, int digits) {
    return std::stoull(text.substr(at, digits), nullptr, 16);
  };
  std::string out = le32(hex(0, 8)) + le16(hex(9, 4)) + le16(hex(14, 4));
  for (size_t at : {19, 21, 24, 26, 28, 30, 32, 34}) out += static_cast<char>(hex(at, 2));
  return out;
}

std::string object(const char* guid, const std::string& body) {
  return guidBytes(guid) + le64(24 + body.size()) + body;
}

std::string headerObject(const std::vector<std::string>& children) {
  std::string body = le32(children.size()) + "\x01\x02";
  for (const std::string& child : children) body += child;
  return object(kHeader, body);
}

// Two-byte little-endian text; code points below 0x10000 only.
std::string utf16(const std::u16string& text, bool withTerminator = true) {
  std::string out;
  for (char16_t c : text) out += le16(c);
  if (withTerminator) out += le16(0);
  return out;
}

std::string contentDescription(const std::string& title, const std::string& author) {
  std::string texts[5] = {title, author, utf16(u"(c)"), "", utf16(u"R")};
  std::string body;
  for (const std::string& text : texts) body += le16(text.size());
  for (const std::string& text : texts) body += text;
  return object(kContentDescription, body);
}

struct Descriptor {
  std::string name;  // bytes as in the file
  std::string value;
};

std::string descriptorBytes(const Descriptor& d) {
  return le16(d.name.size()) + d.name + le16(0) + le16(d.value.size()) + d.value;
}

std::string extendedContent(const std::vector<Descriptor>& descriptors) {
  std::string body = le16(descriptors.size());
  for (const Descriptor& d : descriptors) body += descriptorBytes(d);
  return object(kExtendedContent, body);
}

std::string streamProperties(const char* streamType, const std::string& typeSpecific) {
  std::string body = guidBytes(streamType) + guidBytes(kNoErrorCorrection) + le64(0) +
                     le32(typeSpecific.size()) + le32(0) + le16(1) + le32(0) + typeSpecific;
  return object(kStreamProperties, body);
}

// WAVE format header of a WMA v2 stream, its two reserved bytes and codec
// data after it.
std::string audioStream(uint16_t channels, uint32_t rate) {
  return streamProperties(kAudioMedia, le16(0x161) + le16(channels) + le32(rate) + le32(8000) +
                                           le16(743) + le16(16) + le16(10) + le16(0x1234) +
                                           std::string(8, '\x7f'));
}

std::string videoStream(uint32_t width, uint32_t height) {
  std::string bitmap = le32(40) + le32(width) + le32(height) + le16(1) + le16(24) + "WMV3" +
                       le32(width * height * 3) + le32(0) + le32(0) + le32(0) + le32(0);
  return streamProperties(kVideoMedia,
                          le32(width) + le32(height) + "\x02" + le16(bitmap.size()) + bitmap);
}

// Runs the parser over bytes held in an unnamed temporary file.
int parseBytes(const std::string& bytes, FileInfo& info) {
  FileHandle file(tmpfile());
  if (!file) return -99;
  fwrite(bytes.data(), 1, bytes.size(), file.get());
  rewind(file.get());
  return AsfParser::parse(file.get(), info);
}

std::string compressionText(const BitMapHeader& header) {
  char bytes[4];
  std::memcpy(bytes, &header.compression, sizeof bytes);
  return std::string(bytes, sizeof bytes);
}

}  // namespace

TEST(AsfParserTest, EveryFindableTableRowRoundTripsThroughItsFileBytes) {
  for (int i = 0; i < AsfParser::kGuidCount; ++i) {
    const AsfParser::GuidEntry& row = AsfParser::AsfGuidTable[i];
    SCOPED_TRACE(row.name);
    std::string bytes = guidBytes(row.text);
    std::string formatted = AsfParser::formatGuid(reinterpret_cast<const uint8_t*>(bytes.data()));
    EXPECT_EQ(Util::toUpper(row.text), formatted);
    std::string name = row.name;
    if (name == "ASF_Compatibility_Object") {
      EXPECT_EQ(0, AsfParser::lookupGuid(formatted));  // shares the Header Object's text
    } else if (name == "ASF_Reserved_1" ||
               name == "ASF_Content_Encryption_System_Windows_Media_DRM_Network_Devices") {
      EXPECT_EQ(AsfParser::kGuidCount,
                AsfParser::lookupGuid(formatted));  // lower case in the table
    } else {
      EXPECT_EQ(i, AsfParser::lookupGuid(formatted));
    }
  }
}

TEST(AsfParserTest, HeaderChildrenFillTheRecordAndTheWalkEndsAtEndOfFile) {
  std::string file =
      headerObject({object("8CABDCA1-A947-11CF-8EE4-00C00C205365", std::string(80, '\0')),
                    contentDescription(utf16(u"Title"), utf16(u"J\u00fcrgen \u4e2d")),
                    extendedContent({{utf16(u"WM/AlbumTitle"), utf16(u"Alb")},
                                     {utf16(u"WM/Genre"), utf16(u"Rock")},
                                     {utf16(u"WM/Year"), utf16(u"1999")}}),
                    streamProperties(kCommandMedia, std::string(30, '\x55')), audioStream(2, 44100),
                    videoStream(64, 48)}) +
      object(kData, std::string(300, '\xee')) + object(kSimpleIndex, std::string(20, '\0'));
  FileInfo info;
  ASSERT_EQ(0, parseBytes(file, info));
  EXPECT_EQ("J\xc3\xbcrgen \xe4\xb8\xad", info.artist);
  EXPECT_EQ("Unknown", info.title);
  EXPECT_EQ("Alb", info.album);
  EXPECT_EQ("Rock", info.genre);

  EXPECT_EQ(0x161, info.waveFormat.wFormatTag);
  EXPECT_EQ(2, info.waveFormat.nChannels);
  EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
  EXPECT_EQ(8000u, info.waveFormat.nAvgBytesPerSec);
  EXPECT_EQ(743, info.waveFormat.nBlockAlign);
  EXPECT_EQ(16, info.waveFormat.wBitsPerSample);
  EXPECT_EQ(10, info.waveFormat.cbSize);
  EXPECT_EQ(0x1234, info.waveFormat.res);

  EXPECT_EQ(40u, info.bitMapHeader.size);
  EXPECT_EQ(64u, info.bitMapHeader.width);
  EXPECT_EQ(48u, info.bitMapHeader.height);
  EXPECT_EQ(1, info.bitMapHeader.planes);
  EXPECT_EQ(24, info.bitMapHeader.bitCount);
  EXPECT_EQ("WMV3", compressionText(info.bitMapHeader));
  EXPECT_EQ(64u * 48 * 3, info.bitMapHeader.sizeImage);
}

TEST(AsfParserTest, OnlyExactDescriptorNamesSelectAField) {
  struct Case {
    const char* label;
    std::string name;
    const char* album;
    const char* genre;
  };
  const Case cases[] = {
      {"genre", utf16(u"WM/Genre"), "Unknown", "V"},
      {"album", utf16(u"WM/AlbumTitle"), "V", "Unknown"},
      {"no terminator", utf16(u"WM/Genre", false), "Unknown", "Unknown"},
      {"longer name", utf16(u"WM/GenreID"), "Unknown", "Unknown"},
      {"shorter name", utf16(u"WM/Genr"), "Unknown", "Unknown"},
      {"other case", utf16(u"wm/genre"), "Unknown", "Unknown"},
      {"other name", utf16(u"WM/AlbumArtist"), "Unknown", "Unknown"},
      {"one-byte characters", std::string("WM/Genre\0", 9), "Unknown", "Unknown"},
      {"empty name", "", "Unknown", "Unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info;
    ASSERT_EQ(0, parseBytes(headerObject({extendedContent({{c.name, utf16(u"V")}})}), info));
    EXPECT_EQ(c.album, info.album);
    EXPECT_EQ(c.genre, info.genre);
  }
}

TEST(AsfParserTest, SelectedValueIsTwoByteTextWhateverItsTypeAndEmptyLeavesDefault) {
  FileInfo info;
  // A DWORD value read as text: 'A' then a zero unit ends it.
  std::string file = headerObject(
      {extendedContent({{utf16(u"WM/Genre"), le32('A')}, {utf16(u"WM/AlbumTitle"), ""}})});
  ASSERT_EQ(0, parseBytes(file, info));
  EXPECT_EQ("A", info.genre);
  EXPECT_EQ("Unknown", info.album);
  FileInfo noAuthor;
  ASSERT_EQ(0, parseBytes(headerObject({contentDescription(utf16(u"T"), "")}), noAuthor));
  EXPECT_EQ("Unknown", noAuthor.artist);
}

TEST(AsfParserTest, UnknownGuidEndsTheWalkAndKeepsWhatWasFound) {
  FileInfo first;
  std::string unknown = guidBytes("01234567-89AB-CDEF-0123-456789ABCDEF") + le64(24);
  EXPECT_EQ(-1, parseBytes(unknown + contentDescription("", utf16(u"Ab")), first));
  EXPECT_EQ("Unknown", first.artist);

  FileInfo later;
  EXPECT_EQ(-1, parseBytes(headerObject({contentDescription("", utf16(u"Ab")), unknown,
                                         audioStream(1, 8000)}),
                           later));
  EXPECT_EQ("Ab", later.artist);
  EXPECT_EQ(0, later.waveFormat.nChannels);
}

// Damaged sizes and lengths. Each case must end (the test would hang
// otherwise) with the expected result and without reading out of bounds,
// which the sanitizers check.
TEST(AsfParserTest, HostileSizesAndLengthsEndTheWalkSafely) {
  std::string author = contentDescription("", utf16(u"Ab"));
  // Header (30), object header (24), five lengths (10), then "Abc": cut
  // inside the second unit's high byte, which then reads as zero.
  std::string cutAuthor = headerObject({contentDescription("", utf16(u"Abc"))}).substr(0, 67);
  std::string lengthsPastObject = guidBytes(kContentDescription) + le64(34 + 4) + le16(0) +
                                  le16(200) + le16(0) + le16(0) + le16(0) + utf16(u"Ab");
  std::string typeSpecificPastObject = guidBytes(kStreamProperties) + le64(78) +
                                       guidBytes(kAudioMedia) + guidBytes(kNoErrorCorrection) +
                                       le64(0) + le32(20) + le32(0) + le16(0) + le32(0);
  std::string manyDescriptors =
      guidBytes(kExtendedContent) +
      le64(26 + descriptorBytes({utf16(u"WM/Genre"), utf16(u"G")}).size()) + le16(65535) +
      descriptorBytes({utf16(u"WM/Genre"), utf16(u"G")});
  struct Case {
    const char* label;
    std::string bytes;
    int result;
    const char* artist;
  };
  const Case cases[] = {
      {"empty file", "", 0, "Unknown"},
      {"size 0", guidBytes(kData) + le64(0) + author, -1, "Unknown"},
      {"size 23", guidBytes(kData) + le64(23) + author, -1, "Unknown"},
      {"size 24 is an empty object", guidBytes(kData) + le64(24) + author, 0, "Ab"},
      {"header smaller than its fields", guidBytes(kHeader) + le64(29) + author, -1, "Unknown"},
      {"stream properties smaller than its fields",
       guidBytes(kStreamProperties) + le64(40) + std::string(16, '\0') + author, -1, "Unknown"},
      {"size past the end of the file", author + guidBytes(kData) + le64(1 << 20), 0, "Ab"},
      {"size past any offset", author + guidBytes(kData) + le64(~0ull - 5), -1, "Ab"},
      {"file ends inside a size", author + guidBytes(kData) + "\x40\0", 0, "Ab"},
      {"file ends inside a GUID", author + guidBytes(kData).substr(0, 9), 0, "Ab"},
      {"author cut short by the end of the file", cutAuthor, 0, "Ab"},
      {"text lengths past the object", lengthsPastObject + author, -1, "Unknown"},
      {"type-specific data past the object", typeSpecificPastObject + author, -1, "Unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info;
    EXPECT_EQ(c.result, parseBytes(c.bytes, info));
    EXPECT_EQ(c.artist, info.artist);
  }

  FileInfo counted;
  EXPECT_EQ(-1, parseBytes(manyDescriptors, counted));
  EXPECT_EQ("G", counted.genre);
}

TEST(AsfParserTest, LongestLengthsAreReadAndPassedOver) {
  std::string longName = utf16(std::u16string(32766, u'n'));  // 65534 bytes with its zero
  std::string longValue = std::string(65535, 'A');            // odd: the last byte is no unit
  std::string file = headerObject({extendedContent({{longName + "x", utf16(u"skipped")},
                                                    {utf16(u"WM/Genre"), longValue},
                                                    {utf16(u"WM/AlbumTitle"), utf16(u"Alb")}}),
                                   contentDescription(std::string(65535, 'T'), utf16(u"Ab"))});
  FileInfo info;
  ASSERT_EQ(0, parseBytes(file, info));
  EXPECT_EQ(32767u * 3, info.genre.size());  // U+4141 takes 3 UTF-8 bytes
  EXPECT_EQ("Alb", info.album);
  EXPECT_EQ("Ab", info.artist);
}

// Real files: ffmpeg writes author, album and genre, and the stream records.
class AsfParserFfmpegTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = testhome::makeTempDir("ombrix-asf");
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(
        testhome::ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=0.3", "-ac", "2",
                          "-c:a", "wmav2", "-metadata", "artist=Ab", "-metadata", "title=Tt",
                          "-metadata", "album=Alb", "-metadata", "genre=Rock", dir + "/song.wma"}));
    ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=5:duration=0.4",
                                  "-c:v", "wmv2", "-an", dir + "/clip.wmv"}));
  }
  static void TearDownTestSuite() { testhome::removeTree(dir); }

  static int parsePath(const std::string& path, FileInfo& info) {
    FileHandle file(fopen(path.c_str(), "rb"));
    if (!file) return -99;
    return AsfParser::parse(file.get(), info);
  }

  static std::string dir;
};

std::string AsfParserFfmpegTest::dir;

TEST_F(AsfParserFfmpegTest, WmaGivesTagsAndWaveFormat) {
  FileInfo info;
  ASSERT_EQ(0, parsePath(dir + "/song.wma", info));
  EXPECT_EQ("Ab", info.artist);
  EXPECT_EQ("Alb", info.album);
  EXPECT_EQ("Rock", info.genre);
  EXPECT_EQ("Unknown", info.title);
  EXPECT_EQ(0x161, info.waveFormat.wFormatTag);
  EXPECT_EQ(2, info.waveFormat.nChannels);
  EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
  EXPECT_EQ(0u, info.bitMapHeader.width);
}

TEST_F(AsfParserFfmpegTest, WmvGivesBitmapHeader) {
  FileInfo info;
  ASSERT_EQ(0, parsePath(dir + "/clip.wmv", info));
  EXPECT_EQ(64u, info.bitMapHeader.width);
  EXPECT_EQ(48u, info.bitMapHeader.height);
  EXPECT_EQ("WMV2", compressionText(info.bitMapHeader));
  EXPECT_EQ(0, info.waveFormat.nChannels);
}

// Every ASF file of the external corpus, whole and cut at every byte of its
// first 4 KiB (one file, shortened step by step): the walk must end with 0 or
// -1 and never read out of bounds.
TEST(AsfParserCorpusTest, ExternalAsfFilesParseWholeAndTruncated) {
  const std::string corpus = OMBRIX_SOURCE_DIR "/../shared/external-media/taglib";
  DirHandle dir(opendir(corpus.c_str()));
  if (!dir) GTEST_SKIP() << "no external media at " << corpus;
  int seen = 0;
  while (dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    std::string ext = Util::toLower(name.substr(name.rfind('.') + 1));
    if (ext != "wma" && ext != "wmv" && ext != "asf") continue;
    SCOPED_TRACE(name);
    ++seen;
    std::string bytes = testhome::readFile(corpus + "/" + name);
    FileInfo whole;
    EXPECT_EQ(0, parseBytes(bytes, whole));
    EXPECT_GT(whole.waveFormat.nChannels, 0);
    FileHandle file(tmpfile());
    ASSERT_TRUE(file);
    fwrite(bytes.data(), 1, bytes.size(), file.get());
    ASSERT_EQ(0, fflush(file.get()));
    for (size_t cut = std::min<size_t>(bytes.size(), 4096); cut-- > 0;) {
      ASSERT_EQ(0, ftruncate(fileno(file.get()), static_cast<off_t>(cut)));
      rewind(file.get());  // also drops what the stream had buffered
      FileInfo info;
      int result = AsfParser::parse(file.get(), info);
      EXPECT_TRUE(result == 0 || result == -1) << "cut at " << cut << " gave " << result;
    }
  }
  EXPECT_GT(seen, 0) << "no ASF file in " << corpus;
}
