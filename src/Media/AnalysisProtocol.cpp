// Media/AnalysisProtocol.cpp: encoding, decoding and framing of the
// workers' requests and answers.
//
// A record is a magic number and a fixed sequence of fields: the texts, then
// the numbers, then the wave format, the bitmap header and the result flag.
// A request is its own magic number, a count and that many records.
// An answer is its own magic number, the texts and numbers analysis fills
// (profile, tags, duration; sizes, track; channels and rates), the number of
// log records and each record as line, source name and item.
#include "Media/AnalysisProtocol.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "Common/Util.h"
#include "Media/FileInfo.h"

namespace {

constexpr uint64_t kRecordMagic = 0x4f4d4249;   // "OMBI"
constexpr uint64_t kRequestMagic = 0x4f4d4252;  // "OMBR"
constexpr uint64_t kAnswerMagic = 0x4f4d4241;   // "OMBA"

class Writer {
 public:
  void number(uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
  }
  void text(const std::string& value) {
    length(static_cast<uint32_t>(value.size()));
    bytes += value;
  }
  void length(uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
  }
  std::string bytes;
};

class Reader {
 public:
  explicit Reader(const std::string& b) : bytes(b) {}
  bool number(uint64_t& value) {
    if (bytes.size() - pos < 8) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[pos++]);
    return true;
  }
  // Refuses a value that does not fit T; a signed one travels as the bits
  // of its 64-bit widening.
  template <typename T>
  bool integer(T& value) {
    uint64_t raw;
    if (!number(raw)) return false;
    value = static_cast<T>(raw);
    return static_cast<uint64_t>(value) == raw;
  }
  bool text(std::string& value) {
    uint32_t size;
    if (!length(size) || bytes.size() - pos < size) return false;
    value.assign(bytes, pos, size);
    pos += size;
    return true;
  }
  bool length(uint32_t& value) {
    if (bytes.size() - pos < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[pos++]);
    return true;
  }
  bool atEnd() const { return pos == bytes.size(); }

 private:
  const std::string& bytes;
  size_t pos = 0;
};

// Signed values travel as their two's-complement bit pattern.
uint64_t asBits(int64_t value) {
  return static_cast<uint64_t>(value);
}

// The record of the analysis side with this source name and line.
bool findAnalysisRecord(const std::string& source, uint64_t line, LogId& id) {
  for (const LogRecord& record : kLogContract) {
    bool isAnalysisSide =
        record.source == LogSource::ImageAnalyzer || record.source == LogSource::Sandbox;
    if (isAnalysisSide && source == logSourceName(record.source) &&
        line == static_cast<uint64_t>(record.line)) {
      id = record.id;
      return true;
    }
  }
  return false;
}

uint32_t lengthAt(const char* header) {
  uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size = (size << 8) | static_cast<unsigned char>(header[i]);
  return size;
}

}  // namespace

