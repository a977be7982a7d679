// tests/AsfParserTest.cpp: the ASF header parser on byte streams built here,
// on a WMA and a WMV made with ffmpeg, and on the ASF files of the external
// corpus.
//
// The builders write every number little-endian byte by byte, so the streams
// are the same on every host and check the parser's byte order on big-endian
// machines too.
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
constexpr const char* kStreamProperties = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
constexpr const char* kContentDescription = "75B22633-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kExtendedContent = "D2D0A440-E307-11D2-97F0-00A0C95EA850";
constexpr const char* kAudioMedia = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kVideoMedia = "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kCommandMedia = "59DACFC0-59E6-11D0-A3AC-00A0C90348F6";

std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}

// The 16 file bytes of a GUID given in its text form (any letter case).
std::string guidBytes(const std::string& text) {
  auto hex = [&](size_t at, int digits) {
    return std::stoull(text.substr(at, digits), nullptr, 16);
  };
  std::string out = le(hex(0, 8), 4) + le(hex(9, 4), 2) + le(hex(14, 4), 2);
  for (size_t at : {19, 21, 24, 26, 28, 30, 32, 34}) out += static_cast<char>(hex(at, 2));
  return out;
}

std::string object(const char* guid, const std::string& body) {
  return guidBytes(guid) + le(24 + body.size(), 8) + body;
}

std::string header(const std::string& children) {
  return object(kHeader, le(9, 4) + "\x01\x02" + children);
}

// Two-byte little-endian text, code points below 0x10000.
std::string utf16(const std::u16string& text, bool withTerminator = true) {
  std::string out;
  for (char16_t c : text) out += le(c, 2);
  return withTerminator ? out + le(0, 2) : out;
}

std::string contentDescription(const std::string& author) {
  const std::string texts[5] = {utf16(u"Title"), author, utf16(u"(c)"), "", utf16(u"R")};
  std::string body;
  for (const std::string& text : texts) body += le(text.size(), 2);
  for (const std::string& text : texts) body += text;
  return object(kContentDescription, body);
}

std::string descriptor(const std::string& name, const std::string& value) {
  return le(name.size(), 2) + name + le(0, 2) + le(value.size(), 2) + value;
}

std::string extendedContent(int count, const std::string& descriptors) {
  return object(kExtendedContent, le(count, 2) + descriptors);
}

std::string stream(const char* type, const std::string& typeSpecific) {
  return object(kStreamProperties, guidBytes(type) + std::string(16 + 8, '\0') +
                                       le(typeSpecific.size(), 4) + std::string(10, '\0') +
                                       typeSpecific);
}

// A WMA v2 WAVE format header, the reserved word and codec data after it;
// a WMV3 bitmap header after the encoded size, flags and format data size.
const std::string kAudioStream =
    stream(kAudioMedia, le(0x161, 2) + le(2, 2) + le(44100, 4) + le(8000, 4) + le(743, 2) +
                            le(16, 2) + le(10, 2) + le(0x1234, 2) + std::string(8, '\x7f'));
const std::string kVideoStream =
    stream(kVideoMedia, le(64, 4) + le(48, 4) + "\x02" + le(40, 2) + le(40, 4) + le(64, 4) +
                            le(48, 4) + le(1, 2) + le(24, 2) + "WMV3" + std::string(20, '\0'));

// Runs the parser over bytes held in an unnamed temporary file.
int parseBytes(const std::string& bytes, FileInfo& info) {
  FileHandle file(tmpfile());
  if (!file) return -99;
  fwrite(bytes.data(), 1, bytes.size(), file.get());
  rewind(file.get());
  return AsfParser::parse(file.get(), info);
}

std::string fourCc(const BitMapHeader& header) {
  return std::string(reinterpret_cast<const char*>(&header.compression), 4);
}

}  // namespace

TEST(AsfParserTest, TableRowsAreFoundByTheirFileBytesExceptTheThreeShadowedOnes) {
  for (int i = 0; i < AsfParser::kGuidCount; ++i) {
    const AsfParser::GuidEntry& row = AsfParser::AsfGuidTable[i];
    SCOPED_TRACE(row.name);
    std::string bytes = guidBytes(row.text);
    std::string text = AsfParser::formatGuid(reinterpret_cast<const uint8_t*>(bytes.data()));
    EXPECT_EQ(Util::toUpper(row.text), text);
    bool isShadowed = i == 33 || i == 46 || i == 47;
    int expected = i == 33 ? 0 : (isShadowed ? AsfParser::kGuidCount : i);
    EXPECT_EQ(expected, AsfParser::lookupGuid(text));
  }
}

