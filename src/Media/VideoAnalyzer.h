// Media/VideoAnalyzer.h: fills duration, bit rate and frame size of a
// FileInfo and names its DLNA video profile.
//
// libavformat gives the numbers for every video file; only mpg/mpeg (MPEG
// program and transport streams), wmv and tts get a profile. A file that
// libavformat cannot read keeps its defaults and gets no profile, whatever
// its extension. Stateless: each call opens and closes its own files.
#ifndef OMBRIX_MEDIA_VIDEOANALYZER_H
#define OMBRIX_MEDIA_VIDEOANALYZER_H

#include <cstdint>
#include <string>

class FileInfo;

namespace VideoAnalyzer {

void analyze(FileInfo& info);

// What the first bytes of an MPEG file say it is.
enum class StreamKind {
  Transport,             // anything else, such as the sync byte 0x47
  TimeStampedTransport,  // four zero bytes: a time stamp ahead of the first packet
  Program,               // the pack start code 00 00 01 BA
  Mpeg1Program,          // a pack start code followed by 0x21, the MPEG-1 pack header
};

// Classes a file by its first eight bytes (zeros past the end of a short file).
StreamKind classifyStream(const unsigned char (&head)[8]);

// The MPEG profile for a stream kind and frame size; "" when none applies.
std::string mpegProfile(StreamKind kind, int32_t width, int32_t height);

// The WMV profile from the frame size and the average bytes per second.
std::string wmvProfile(int32_t width, int32_t height, uint32_t avgBytesPerSec);

// Classes an MPEG file, takes the frame size from its first sequence header
// when libavformat left it incomplete, and names the profile. Returns 0 when
// the file was read, -1 when it cannot be opened (nothing changed).
int setMpegType(FileInfo& info);

// Names the WMV profile from the fields already filled. Always returns 0.
int setWmvType(FileInfo& info);

}  // namespace VideoAnalyzer

#endif  // OMBRIX_MEDIA_VIDEOANALYZER_H
