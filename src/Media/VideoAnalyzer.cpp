// Media/VideoAnalyzer.cpp: video numbers through libavformat, the MPEG
// stream class and sequence-header scan, and the DLNA video profiles.
//
// Nothing here logs: an unreadable file simply keeps its defaults.
#include "Media/VideoAnalyzer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"

namespace VideoAnalyzer {

namespace {

struct FrameSize {
  int32_t width;
  int32_t height;
};

bool isOneOf(int32_t width, int32_t height, std::initializer_list<FrameSize> sizes) {
  return std::any_of(sizes.begin(), sizes.end(), [&](const FrameSize& size) {
    return size.width == width && size.height == height;
  });
}

// Hands out the bytes of a file one at a time while reading it in large
// blocks: the sequence-header scan may run through a whole film.
class ByteReader {
 public:
  explicit ByteReader(FILE* file) : file(file), buffer(kBlockSize) {}

  // The next byte, or -1 at the end of the file (or on a read error).
  int next() {
    if (position == length && !refill()) return -1;
    return buffer[position++];
  }

  // Reads on until the last four bytes read equal code, with window holding
  // the four bytes before the reader's position on entry and the last four
  // read on return. False at the end of the file. Only a byte equal to the
  // code's last byte can end a match, so whole stretches without one are
  // passed over with memchr instead of being shifted through the window one
  // by one: the scan may run through a whole film, and byte by byte a few
  // gigabytes outlast the analysis time limit on the appliance.
  bool skipPast(const unsigned char (&code)[4], unsigned char (&window)[4]) {
    while (std::memcmp(window, code, 4) != 0) {
      if (position == length && !refill()) return false;
      const unsigned char* start = buffer.data() + position;
      const void* hit = std::memchr(start, code[3], length - position);
      size_t end =
          hit ? static_cast<size_t>(static_cast<const unsigned char*>(hit) - buffer.data()) + 1
              : length;
      // The window takes the last (up to four) bytes passed over.
      for (size_t i = end - position > 4 ? end - 4 : position; i < end; ++i) {
        std::memmove(window, window + 1, 3);
        window[3] = buffer[i];
      }
      position = end;
    }
    return true;
  }

  // Fills bytes with up to count bytes, zeros past the end; returns how many
  // came from the file.
  size_t read(unsigned char* bytes, size_t count) {
    std::memset(bytes, 0, count);
    size_t got = 0;
    for (int c; got < count && (c = next()) >= 0; ++got) bytes[got] = static_cast<unsigned char>(c);
    return got;
  }

 private:
  // Reads the next block; false at the end of the file (or on a read error).
  bool refill() {
    length = fread(buffer.data(), 1, buffer.size(), file);
    position = 0;
    return length > 0;
  }

  static constexpr size_t kBlockSize = 64 * 1024;
  FILE* file;
  std::vector<unsigned char> buffer;
  size_t position = 0;
  size_t length = 0;
};

// Looks for the first sequence header (00 00 01 B3) starting at file byte 4
// or later; bytes 0 to 3 are never tested. The reader stands at byte 8 and
// window holds bytes 4 to 7. The horizontal size is the first 12 bits after
// the start code, the vertical size the next 12. Gives 0 x 0 when there is
// no such header.
FrameSize scanSequenceHeader(ByteReader& reader, unsigned char (&window)[4]) {
  static constexpr unsigned char kSequenceHeader[4] = {0x00, 0x00, 0x01, 0xB3};
  if (!reader.skipPast(kSequenceHeader, window)) return FrameSize{0, 0};
  unsigned char size[4];
  (void)reader.read(size, sizeof size);  // a cut-off header reads as zeros
  return FrameSize{(size[0] << 4) | (size[1] >> 4), ((size[1] & 0x0F) << 8) | size[2]};
}

constexpr unsigned char kSyncByte = 0x47;
constexpr size_t kIsoPacket = 188;
constexpr size_t kStampedPacket = 192;  // a 4-byte time stamp, then a 188-byte packet
constexpr size_t kStampBytes = 4;

// True when kSyncRun packets of packetSize bytes, the first at offset, each
// begin with the sync byte within the length bytes of head.
bool isPacketRun(const unsigned char* head, size_t length, size_t offset, size_t packetSize) {
  if (offset + (kSyncRun - 1) * packetSize >= length) return false;
  for (size_t k = 0; k < kSyncRun; ++k) {
    if (head[offset + k * packetSize] != kSyncByte) return false;
  }
  return true;
}

// True when the time stamps ahead of the 192-byte packets of the run at
// offset are all zero; that of a first packet cut short is not there to test.
// A stamp is the low 30 bits: the top two say whether copying is allowed.
bool hasZeroStamps(const unsigned char* head, size_t offset) {
  for (size_t k = offset < kStampBytes ? 1 : 0; k < kSyncRun; ++k) {
    const unsigned char* stamp = head + offset + k * kStampedPacket - kStampBytes;
    if ((stamp[0] & 0x3F) != 0 || stamp[1] != 0 || stamp[2] != 0 || stamp[3] != 0) return false;
  }
  return true;
}

// What ombrix-probe shows as the codec of an MPEG file.
const char* kindName(StreamKind kind) {
  switch (kind) {
    case StreamKind::Program:
      return "program stream";
    case StreamKind::Mpeg1Program:
      return "MPEG-1 program stream";
    case StreamKind::Transport:
      return "188-byte packets";
    case StreamKind::ZeroStampedTransport:
      return "192-byte packets, zero time stamps";
    case StreamKind::TimeStampedTransport:
      return "192-byte packets, time stamps";
    case StreamKind::Unknown:
      break;
  }
  return "";
}

}  // namespace

void analyze(FileInfo& info) {
  std::string ext = Util::toLower(info.extName);
  AvInputHandle input = openAvInput(info.fullPathName);
  if (!input) return;
  fillDurationAndBitRate(input.get(), info);
  const AVStream* video = nullptr;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* stream = input->streams[i];
    // Cover art comes as a one-picture video stream; its size is not the film's.
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO ||
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
      continue;
    }
    // With several video streams the last one wins.
    video = stream;
    info.width = stream->codecpar->width;
    info.height = stream->codecpar->height;
  }
  const std::string videoCodec = codecName(video);
  input.reset();

  // Both results are informational; the fields tell the rest.
  if (ext == "wmv") {
    info.codec = videoCodec;
    (void)setWmvType(info);
  } else if (ext == "mpg" || ext == "mpeg") {
    (void)setMpegType(info);
  } else if (ext == "tts") {
    info.mediaType = "MPEG_TS_JP_T";
  }
}

