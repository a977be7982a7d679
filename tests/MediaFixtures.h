// tests/MediaFixtures.h: helpers for the analyser tests.
//
// Media is made at test time, once per suite, in a folder that the suite
// removes again: with the ffmpeg command-line tool, or byte by byte where
// only a header matters. Nothing here comes from files of unknown origin.
#ifndef OMBRIX_TESTS_MEDIAFIXTURES_H
#define OMBRIX_TESTS_MEDIAFIXTURES_H

#include <cstdint>
#include <string>
#include <vector>

#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"
#include "TestHome.h"

namespace media {

// A record filled from path and analysed, as the cataloguing does it.
inline FileInfo analyzed(const std::string& path) {
  FileInfo info;
  info.fill(path);
  info.analyze();
  return info;
}

// Runs ffmpeg with args and then path as its output.
inline bool make(const std::string& path, std::vector<std::string> args) {
  args.push_back(path);
  return testhome::ffmpeg(args);
}

// The lavfi test-source arguments for a single frame of the given size (RGB,
// since a subsampled source would round odd sizes down).
inline std::vector<std::string> stillFrame(int width, int height) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  return {"-f", "lavfi", "-i", "color=c=gray:s=" + size + ",format=rgb24", "-frames:v", "1"};
}

// Arguments for a short clip of the given size: ten frames at 25 per second
// (a rate every MPEG encoder accepts) and as much silence, enough for every
// container to know its duration and bit rate.
inline std::vector<std::string> shortClip(int width, int height) {
  std::string size = std::to_string(width) + "x" + std::to_string(height);
  return {"-f", "lavfi", "-i",       "testsrc=d=0.4:r=25:s=" + size,
          "-f", "lavfi", "-i",       "anullsrc=r=8000:cl=mono",
          "-t", "0.4",   "-shortest"};
}

// Writes count bytes of the given value in big-endian order.
inline std::string bigEndian(uint32_t value, int count) {
  std::string bytes;
  for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
    bytes += static_cast<char>((value >> shift) & 0xFF);
  }
  return bytes;
}

// One text frame of an ID3v2.3 tag. encoding 0 is ISO-8859-1 (one byte per
// character, whatever the bytes mean), 1 is UTF-16 after a byte-order mark.
struct Id3Frame {
  const char* id;
  char encoding;
  std::string text;
};

// An ID3v2.3 tag holding frames, to put in front of a tagless MP3.
inline std::string id3v23Tag(const std::vector<Id3Frame>& frames) {
  std::string body;
  for (const Id3Frame& frame : frames) {
    std::string data = std::string(1, frame.encoding) + frame.text;
    body += std::string(frame.id, 4) + bigEndian(static_cast<uint32_t>(data.size()), 4);
    body += std::string(2, '\0') + data;  // no frame flags
  }
  // The tag size is "synchsafe": seven bits per byte.
  uint32_t size = static_cast<uint32_t>(body.size());
  std::string header = std::string("ID3\x03\x00\x00", 6);
  for (int shift = 21; shift >= 0; shift -= 7) header += static_cast<char>((size >> shift) & 0x7F);
  return header + body;
}

}  // namespace media

#endif  // OMBRIX_TESTS_MEDIAFIXTURES_H