TEST(AsfParserTest, HeaderChildrenFillTheRecordAndTheWalkEndsAtEndOfFile) {
  std::string file =
      header(contentDescription(utf16(u"J\u00fcrgen \u4e2d")) +
             extendedContent(3, descriptor(utf16(u"WM/AlbumTitle"), utf16(u"Alb")) +
                                    descriptor(utf16(u"WM/Year"), utf16(u"1999")) +
                                    descriptor(utf16(u"WM/Genre"), utf16(u"Rock"))) +
             stream(kCommandMedia, std::string(30, '\x55')) + kAudioStream + kVideoStream) +
      object(kData, std::string(300, '\xee'));
  FileInfo info;
  ASSERT_EQ(0, parseBytes(file, info));
  EXPECT_EQ("J\xc3\xbcrgen \xe4\xb8\xad", info.artist);
  EXPECT_EQ("Unknown", info.title);
  EXPECT_EQ("Alb", info.album);
  EXPECT_EQ("Rock", info.genre);
  EXPECT_EQ(0x161, info.waveFormat.wFormatTag);
  EXPECT_EQ(2, info.waveFormat.nChannels);
  EXPECT_EQ(44100u, info.waveFormat.nSamplesPerSec);
  EXPECT_EQ(0x1234, info.waveFormat.res);
  EXPECT_EQ(64u, info.bitMapHeader.width);
  EXPECT_EQ(48u, info.bitMapHeader.height);
  EXPECT_EQ(24, info.bitMapHeader.bitCount);
  EXPECT_EQ("WMV3", fourCc(info.bitMapHeader));
}

