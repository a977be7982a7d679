// fuzz/MpegScanFuzz.cpp: libFuzzer entry for the MPEG stream class and the
// sequence-header scan (VideoAnalyzer::setMpegType with no frame size known).
//
// The scan passes over blocks rather than bytes, so it is checked against a
// plain byte-by-byte reading of the same rule: the first 00 00 01 B3 that
// starts at byte 4 or later gives the size from the 24 bits after it (zeros
// past the end of the file). Any difference aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "FuzzInputFile.h"
#include "Media/FileInfo.h"
#include "Media/VideoAnalyzer.h"

namespace {

// The byte at, or 0 past the end of the input.
unsigned char byteAt(const uint8_t* data, size_t size, size_t at) {
  return at < size ? data[at] : 0;
}

void expectedSize(const uint8_t* data, size_t size, int32_t& width, int32_t& height) {
  width = height = 0;
  if (size < 8) return;  // no room for a header after byte 4
  static constexpr uint8_t kCode[4] = {0x00, 0x00, 0x01, 0xB3};
  for (size_t at = 4; at + 4 <= size; ++at) {
    if (std::memcmp(data + at, kCode, 4) != 0) continue;
    unsigned char b0 = byteAt(data, size, at + 4), b1 = byteAt(data, size, at + 5),
                  b2 = byteAt(data, size, at + 6);
    width = (b0 << 4) | (b1 >> 4);
    height = ((b1 & 0x0F) << 8) | b2;
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzInputFile input;  // one memory file for the whole run
  FileInfo info;
  info.fullPathName = input.write(data, size);
  if (VideoAnalyzer::setMpegType(info) != 0) abort();  // the file is there to open

  int32_t width, height;
  expectedSize(data, size, width, height);
  const VideoAnalyzer::StreamKind kind =
      VideoAnalyzer::classifyStream(data, std::min(size, VideoAnalyzer::kHeadBytes));
  if (info.width != width || info.height != height ||
      info.mediaType != VideoAnalyzer::mpegProfile(kind, width, height)) {
    abort();
  }
  return 0;
}