namespace AnalysisProtocol {

std::string encodeRecord(const FileInfo& info) {
  Writer w;
  w.number(kRecordMagic);
  for (const std::string* text : {&info.fullPathName, &info.path, &info.fileName, &info.extName,
                                  &info.mimeType, &info.mediaType, &info.details, &info.title,
                                  &info.artist, &info.album, &info.genre, &info.duration}) {
    w.text(*text);
  }
  for (int64_t value : {info.fileSize, static_cast<int64_t>(info.atime),
                        static_cast<int64_t>(info.mtime), static_cast<int64_t>(info.ctime),
                        static_cast<int64_t>(info.objType), static_cast<int64_t>(info.height),
                        static_cast<int64_t>(info.width), static_cast<int64_t>(info.trackNo)}) {
    w.number(asBits(value));
  }
  const WaveFormat& f = info.waveFormat;
  for (uint64_t value : {uint64_t{f.wFormatTag}, uint64_t{f.nChannels}, uint64_t{f.nSamplesPerSec},
                         uint64_t{f.nAvgBytesPerSec}, uint64_t{f.nBlockAlign},
                         uint64_t{f.wBitsPerSample}, uint64_t{f.cbSize}, uint64_t{f.res}}) {
    w.number(value);
  }
  const BitMapHeader& b = info.bitMapHeader;
  for (uint64_t value :
       {uint64_t{b.size}, uint64_t{b.width}, uint64_t{b.height}, uint64_t{b.planes},
        uint64_t{b.bitCount}, uint64_t{b.compression}, uint64_t{b.sizeImage},
        uint64_t{b.xPelsPerMeter}, uint64_t{b.yPelsPerMeter}, uint64_t{b.clrUsed},
        uint64_t{b.clrImportant}}) {
    w.number(value);
  }
  w.number(info.result ? 1 : 0);
  return w.bytes;
}

bool decodeRecord(const std::string& bytes, FileInfo& info) {
  Reader r(bytes);
  uint64_t magic;
  if (!r.number(magic) || magic != kRecordMagic) return false;
  FileInfo out;
  for (std::string* text :
       {&out.fullPathName, &out.path, &out.fileName, &out.extName, &out.mimeType, &out.mediaType,
        &out.details, &out.title, &out.artist, &out.album, &out.genre, &out.duration}) {
    if (!r.text(*text)) return false;
  }
  int32_t objType;
  if (!r.integer(out.fileSize) || !r.integer(out.atime) || !r.integer(out.mtime) ||
      !r.integer(out.ctime) || !r.integer(objType) || !r.integer(out.height) ||
      !r.integer(out.width) || !r.integer(out.trackNo)) {
    return false;
  }
  out.objType = static_cast<ObjType>(objType);
  WaveFormat& f = out.waveFormat;
  if (!r.integer(f.wFormatTag) || !r.integer(f.nChannels) || !r.integer(f.nSamplesPerSec) ||
      !r.integer(f.nAvgBytesPerSec) || !r.integer(f.nBlockAlign) || !r.integer(f.wBitsPerSample) ||
      !r.integer(f.cbSize) || !r.integer(f.res)) {
    return false;
  }
  BitMapHeader& b = out.bitMapHeader;
  if (!r.integer(b.size) || !r.integer(b.width) || !r.integer(b.height) || !r.integer(b.planes) ||
      !r.integer(b.bitCount) || !r.integer(b.compression) || !r.integer(b.sizeImage) ||
      !r.integer(b.xPelsPerMeter) || !r.integer(b.yPelsPerMeter) || !r.integer(b.clrUsed) ||
      !r.integer(b.clrImportant)) {
    return false;
  }
  uint64_t result;
  if (!r.number(result) || result > 1 || !r.atEnd()) return false;
  out.result = result == 1;
  info = std::move(out);
  return true;
}

std::string encodeRequest(const std::vector<std::string>& records) {
  Writer w;
  w.number(kRequestMagic);
  w.length(static_cast<uint32_t>(records.size()));
  for (const std::string& record : records) w.text(record);
  return w.bytes;
}

bool decodeRequest(const std::string& bytes, std::vector<FileInfo>& files) {
  Reader r(bytes);
  uint64_t magic;
  uint32_t count;
  if (!r.number(magic) || magic != kRequestMagic || !r.length(count) || count == 0 ||
      count > kMaxBatch) {
    return false;
  }
  std::vector<FileInfo> out(count);
  std::string record;
  for (FileInfo& info : out) {
    if (!r.text(record) || !decodeRecord(record, info)) return false;
  }
  if (!r.atEnd()) return false;
  files = std::move(out);
  return true;
}

// Only the fields analysis fills travel back; the daemon has the rest.
std::string encodeAnswer(const FileInfo& info, const std::vector<CapturedRecord>& records) {
  Writer w;
  w.number(kAnswerMagic);
  for (const std::string* text :
       {&info.mediaType, &info.title, &info.artist, &info.album, &info.genre, &info.duration}) {
    w.text(*text);
  }
  for (int32_t value : {info.width, info.height, info.trackNo}) w.number(asBits(value));
  const WaveFormat& f = info.waveFormat;
  for (uint64_t value :
       {uint64_t{f.nChannels}, uint64_t{f.nSamplesPerSec}, uint64_t{f.nAvgBytesPerSec}}) {
    w.number(value);
  }
  w.length(static_cast<uint32_t>(records.size()));
  for (const CapturedRecord& captured : records) {
    const LogRecord& record = logRecord(captured.id);
    w.number(static_cast<uint64_t>(record.line));
    w.text(logSourceName(record.source));
    w.text(captured.item);
  }
  return w.bytes;
}

bool decodeAnswer(const std::string& bytes, FileInfo& info, std::vector<CapturedRecord>& records) {
  Reader r(bytes);
  uint64_t magic;
  if (!r.number(magic) || magic != kAnswerMagic) return false;
  FileInfo found = info;
  for (std::string* text : {&found.mediaType, &found.title, &found.artist, &found.album,
                            &found.genre, &found.duration}) {
    if (!r.text(*text)) return false;
  }
  WaveFormat& f = found.waveFormat;
  uint32_t count;
  if (!r.integer(found.width) || !r.integer(found.height) || !r.integer(found.trackNo) ||
      !r.integer(f.nChannels) || !r.integer(f.nSamplesPerSec) || !r.integer(f.nAvgBytesPerSec) ||
      !r.length(count) || count > kMaxRecords) {
    return false;
  }
  std::vector<CapturedRecord> out(count);
  for (CapturedRecord& captured : out) {
    uint64_t line;
    std::string source;
    if (!r.number(line) || !r.text(source) || !r.text(captured.item) ||
        captured.item.size() > kMaxItemBytes || !findAnalysisRecord(source, line, captured.id)) {
      return false;
    }
  }
  if (!r.atEnd()) return false;
  info = std::move(found);
  records = std::move(out);
  return true;
}

std::string frame(const std::string& payload) {
  Writer w;
  w.length(static_cast<uint32_t>(payload.size()));
  w.bytes += payload;
  return w.bytes;
}

Unframed unframe(std::string& buffer, std::string& payload) {
  if (buffer.size() < 4) return Unframed::Incomplete;
  uint32_t size = lengthAt(buffer.data());
  if (size > kMaxMessageBytes) return Unframed::TooLong;
  if (buffer.size() - 4 < size) return Unframed::Incomplete;
  payload.assign(buffer, 4, size);
  buffer.erase(0, 4 + size);
  return Unframed::Complete;
}

bool sendMessage(int fd, const std::string& payload) {
  std::string framed = frame(payload);
  return Util::writeAll(fd, framed.data(), framed.size());
}

bool receiveMessage(int fd, std::string& payload) {
  char header[4];
  if (!Util::readAll(fd, header, sizeof header)) return false;
  uint32_t size = lengthAt(header);
  if (size > kMaxMessageBytes) return false;
  payload.assign(size, '\0');
  return Util::readAll(fd, &payload[0], size);
}

}  // namespace AnalysisProtocol
