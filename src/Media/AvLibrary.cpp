// Media/AvLibrary.cpp: libavformat set-up, input context, codec names,
// duration and bit rate.
#include "Media/AvLibrary.h"

#include <cinttypes>
#include <cstdio>

#include "Media/FileInfo.h"

extern "C" {
#include <libavutil/log.h>
}

void initAvLibrary() {
  av_log_set_level(AV_LOG_QUIET);
}

AvInputHandle openAvInput(const std::string& path, bool needsStreamInfo) {
  AVFormatContext* raw = nullptr;
  // The prefix keeps a name such as "concat:a|b" or "http:x" a plain file
  // name instead of a protocol. On failure avformat_open_input frees the
  // context and leaves raw null.
  std::string url = "file:" + path;
  if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) != 0) return nullptr;
  AvInputHandle input(raw);
  if (needsStreamInfo && avformat_find_stream_info(input.get(), nullptr) < 0) return nullptr;
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
