// tests/MediaTest.cpp: what a file is and what its analysis finds: the
// per-file record, the audio, image and video analysers with their DLNA
// profiles, the ASF header parser, files other projects wrote to break their
// readers, and ombrix-probe, which shows it all.
//
// The tables are text, one case per entry, so that a failure names its input.
#include <fcntl.h>

#include "Media/AsfParser.h"
#include "Media/AudioAnalyzer.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"
#include "Media/ImageAnalyzer.h"
#include "Media/VideoAnalyzer.h"
#include "TestHome.h"

namespace {

using test::medium;

// The entries "key=value" of a table, separated by ";".
std::vector<std::pair<std::string, std::string>> entries(const std::string& table) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::istringstream text(table);
  for (std::string entry; std::getline(text >> std::ws, entry, ';');) {
    pairs.emplace_back(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  return pairs;
}

FileInfo analyzed(const std::string& path) {
  FileInfo info;
  info.fill(path);
  info.analyze();
  return info;
}

// What the analysis found, in one line: the profile ("-" for none), then
// each field that differs from the record's default. An audio file's rate
// is its stream's, and exact; a video's is the container's.
std::string found(const FileInfo& info) {
  std::ostringstream out;
  const WaveFormat& wave = info.waveFormat;
  out << (!info.result ? "not analysed" : info.mediaType.empty() ? "-" : info.mediaType);
  if (info.width != 0 || info.height != 0) out << " " << info.width << "x" << info.height;
  const std::string texts = info.title + "|" + info.artist + "|" + info.album + "|" + info.genre;
  if (texts != "Unknown|Unknown|Unknown|Unknown") out << " " << texts;
  if (info.duration != "00:00:00.000") out << " " << info.duration.substr(0, 8);
  if (wave.nChannels != 0) out << " " << wave.nChannels << "ch " << wave.nSamplesPerSec << "Hz";
  if (info.trackNo != 0) out << " #" << info.trackNo;
  if (wave.nAvgBytesPerSec != 0 && info.objType == ObjType::Audio) {
    out << " " << wave.nAvgBytesPerSec << "B/s";
  } else if (wave.nAvgBytesPerSec != 0) {
    out << " +rate";
  }
  return out.str();
}

// bytes with every from replaced by to, which is as long.
std::string swapped(std::string bytes, const std::string& from, const std::string& to) {
  for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
    bytes.replace(at, to.size(), to);
  }
  return bytes;
}

class MediaTest : public TestHome {
 protected:
  static void SetUpTestSuite() { initAvLibrary(); }
  // The path of a file written into this test's home, else of a medium.
  std::string file(const std::string& name) const {
    return Util::isFileExist(home + "/" + name) ? home + "/" + name : test::kMedia + "/" + name;
  }
  std::string write(const std::string& name, const std::string& bytes) const {
    test::writeFile(home + "/" + name, bytes);
    return home + "/" + name;
  }
};

TEST(FileInfoTest, NamePartsAndKindOfTrickyPaths) {
  for (const auto& [path, parts] : entries(
           "/m/Song.MP3=/m/|Song.MP3|MP3|audio/mpeg|2; /m/a.b/track=/m/a.b/|track|||0;"
           "/m/file.=/m/|file.|||0; /m/.mp3=/m/|.mp3|mp3|audio/mpeg|2; song.mp3=|song.mp3|||0;"
           "/m/x.y.TIFF=/m/|x.y.TIFF|TIFF|image/tif|1; /m/l.m3u=/m/|l.m3u|m3u|audio/x-mpegurl|5;"
           "/m/a.mpc=/m/|a.mpc|mpc|application/octet-stream|2; /m/a.m4a=/m/|a.m4a|m4a||0")) {
    FileInfo info;
    info.fill(path);
    EXPECT_EQ(parts, info.path + "|" + info.fileName + "|" + info.extName + "|" + info.mimeType +
                         "|" + std::to_string(static_cast<int>(info.objType)));
  }
}

// A 32-bit size or time would cut these: stat would fail with EOVERFLOW.
TEST_F(MediaTest, SizeAndTimesComeFromTheFilePast4GiBAnd2038) {
  FdHandle fd(open((home + "/big.mkv").c_str(), O_WRONLY | O_CREAT, 0644));
  ASSERT_EQ(0, ftruncate(fd.get(), 5LL * 1024 * 1024 * 1024 + 3));     // sparse
  const timespec times[2] = {{static_cast<time_t>(4102444800LL), 0},   // 2100
                             {static_cast<time_t>(2147483648LL), 0}};  // 2038, a second late
  ASSERT_EQ(0, futimens(fd.get(), times));
  FileInfo info;
  info.fill(home + "/big.mkv");
  std::ostringstream dump;
  info.dump(dump);
  EXPECT_NE(dump.str().find("\nfileSize: 5368709123\natime: 4102444800\n"), std::string::npos);
  EXPECT_NE(dump.str().find("\nmtime: 2147483648\n"), std::string::npos) << dump.str();
}

// Every kind of file the analysers read, well made or broken; a broken one
// keeps the defaults. Images write their size at level 5, nothing else logs.
TEST_F(MediaTest, AnalysersFindWhatTheFilesHold) {
  const std::string jpeg = medium("640x480.jpg"), png = medium("120x120.png"),
                    ts = medium("sd-ts.mpg"), flac = medium("tagged.flac"), x(500, 'x');
  ASSERT_LT(jpeg.find("\xFF\xC0"), 200u);  // the first 200 bytes hold the size, not the image
  ASSERT_EQ(flac[4], 0);                   // STREAMINFO first: a 4-byte header and 34 bytes
  write("LOUD.MP3", medium("tagged.mp3")), write("LOUD.JPG", jpeg), write("jpeg.png", jpeg);
  write("cut.jpg", jpeg.substr(0, 200)), write("cut.png", png.substr(0, 20)),
      write("stamped.tts", ts);
  write("huge.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\xFF\xFF\xFF\xFF\0\0\0\x20", 24));
  write("no-image.jpg", "\xFF\xD8\xFF\xD9"), write("bad-marker.jpeg", "\xFF\xD8\xFF\x01" + x);
  // Its first chunk is not the header: bytes 16 to 23 are no size.
  write("text-first.png",
        png.substr(0, 8) + std::string("\0\0\0\x09tEXtComment\0x\0\0\0\0", 21) + png.substr(8));
  write("hd-tts.mpeg", std::string(4, '\0') + medium("hd-ts.mpg"));  // stray bytes, no time stamp
  std::string zeroStamps = medium("sd-m2ts.mpg");
  for (size_t at = 0; at < zeroStamps.size(); at += 192) zeroStamps.replace(at, 4, 4, '\0');
  write("zero-stamps.mpg", zeroStamps);
  // Codecs ffmpeg cannot encode, named in the headers of files it made: a
  // profile follows the header's codec, not the packets.
  const std::string wmav2("\x61\x01\x02\x00\x44\xAC\x00\x00", 8);  // stereo 44.1 kHz
  write("pro.wma", swapped(medium("bare.wma"), wmav2, "\x62\x01" + wmav2.substr(2)));
  write("lossless.wma", swapped(medium("bare.wma"), wmav2, "\x63\x01" + wmav2.substr(2)));
  write("wmv3.wmv", swapped(medium("clip.wmv"), "WMV2", "WMV3"));
  write("wvc1.wmv", swapped(medium("clip.wmv"), "WMV2", "WVC1"));
  write("wav.mp3", medium("wav.wav"));
  // TagLib refuses a FLAC file with a zero-length block; libavformat reads it.
  write("zero-block.flac", flac.substr(0, 42) + std::string("\x07\0\0\0", 4) + flac.substr(42));
  write("x.mp3", x), write("x.flac", x), write("x.mpg", x), write("x.wmv", x),
      write("empty.wma", "");
  write("list.m3u", "a.mp3\n");
  const std::string song = " Song|Bj\xC3\xB6rk|Record|Rock 00:00:02 2ch 44100Hz;";
  for (const auto& [name, expected] : entries(
           "tagged.mp3=MP3" + song + "LOUD.MP3=MP3" + song + "tagged.ogg=-" + song +
           "tagged.flac=-" + song + "zero-block.flac=-" + song +
           "encoder-only.mp3=MP3 ||| 00:00:02 2ch 44100Hz;"  // a tag, but no texts in it
           "rate22050.mp3=MP3X ||| 00:00:02 2ch 22050Hz; rate8000.mp3=- ||| 00:00:02 2ch 8000Hz;"
           "wav.mp3=- ||| 00:00:02 2ch 44100Hz;"
           "bare.wma=WMABASE ||| 00:00:02 2ch 44100Hz 16000B/s;"
           "pro.wma=WMAPRO ||| 00:00:02 2ch 44100Hz 16000B/s;"
           "lossless.wma=- ||| 00:00:02 2ch 44100Hz 16000B/s;"
           "rate192k.wma=WMABASE ||| 00:00:02 2ch 44100Hz 24000B/s;"
           "rate256k.wma=WMAFULL ||| 00:00:02 2ch 44100Hz 32000B/s;"
           "rate320k.wma=WMAFULL ||| 00:00:02 2ch 44100Hz 40000B/s;"
           "long.wma=WMABASE Halo|Beyonc\xC3\xA9|I Am|Pop 00:01:02 1ch 44100Hz #7 16000B/s;"
           "raw.pcm=LPCM; wav.wav=-; x.mp3=- |||; x.flac=-; empty.wma=-; missing.ogg=-;"
           "48x48.jpg=JPEG_SM_ICO 48x48; LOUD.JPG=JPEG_SM 640x480; 4097x100.jpg=- 4097x100;"
           "120x120.png=PNG_LRG_ICO 120x120; 5000x10.png=- 5000x10; huge.png=- 2147483647x32;"
           "cut.jpg=-; no-image.jpg=-; bad-marker.jpeg=-; jpeg.png=-; cut.png=-; photo.bmp=-;"
           "text-first.png=-; ntsc.mpg=MPEG_PS_NTSC 720x480 00:00:00 +rate;"
           "pal.mpg=MPEG_PS_PAL 720x576 00:00:00 +rate; mpeg1.mpeg=MPEG1 352x240 00:00:00 +rate;"
           "hd-ts.mpg=MPEG_TS_HD_NA_ISO 1920x1080 00:00:00 +rate;"
           "sd-ts.mpg=MPEG_TS_SD_NA_ISO 720x480 00:00:00 +rate;"
           "h264-ts.mpg=MPEG_TS_HD_NA_ISO 1280x720 00:00:00 +rate;"
           "hd-tts.mpeg=MPEG_TS_HD_NA_ISO 1920x1080 00:00:00 +rate;"
           "sd-m2ts.mpg=MPEG_TS_SD_NA_T 720x480 00:00:00 +rate;"
           "zero-stamps.mpg=MPEG_TS_SD_NA 720x480 00:00:00 +rate;"
           "stamped.tts=MPEG_TS_JP_T 720x480 00:00:00 +rate; clip.avi=- 352x240 00:00:00 +rate;"
           "clip.wmv=- 176x144 00:00:02 +rate; wmv3.wmv=WMVSPLL_BASE 176x144 00:00:02 +rate;"
           "wvc1.wmv=WMVSPLL_BASE 176x144 00:00:02 +rate; x.mpg=-; x.wmv=-; missing.avi=-;"
           "list.m3u=not analysed; missing.txt=not analysed")) {
    const size_t logged = log().size();
    FileInfo info = analyzed(file(name));
    EXPECT_EQ(expected, found(info)) << name;
    EXPECT_EQ(info.result ? "DLNA.ORG_PN=" + info.mediaType + ";DLNA.ORG_OP=01;DLNA.ORG_CI=0" : "",
              info.details);
    const bool isPng = info.extName == "png", isRead = info.objType == ObjType::Image && info.width;
    const std::string size = std::to_string(info.width) + "*" + std::to_string(info.height) + "\n";
    EXPECT_EQ(!isRead ? ""
                      : test::record("Media/ImageAnalyzer", isPng ? 222 : 52,
                                     (isPng ? "setPngType: " : "jpgAnalyze: ") + size),
              log().substr(logged))
        << name;
  }
}

