// Media/VideoAnalyzer.h: fills duration, bit rate and frame size of a
// FileInfo and names its DLNA video profile.
//
// libavformat gives the numbers for every video file; only mpg/mpeg (MPEG
// program and transport streams), wmv and tts get a profile. A file that
// libavformat cannot read keeps its defaults and gets no profile, whatever
// its extension; nor does a wmv whose video is not WMV9/VC-1, or an MPEG file
// whose packets are of no kind a profile names. Stateless: each call opens
// and closes its own files.
#ifndef OMBRIX_MEDIA_VIDEOANALYZER_H
#define OMBRIX_MEDIA_VIDEOANALYZER_H

#include <cstddef>
#include <cstdint>
#include <string>

class FileInfo;

namespace VideoAnalyzer {

void analyze(FileInfo& info);

// What the first bytes of an MPEG file say it is.
enum class StreamKind {
  Unknown,               // neither a program stream nor transport packets
  Program,               // the pack start code 00 00 01 BA
  Mpeg1Program,          // a pack start code followed by 0x21, the MPEG-1 pack header
  Transport,             // 188-byte transport packets, as ISO/IEC 13818-1 has them
  ZeroStampedTransport,  // 192-byte packets: a time stamp of zero ahead of each
  TimeStampedTransport,  // 192-byte packets with their time stamps
};

// How many transport packets in a row must begin with the sync byte (a
// payload byte of the same value may stand where one is looked for, five in
// a row will not), and how many first bytes of a file classifyStream needs to
// see such a run of 192-byte packets beginning anywhere in the first packet.
constexpr size_t kSyncRun = 5;
constexpr size_t kHeadBytes = (kSyncRun + 1) * 192;

// Classes a file by its first length bytes (up to kHeadBytes of them). A
// file cut inside a packet is a transport stream all the same.
StreamKind classifyStream(const unsigned char* head, size_t length);

// The MPEG profile for a stream kind and frame size; "" when none applies.
std::string mpegProfile(StreamKind kind, int32_t width, int32_t height);

// The WMV profile from the frame size and the average bytes per second.
std::string wmvProfile(int32_t width, int32_t height, uint32_t avgBytesPerSec);

// Classes an MPEG file, takes the frame size from its first sequence header
// when libavformat left it incomplete, and names the profile and the stream
// kind (as codec). Returns 0 when the file was read, -1 when it cannot be
// opened (nothing changed).
int setMpegType(FileInfo& info);

// Names the WMV profile from the fields already filled, codec among them:
// only WMV9 ("wmv3") and VC-1 ("vc1") video gets one. Always returns 0.
int setWmvType(FileInfo& info);

}  // namespace VideoAnalyzer

#endif  // OMBRIX_MEDIA_VIDEOANALYZER_H