TEST(AsfParserTest, OnlyExactDescriptorNamesSelectAField) {
  struct Case {
    const char* label;
    std::string name;
    std::string value;
    const char* album;
    const char* genre;
  };
  const Case cases[] = {
      {"genre", utf16(u"WM/Genre"), utf16(u"V"), "Unknown", "V"},
      {"album", utf16(u"WM/AlbumTitle"), utf16(u"V"), "V", "Unknown"},
      {"empty value", utf16(u"WM/Genre"), "", "Unknown", "Unknown"},
      {"no terminator", utf16(u"WM/Genre", false), utf16(u"V"), "Unknown", "Unknown"},
      {"longer name", utf16(u"WM/GenreID"), utf16(u"V"), "Unknown", "Unknown"},
      {"other case", utf16(u"wm/genre"), utf16(u"V"), "Unknown", "Unknown"},
      {"one-byte characters", std::string("WM/Genre\0", 9), utf16(u"V"), "Unknown", "Unknown"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info;
    ASSERT_EQ(0, parseBytes(header(extendedContent(1, descriptor(c.name, c.value))), info));
    EXPECT_EQ(c.album, info.album);
    EXPECT_EQ(c.genre, info.genre);
  }
}

// Unknown GUIDs and damaged sizes and lengths. Each case must end (a hang
// fails the test by its timeout) with the expected result, keeping what came
// before, and without reading out of bounds, which the sanitizers check.
TEST(AsfParserTest, UnknownGuidsAndHostileSizesEndTheWalk) {
  const std::string author = contentDescription(utf16(u"Ab"));
  const std::string unknown = guidBytes("01234567-89AB-CDEF-0123-456789ABCDEF") + le(24, 8);
  // Header (30), object header (24), five lengths (10), "Title" (12), then
  // "Abc" cut inside the high byte of "b", which then reads as zero.
  const std::string cutAuthor = header(contentDescription(utf16(u"Abc"))).substr(0, 79);
  const std::string genre = descriptor(utf16(u"WM/Genre"), utf16(u"G"));
  struct Case {
    const char* label;
    std::string bytes;
    int result;
    const char* artist;
  };
  const Case cases[] = {
      {"unknown GUID first", unknown + author, -1, "Unknown"},
      {"unknown GUID later", header(author + unknown + kAudioStream), -1, "Ab"},
      {"size 23", guidBytes(kData) + le(23, 8) + author, -1, "Unknown"},
      {"size 24 is an empty object", guidBytes(kData) + le(24, 8) + author, 0, "Ab"},
      {"stream properties too small for its fields", object(kStreamProperties, "") + author, -1,
       "Unknown"},
      {"size past the end of the file", author + guidBytes(kData) + le(1 << 20, 8), 0, "Ab"},
      {"size past any file offset", author + guidBytes(kData) + le(~0ull - 5, 8), -1, "Ab"},
      {"file ends inside a size", author + guidBytes(kData) + "\x40", 0, "Ab"},
      {"author cut short by the end of the file", cutAuthor, 0, "Ab"},
      {"text lengths past the object",
       guidBytes(kContentDescription) + le(38, 8) + le(0, 2) + le(200, 2) + std::string(6, '\0') +
           "AbAb",
       -1, "Unknown"},
      {"type-specific data past the object",
       object(kStreamProperties,
              guidBytes(kAudioMedia) + std::string(24, '\0') + le(20, 4) + std::string(10, '\0')),
       -1, "Unknown"},
      {"65535 descriptors announced, one present", author + extendedContent(65535, genre), -1,
       "Ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileInfo info;
    EXPECT_EQ(c.result, parseBytes(c.bytes, info));
    EXPECT_EQ(c.artist, info.artist);
    EXPECT_EQ(0, info.waveFormat.nChannels);
  }
}

TEST(AsfParserTest, LongestLengthsAreReadOrPassedOver) {
  std::string longName = utf16(std::u16string(32766, u'n')) + "x";  // 65535 bytes
  std::string oddValue(65535, 'A');  // 32767 units of U+4141; the last byte is none
  std::string file = header(extendedContent(
      3, descriptor(longName, utf16(u"skipped")) + descriptor(utf16(u"WM/Genre"), oddValue) +
             descriptor(utf16(u"WM/AlbumTitle"), utf16(u"Al"))));
  FileInfo info;
  ASSERT_EQ(0, parseBytes(file, info));
  EXPECT_EQ(32767u * 3, info.genre.size());
  EXPECT_EQ("Al", info.album);
}

TEST(AsfParserTest, FfmpegWmaAndWmvGiveTagsAndStreamRecords) {
  std::string dir = testhome::makeTempDir("ombrix-asf");
  ASSERT_FALSE(dir.empty());
  ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "sine=duration=0.3", "-ac", "2", "-c:a",
                                "wmav2", "-metadata", "artist=Ab", "-metadata", "album=Alb",
                                "-metadata", "genre=Rock", dir + "/song.wma"}));
  ASSERT_TRUE(testhome::ffmpeg({"-f", "lavfi", "-i", "testsrc=size=64x48:rate=5:duration=0.4",
                                "-c:v", "wmv2", dir + "/clip.wmv"}));
  FileInfo wma;
  FileInfo wmv;
  FileHandle wmaFile(fopen((dir + "/song.wma").c_str(), "rb"));
  FileHandle wmvFile(fopen((dir + "/clip.wmv").c_str(), "rb"));
  testhome::removeTree(dir);
  ASSERT_TRUE(wmaFile && wmvFile);
  EXPECT_EQ(0, AsfParser::parse(wmaFile.get(), wma));
  EXPECT_EQ(0, AsfParser::parse(wmvFile.get(), wmv));
  EXPECT_EQ("Ab", wma.artist);
  EXPECT_EQ("Alb", wma.album);
  EXPECT_EQ("Rock", wma.genre);
  EXPECT_EQ(0x161, wma.waveFormat.wFormatTag);
  EXPECT_EQ(2, wma.waveFormat.nChannels);
  EXPECT_EQ(44100u, wma.waveFormat.nSamplesPerSec);
  EXPECT_EQ(64u, wmv.bitMapHeader.width);
  EXPECT_EQ(48u, wmv.bitMapHeader.height);
  EXPECT_EQ("WMV2", fourCc(wmv.bitMapHeader));
}

// Every ASF file of the external corpus, whole and cut at every byte of its
// first 4 KiB (one file, shortened step by step): the walk must end with 0 or
// -1 and never read out of bounds.
TEST(AsfParserTest, ExternalAsfFilesParseWholeAndTruncated) {
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
