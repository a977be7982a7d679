// Media/AvLibrary.h: libavformat set-up and the pieces the WMA and video
// analysers share: an owned input context, codec names, the duration text and
// bit rate.
//
// Nothing here keeps state between calls; initAvLibrary only sets the
// library's own log level, which is process-wide by the library's design.
#ifndef OMBRIX_MEDIA_AVLIBRARY_H
#define OMBRIX_MEDIA_AVLIBRARY_H

#include <cstdint>
#include <memory>
#include <string>

class FileInfo;

extern "C" {
#include <libavformat/avformat.h>
}

// Called once by the entry point before any file is analysed. The library
// needs no registration any more; what remains is silencing its console
// output, so that a damaged file cannot spray the service's stderr.
void initAvLibrary();

// avformat_close_input() takes the address of the pointer, hence the deleter.
struct AvInputCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
using AvInputHandle = std::unique_ptr<AVFormatContext, AvInputCloser>;

// Opens path (format probed, default options) and, unless needsStreamInfo is
// false, reads its stream information; the container's tags are there
// without it. Returns null when either step fails; a context that was opened
// is closed again before returning.
AvInputHandle openAvInput(const std::string& path, bool needsStreamInfo = true);

// libavformat's name of the stream's codec ("wmav2", "mp3", ...); "" for no
// stream.
std::string codecName(const AVStream* stream);

// Sets duration and waveFormat.nAvgBytesPerSec from what the container
// knows of them; a field whose value the container lacks keeps its default.
void fillDurationAndBitRate(const AVFormatContext* input, FileInfo& info);

// A container duration in microseconds as "HH:MM:SS.mmm" (hours widen past
// two digits). Returns "" for the library's "no duration" mark and for a
// negative value, which no real file has.
std::string formatAvDuration(int64_t microseconds);

#endif  // OMBRIX_MEDIA_AVLIBRARY_H