// Old players wrote BIG5 bytes into one-byte tag fields, never into Unicode
// ones; single-byte text that is not BIG5 throughout is Latin-1. What TagLib
// loses of a damaged ID3v2 tag comes from libavformat under the same rule.
TEST_F(MediaTest, TagTextsComeOutAsUtf8) {
  const std::string big5("\xA4\xA4\xA4\xE5"), chinese("\xE4\xB8\xAD\xE6\x96\x87");
  const std::string day("Gran d\u00EDa"), v1field = big5 + std::string(26, '\0');
  auto everyField = [](char encoding, const std::string& bytes) {
    std::vector<std::pair<std::string, std::string>> frames;
    for (const char* id : {"TIT2", "TPE1", "TALB", "TCON"})
      frames.push_back({id, encoding + bytes});
    return test::taggedMp3(3, frames);
  };
  const std::pair<std::string, std::string> cases[] = {
      {everyField(0, big5), chinese},
      {everyField(1, std::string("\xFF\xFE\xE5\x65\x2C\x67\x9E\x8A", 8)),
       "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {everyField(1, std::string("\xFF\xFEG\0r\0a\0n\0 \0d\0\xED\0a\0", 18)), day},
      {everyField(3, day), day},
      {everyField(0, "Beyonc\xE9"), "Beyonc\xC3\xA9"},      // ends in a BIG5 lead byte
      {everyField(0, "Caf\xE9 Noir"), "Caf\xC3\xA9 Noir"},  // an invalid BIG5 pair
      // An ID3v1 tag at the end, its genre none.
      {medium("bare.mp3") + "TAG" + v1field + v1field + v1field + "2000" + std::string(30, '\0') +
           '\xFF',
       chinese + "|" + chinese + "|" + chinese + "|"},
      {test::taggedMp3(3, {{"TENC", ""}, {"TPE1", '\0' + big5}, {"TALB", '\3' + day}}),
       "|" + chinese + "|" + day + "|"},  // frames after an empty one
      // Version 4 with an extended header (its size, one flag byte, "CRC
      // follows", a CRC that nothing checks) and no padding.
      {test::taggedMp3(4, {{"TALB", "\3Record"}, {"TPE1", "\3Band"}, {"TCON", "\3Dance"}},
                       std::string("\0\0\0\x0C\x01\x20\x05\0\0\0\0\0", 12)),
       "|Band|Record|Dance"}};
  for (const auto& [bytes, texts] : cases) {
    const std::string fields = texts.find('|') == std::string::npos
                                   ? texts + "|" + texts + "|" + texts + "|" + texts
                                   : texts;
    EXPECT_EQ("MP3 " + fields + " 00:00:02 2ch 44100Hz", found(analyzed(write("id3.mp3", bytes))));
  }
}

// The profile rules on sizes and rates no file here has.
TEST(ProfileTest, ProfilesFollowSizeAndRate) {
  auto orNone = [](const std::string& profile) { return profile.empty() ? "-" : profile; };
  for (const auto& [size, profiles] : entries(
           "48 48=JPEG_SM_ICO PNG_SM_ICO; 49 48=JPEG_LRG_ICO PNG_TN; 120 119=JPEG_LRG_ICO PNG_TN;"
           "120 120=JPEG_LRG_ICO PNG_LRG_ICO; 121 120=JPEG_TN PNG_TN; 160 160=JPEG_TN PNG_TN;"
           "161 160=JPEG_SM PNG_LRG; 480 640=JPEG_MED PNG_LRG; 1024 768=JPEG_MED PNG_LRG;"
           "768 1024=JPEG_LRG PNG_LRG; 4096 4096=JPEG_LRG PNG_LRG; 4097 100=- -; 100 4097=- -")) {
    const int width = std::stoi(size), height = std::stoi(size.substr(size.find(' ')));
    EXPECT_EQ(profiles, orNone(ImageAnalyzer::jpegProfile(width, height)) + " " +
                            orNone(ImageAnalyzer::pngProfile(width, height)))
        << size;
  }
  for (const auto& [sizeAndRate, profile] : entries(  // width height bytes per second
           "320 240 18750=WMVMED_BASE; 176 144 62500=WMVSPLL_PRO; 1920 1080 0=WMVHIGH_FULL;"
           "352 288 24124=WMVSPML_BASE; 240 176 24125=WMVSPML_FULL; 720 576 47999=WMVMED_FULL;"
           "720 480 48000=WMVMED_PRO; 1920 1080 4294967295=WMVHIGH_PRO;"
           "720 480 536871912=WMVMED_PRO")) {  // times 8 is 2^32 + 8000 bit/s: no wrap
    std::istringstream in(sizeAndRate);
    uint32_t width, height, rate;
    in >> width >> height >> rate;
    EXPECT_EQ(profile, VideoAnalyzer::wmvProfile(width, height, rate)) << sizeAndRate;
  }
  for (const auto& [rate, profile] :
       entries("0=WMABASE; 192999=WMABASE; 193000=WMAFULL;"
               "383999=WMAFULL; 384000=WMAPRO; -1=WMABASE; 5000000000=WMAPRO")) {
    EXPECT_EQ(profile, AudioAnalyzer::wmaProfile(std::stoll(rate))) << rate;
  }
}

// The sequence-header scan finds the frame size where the container left it
// out; bytes 0 to 3 are never part of a header.
TEST_F(MediaTest, ScanFindsTheSequenceHeaderWhenTheSizeIsMissing) {
  auto header = [](int width, int height) {
    return std::string("\x00\x00\x01\xB3", 4) + static_cast<char>(width >> 4) +
           static_cast<char>(((width & 0x0F) << 4) | (height >> 8)) + static_cast<char>(height) +
           "\x13";
  };
  const std::string pack("\x00\x00\x01\xBA", 4), filler(100, 'U');
  std::string decoys = pack;  // the code's last byte everywhere, near-misses across blocks
  while (decoys.size() < 65540) decoys += std::string("\xB3\x00\x01\xB3\x00\x00\xB3\x01\xB3", 9);
  const std::pair<std::string, const char*> cases[] = {
      {pack + header(720, 480) + filler, "720x480 MPEG_PS_NTSC"},
      {header(1920, 1080) + filler + header(720, 480), "720x480 "},
      {pack + std::string(65530, 'U') + header(720, 576), "720x576 MPEG_PS_PAL"},  // two blocks
      {pack + std::string(1 << 20, 'U') + header(352, 288), "352x288 MPEG_PS_PAL"},
      {decoys + header(480, 480), "480x480 MPEG_PS_NTSC"},
      {std::string(4, '\0') + filler, "0x0 "},
      {pack + filler + std::string("\x00\x00\x01", 3), "0x0 "},
      {std::string("\x47\x00\x00\x01\xB3", 5), "0x0 "}};  // one sync byte is no packet
  for (const auto& [bytes, expected] : cases) {
    FileInfo info;
    info.fill(write("scan.mpg", bytes));
    EXPECT_EQ(0, VideoAnalyzer::setMpegType(info));
    EXPECT_EQ(expected, std::to_string(info.width) + "x" + std::to_string(info.height) + " " +
                            info.mediaType);
  }
}

// ---- The ASF header parser, on byte streams built here. Every number is
// written little-endian byte by byte, so the streams are the same on every
// host and test the parser's byte order on big-endian machines too.

std::string le(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
  return out;
}
std::string object(const std::string& guid, const std::string& body) {  // GUID as text
  auto hex = [&](size_t at, int n) { return std::stoull(guid.substr(at, n), nullptr, 16); };
  std::string out = le(hex(0, 8), 4) + le(hex(9, 4), 2) + le(hex(14, 4), 2);
  for (size_t at : {19, 21, 24, 26, 28, 30, 32, 34}) out += static_cast<char>(hex(at, 2));
  return out + le(24 + body.size(), 8) + body;
}
std::string utf16(const std::u16string& text, bool isTerminated = true) {
  std::string out;
  for (char16_t c : text) out += le(c, 2);
  return isTerminated ? out + le(0, 2) : out;
}
const char* const kData = "75B22636-668E-11CF-A6D9-00AA0062CE6C";
const char* const kStream = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
const char* const kAudio = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
std::string header(const std::string& children) {
  return object("75B22630-668E-11CF-A6D9-00AA0062CE6C", le(9, 4) + "\x01\x02" + children);
}
std::string author(const std::string& text) {  // a Content Description with a title and rating
  const std::string parts[5] = {utf16(u"Title"), text, utf16(u"(c)"), "", utf16(u"R")};
  std::string lengths, body;
  for (const std::string& part : parts) lengths += le(part.size(), 2), body += part;
  return object("75B22633-668E-11CF-A6D9-00AA0062CE6C", lengths + body);
}
std::string descriptor(int count, const std::string& name, const std::string& value) {
  return object("D2D0A440-E307-11D2-97F0-00A0C95EA850",
                le(count, 2) + le(name.size(), 2) + name + le(0, 2) + le(value.size(), 2) + value);
}
std::string stream(const char* type, const std::string& data, size_t declared) {
  return object(kStream, object(type, "").substr(0, 16) + std::string(24, '\0') + le(declared, 4) +
                             std::string(10, '\0') + data);
}
// What the parser found: its result, the texts and the stream formats.
std::string parsed(const std::string& bytes) {
  FileInfo info;
  FileHandle file(tmpfile());
  fwrite(bytes.data(), 1, bytes.size(), file.get());
  rewind(file.get());
  const int result = AsfParser::parse(file.get(), info);
  const char* code = reinterpret_cast<const char*>(&info.bitMapHeader.compression);
  const WaveFormat& wave = info.waveFormat;
  std::ostringstream out;
  out << result << " " << info.artist << "|" << info.album << "|" << info.genre << " "
      << wave.wFormatTag << "/" << wave.nChannels << "/" << wave.nSamplesPerSec << " "
      << info.bitMapHeader.width << "x" << info.bitMapHeader.height << " "
      << std::string(code, strnlen(code, 4));
  return out.str();
}

// The header's children fill the record, and the walk ends at the end of
// the file; the four-character code stays in file order. Unknown GUIDs and
// damaged sizes and lengths end the walk (a hang would fail by the test's
// timeout) keeping what came before; the sanitizers check that nothing is
// read out of bounds, here and in every cut of a real file.
TEST(AsfParserTest, ObjectsAreReadWithinTheirSizes) {
  const std::string ab = author(utf16(u"Ab")), data = object(kData, "").substr(0, 16);
  const std::string unknown = object("01234567-89AB-CDEF-0123-456789ABCDEF", "");
  const std::string audio = le(0x161, 2) + le(2, 2) + le(44100, 4) + std::string(12, 'x');
  const std::string video = std::string(15, '\0') + le(64, 4) + le(48, 4) + le(1, 2) + le(24, 2) +
                            "WMV3" + std::string(20, '\0');
  const std::string none = "Unknown|Unknown|Unknown 0/0/0 0x0 ";
  const std::pair<std::string, std::string> cases[] = {
      {header(author(utf16(u"J\u00fcrgen \u4e2d")) +
              descriptor(1, utf16(u"WM/AlbumTitle"), utf16(u"Alb")) +
              descriptor(1, utf16(u"WM/Genre"), utf16(u"Rock")) + stream(kAudio, audio, 20) +
              stream("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B", video, 51)) +
           object(kData, std::string(300, 'x')),
       "0 J\xC3\xBCrgen \xE4\xB8\xAD|Alb|Rock 353/2/44100 64x48 WMV3"},
      {medium("long.wma"), "0 Beyonc\xC3\xA9|I Am|Pop 353/1/44100 0x0 "},
      {medium("clip.wmv"), "0 Unknown|Unknown|Unknown 353/1/8000 176x144 WMV2"},
      {unknown + ab, "-1 " + none},
      {header(ab + unknown), "-1 Ab|Unknown|Unknown 0/0/0 0x0 "},
      {data + le(23, 8) + ab, "-1 " + none},
      {ab + data + le(1 << 20, 8), "0 Ab|Unknown|Unknown 0/0/0 0x0 "},     // past the file's end
      {ab + data + le(~0ull - 5, 8), "-1 Ab|Unknown|Unknown 0/0/0 0x0 "},  // past any offset
      {object(kStream, ""), "-1 " + none},     // too small for its fixed fields
      {stream(kAudio, "", 20), "-1 " + none},  // its format past its end
      {ab + descriptor(65535, utf16(u"WM/Genre"), utf16(u"G")), "-1 Ab|Unknown|G 0/0/0 0x0 "},
      // Only exact names, of two-byte characters with their terminator, select a field.
      {header(descriptor(1, utf16(u"WM/AlbumTitle"), utf16(u"V"))),
       "0 Unknown|V|Unknown 0/0/0 0x0 "},
      {header(descriptor(1, utf16(u"WM/Genre", false), utf16(u"V"))), "0 " + none},
      {header(descriptor(1, std::string("WM/Genre\0", 9), utf16(u"V"))), "0 " + none},
      {header(descriptor(1, utf16(u"WM/AlbumTitles"), utf16(u"V"))), "0 " + none}};  // 30 bytes
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(expected, parsed(bytes));
  const std::string wma = medium("long.wma");
  for (size_t cut = 0; cut < 4096; ++cut) {
    const std::string result = parsed(wma.substr(0, cut));
    EXPECT_TRUE(result.rfind("0 ", 0) == 0 || result.rfind("-1 ", 0) == 0) << cut << result;
  }
}

// ombrix-probe, run as a user would run it.
TEST_F(MediaTest, ProbeShowsTheRecordAndForAsfFilesTheParser) {
  if (OMBRIX_CROSSCOMPILING) GTEST_SKIP() << "the probe binary is not run in a cross build";
  const std::string probe = OMBRIX_BINARY_DIR "/tools/ombrix-probe", out = home + "/probe.txt";
  EXPECT_EQ(1, test::run({probe, file("long.wma"), home + "/none.mp3", home}, out));
  for (const std::string& part :
       {"== " + file("long.wma") + "\nfullPathName: ",
        std::string("\nmediaType: WMABASE\ncodec: wmav2\n"),
        std::string("\ndetails: DLNA.ORG_PN=WMABASE;DLNA.ORG_OP=01;DLNA.ORG_CI=0\nasf.parse: 0\n"
                    "asf.artist: Beyonc\xC3\xA9\nasf.album: I Am\nasf.genre: Pop\n"),
        "ombrix-probe: cannot read " + home + "/none.mp3: No such file or directory\n",
        "ombrix-probe: cannot read " + home + ": is a directory\n"}) {
    EXPECT_EQ(test::count(test::readFile(out), part), 1u) << part << test::readFile(out);
  }
  EXPECT_EQ(2, test::run({probe}, out));
  EXPECT_EQ(0u, test::readFile(out).find("usage: ombrix-probe PATH..."));
}

}  // namespace
