// Media/AudioAnalyzer.cpp: audio tags and properties through TagLib and
// libavformat, and the DLNA audio profile.
//
// Nothing here logs: an unreadable file simply keeps its defaults.
#include "Media/AudioAnalyzer.h"

#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"

namespace AudioAnalyzer {

namespace {

// Converts bytes from BIG5 to UTF-8 into utf8. Returns false when the
// conversion stopped before the last byte (an invalid or cut-off sequence),
// which is how a Latin-1 text such as "Beyonc\xE9" gives itself away.
bool convertBig5Completely(const std::string& bytes, std::string& utf8) {
  IconvHandle converter("UTF-8", "BIG5");
  if (!converter.isOpen()) return false;
  std::vector<char> input(bytes.begin(), bytes.end());
  // Two BIG5 bytes become at most three UTF-8 bytes, one byte stays one.
  std::vector<char> output(2 * bytes.size() + 1);
  char* in = input.data();
  size_t inLeft = input.size();
  char* out = output.data();
  size_t outLeft = output.size();
  // A failed call leaves inLeft above 0, which is all that is tested.
  (void)iconv(converter.get(), &in, &inLeft, &out, &outLeft);
  if (inLeft != 0) return false;
  utf8.assign(output.data(), out);
  return true;
}

bool hasWideCharacter(const TagLib::String& text) {
  for (wchar_t c : text) {
    if (static_cast<unsigned long>(c) > 0xFF) return true;
  }
  return false;
}

// The number at the start of a track tag such as "3/12"; 0 when there is none
// or it does not fit.
int32_t parseTrackNumber(const char* text) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || errno != 0 || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

// The value of a container tag, "" when absent. Absent tags still replace
// the "Unknown" default: the container has been read and has none.
std::string containerTag(const AVFormatContext* input, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
  return entry != nullptr ? entry->value : "";
}

std::string formatSeconds(int seconds) {
  char text[32];
  snprintf(text, sizeof text, "%02d:%02d:%02d.000", seconds / 3600, (seconds / 60) % 60,
           seconds % 60);
  return text;
}

}  // namespace

void analyze(FileInfo& info) {
  std::string ext = Util::toLower(info.extName);
  if (ext == "wma") {
    // The profile is set in there, and only for a file that could be read.
    (void)wmaAnalyze(info);
    return;
  }
  if (ext == "mp3" || ext == "ogg" || ext == "mpc" || ext == "flac") tagAnalyze(info);
  if (ext == "mp3") {
    info.mediaType = "MP3";
  } else if (ext == "pcm") {
    info.mediaType = "LPCM";
  }
}

std::string tagTextToUtf8(const TagLib::String& text) {
  if (hasWideCharacter(text)) return text.toCString(true);
  std::string bytes = text.toCString(false);
  std::string utf8;
  if (convertBig5Completely(bytes, utf8)) return utf8;
  return Util::convertToUtf8(bytes.data(), bytes.size(), "ISO-8859-1");
}

void tagAnalyze(FileInfo& info) {
  // Average: exact lengths would mean reading whole VBR files.
  TagLib::FileRef file(info.fullPathName.c_str(), true, TagLib::AudioProperties::Average);
  if (file.isNull()) return;
  if (const TagLib::Tag* tag = file.tag()) {
    info.artist = tagTextToUtf8(tag->artist());
    info.album = tagTextToUtf8(tag->album());
    info.genre = tagTextToUtf8(tag->genre());
    info.title = tagTextToUtf8(tag->title());
  }
  if (const TagLib::AudioProperties* properties = file.audioProperties()) {
    info.duration = formatSeconds(properties->lengthInSeconds());
    info.waveFormat.nChannels = static_cast<uint16_t>(properties->channels());
    info.waveFormat.nSamplesPerSec = static_cast<uint32_t>(properties->sampleRate());
  }
}

std::string wmaProfile(int64_t bitRate) {
  if (bitRate <= 192999) return "WMABASE";
  if (bitRate <= 383999) return "WMAFULL";
  return "WMAPRO";
}

bool wmaAnalyze(FileInfo& info) {
  AvInputHandle input = openAvInput(info.fullPathName);
  if (!input) return false;
  info.title = containerTag(input.get(), "title");
  info.artist = containerTag(input.get(), "artist");
  info.album = containerTag(input.get(), "album");
  info.genre = containerTag(input.get(), "genre");
  info.trackNo = parseTrackNumber(containerTag(input.get(), "track").c_str());

  fillDurationAndBitRate(input.get(), info);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters* codec = input->streams[i]->codecpar;
    if (codec->codec_type != AVMEDIA_TYPE_AUDIO) continue;
    // With several audio streams the last one wins.
    info.waveFormat.nChannels = static_cast<uint16_t>(codec->ch_layout.nb_channels);
    info.waveFormat.nSamplesPerSec = static_cast<uint32_t>(codec->sample_rate);
  }
  info.mediaType = wmaProfile(input->bit_rate);
  return true;
}

}  // namespace AudioAnalyzer