StreamKind classifyStream(const unsigned char* head, size_t length) {
  static constexpr unsigned char kPackStart[4] = {0x00, 0x00, 0x01, 0xBA};
  if (length >= 4 && std::memcmp(head, kPackStart, 4) == 0) {
    // An MPEG-1 pack header starts with the bits 0010; 0x21 is its usual first byte.
    return length > 4 && head[4] == 0x21 ? StreamKind::Mpeg1Program : StreamKind::Program;
  }
  // A recording may be cut at any byte, so the first packet may be a part of
  // one: the run may start anywhere within the first packet's length.
  for (size_t offset = 0; offset < kStampedPacket; ++offset) {
    if (isPacketRun(head, length, offset, kIsoPacket)) return StreamKind::Transport;
    if (isPacketRun(head, length, offset, kStampedPacket)) {
      return hasZeroStamps(head, offset) ? StreamKind::ZeroStampedTransport
                                         : StreamKind::TimeStampedTransport;
    }
  }
  return StreamKind::Unknown;
}

std::string mpegProfile(StreamKind kind, int32_t width, int32_t height) {
  const std::string transport =
      isOneOf(width, height, {{1920, 1080}, {1280, 720}, {1440, 1080}, {1280, 1080}})
          ? "MPEG_TS_HD_NA"
          : "MPEG_TS_SD_NA";
  switch (kind) {
    case StreamKind::Mpeg1Program:
      return "MPEG1";
    case StreamKind::Program:
      if (isOneOf(width, height,
                  {{720, 480}, {704, 480}, {544, 480}, {480, 480}, {352, 480}, {352, 240}})) {
        return "MPEG_PS_NTSC";
      }
      if (isOneOf(width, height,
                  {{720, 576}, {704, 576}, {544, 576}, {480, 576}, {352, 576}, {352, 288}})) {
        return "MPEG_PS_PAL";
      }
      return "";
    // DLNA's names: "_ISO" for plain packets, no suffix for packets behind
    // time stamps of zero, "_T" for packets behind valid time stamps.
    case StreamKind::Transport:
      return transport + "_ISO";
    case StreamKind::ZeroStampedTransport:
      return transport;
    case StreamKind::TimeStampedTransport:
      return transport + "_T";
    case StreamKind::Unknown:
      return "";
  }
  return "";
}

int setMpegType(FileInfo& info) {
  FileHandle file(fopen(info.fullPathName.c_str(), "rb"));
  if (!file) return -1;
  unsigned char head[kHeadBytes];
  size_t length = fread(head, 1, sizeof head, file.get());
  StreamKind kind = classifyStream(head, length);
  if (info.width == 0 || info.height == 0) {
    FrameSize size{0, 0};
    // A file shorter than 8 bytes has no room for a header after byte 4.
    if (length >= 8 && fseeko(file.get(), 8, SEEK_SET) == 0) {
      ByteReader reader(file.get());
      unsigned char window[4] = {head[4], head[5], head[6], head[7]};
      size = scanSequenceHeader(reader, window);
    }
    info.width = size.width;
    info.height = size.height;
  }
  file.reset();
  info.mediaType = mpegProfile(kind, info.width, info.height);
  info.codec = kindName(kind);
  return 0;
}

std::string wmvProfile(int32_t width, int32_t height, uint32_t avgBytesPerSec) {
  std::string base = "WMVMED";  // also for every size the table does not name
  if (isOneOf(width, height, {{1920, 1080}})) {
    base = "WMVHIGH";
  } else if (isOneOf(width, height, {{240, 176}, {352, 288}})) {
    base = "WMVSPML";
  } else if (isOneOf(width, height, {{176, 144}})) {
    base = "WMVSPLL";
  }
  // Bit rate rebuilt from bytes per second; 64 bits so no rate can wrap.
  uint64_t bitRate = uint64_t{avgBytesPerSec} * 8;
  if (bitRate >= 384000) return base + "_PRO";
  if (bitRate >= 193000 || base == "WMVHIGH") return base + "_FULL";
  return base + "_BASE";
}

int setWmvType(FileInfo& info) {
  // Every DLNA WMV profile means WMV9/VC-1 video; WMV7 and 8 have none.
  const bool isWmv9 = info.codec == "wmv3" || info.codec == "vc1";
  info.mediaType =
      isWmv9 ? wmvProfile(info.width, info.height, info.waveFormat.nAvgBytesPerSec) : "";
  return 0;
}

}  // namespace VideoAnalyzer
