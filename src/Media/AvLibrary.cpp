// Media/AvLibrary.cpp: libavformat set-up, input context, codec names,
// duration and bit rate.
#include "Media/AvLibrary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "Media/FileInfo.h"

extern "C" {
#include <libavutil/log.h>
}

void initAvLibrary() {
  av_log_set_level(AV_LOG_QUIET);
}

namespace {

bool isSizedByHeader(const AVCodecParameters* codec) {
  return codec->codec_type == AVMEDIA_TYPE_VIDEO && codec->width > 0 && codec->height > 0;
}

// Probing the streams decodes the first frames of every video stream, only
// to learn what the analysers never use (the pixel format, the decoder's
// delay). Where the container's header already gives a stream's frame size,
// as MP4, Matroska, AVI and ASF headers do, that decoding is all cost: a
// 720p H.264 frame and its tables take some 3 MB and most of the time spent
// on the file. So the decoders of such streams are left off the list the
// probe may open; without one, libavformat takes the header's values as
// they are. Streams the header leaves unsized (MPEG program and transport
// streams) are decoded as before.
void keepHeaderSizedStreamsUndecoded(AVFormatContext* input) {
  std::vector<AVCodecID> sized;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters* codec = input->streams[i]->codecpar;
    if (isSizedByHeader(codec)) sized.push_back(codec->codec_id);
  }
  if (sized.empty()) return;
  std::string allowed;
  void* position = nullptr;
  while (const AVCodec* decoder = av_codec_iterate(&position)) {
    if (!av_codec_is_decoder(decoder) ||
        std::find(sized.begin(), sized.end(), decoder->id) != sized.end()) {
      continue;
    }
    if (!allowed.empty()) allowed += ',';
    allowed += decoder->name;
  }
  // The context frees it with the rest; left null, every decoder is allowed,
  // which is only the old cost.
  input->codec_whitelist = av_strdup(allowed.c_str());
}

}  // namespace

AvInputHandle openAvInput(const std::string& path, bool needsStreamInfo) {
  AVFormatContext* raw = nullptr;
  // The prefix keeps a name such as "concat:a|b" or "http:x" a plain file
  // name instead of a protocol. On failure avformat_open_input frees the
  // context and leaves raw null.
  std::string url = "file:" + path;
  if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) != 0) return nullptr;
  AvInputHandle input(raw);
  if (!needsStreamInfo) return input;
  keepHeaderSizedStreamsUndecoded(input.get());
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
  return input;
}

std::string codecName(const AVStream* stream) {
  return stream != nullptr ? avcodec_get_name(stream->codecpar->codec_id) : "";
}

std::string formatAvDuration(int64_t microseconds) {
  if (microseconds == AV_NOPTS_VALUE || microseconds < 0) return "";
  int64_t seconds = microseconds / 1000000;
  int64_t millis = (microseconds % 1000000) / 1000;
  int64_t minutes = seconds / 60;
  // 20 digits of hours + ":MM:SS.mmm" + the terminator fit in 32 bytes.
  char text[32];
  snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, minutes / 60,
           minutes % 60, seconds % 60, millis);
  return text;
}

void fillDurationAndBitRate(const AVFormatContext* input, FileInfo& info) {
  std::string duration = formatAvDuration(input->duration);
  if (!duration.empty()) info.duration = duration;
  // A negative rate is as unknown as 0; bytes per second, rounded down.
  if (input->bit_rate > 0) {
    info.waveFormat.nAvgBytesPerSec = static_cast<uint32_t>(input->bit_rate / 8);
  }
}
