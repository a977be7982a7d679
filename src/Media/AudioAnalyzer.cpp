// Media/AudioAnalyzer.cpp: audio tags and properties through TagLib and
// libavformat, and the DLNA audio profile.
//
// Nothing here logs: an unreadable file simply keeps its defaults.
#include "Media/AudioAnalyzer.h"

#include <taglib/apetag.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The number at the start of a track tag such as "3/12"; 0 when there is none
// or it does not fit.
int32_t parseTrackNumber(const char* text) {
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || errno != 0 || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

// The last audio stream of the file (the one whose numbers win when there
// are several), or null when it has none.
const AVStream* lastAudioStream(const AVFormatContext* input) {
  const AVStream* audio = nullptr;
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) audio = input->streams[i];
  }
  return audio;
}

// The value of a container tag, "" when absent. Absent tags still replace
// the "Unknown" default: the container has been read and has none. Ogg keeps
// its comments on the audio stream rather than on the container.
std::string containerTag(const AVFormatContext* input, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
  const AVStream* audio = lastAudioStream(input);
  if (entry == nullptr && audio != nullptr) entry = av_dict_get(audio->metadata, key, nullptr, 0);
  return entry != nullptr ? entry->value : "";
}

std::string formatSeconds(int64_t seconds) {
  char text[48];
  snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".000", seconds / 3600,
           (seconds / 60) % 60, seconds % 60);
  return text;
}

// A tag text field: how TagLib reads it, its ID3v2 frame, its libavformat
// key and where it goes in the record.
struct TextField {
  TagLib::String (TagLib::Tag::*read)() const;
  const char* frameId;
  const char* key;
  std::string FileInfo::*member;
};

const TextField kTextFields[] = {{&TagLib::Tag::artist, "TPE1", "artist", &FileInfo::artist},
                                 {&TagLib::Tag::album, "TALB", "album", &FileInfo::album},
                                 {&TagLib::Tag::genre, "TCON", "genre", &FileInfo::genre},
                                 {&TagLib::Tag::title, "TIT2", "title", &FileInfo::title}};

// The tags of a TagLib file, in the order TagLib's own combined tag consults
// them, so a field comes from the same tag as before; absent ones left out.
std::vector<const TagLib::Tag*> tagsOf(TagLib::File* file) {
  std::vector<const TagLib::Tag*> tags;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
    tags = {mpeg->ID3v2Tag(), mpeg->APETag(), mpeg->ID3v1Tag()};
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
    tags = {flac->xiphComment(), flac->ID3v2Tag(), flac->ID3v1Tag()};
  } else if (auto* mpc = dynamic_cast<TagLib::MPC::File*>(file)) {
    tags = {mpc->APETag(), mpc->ID3v1Tag()};
  } else {
    tags = {file->tag()};  // Ogg (one Vorbis comment), or what TagLib found by content
  }
  tags.erase(std::remove(tags.begin(), tags.end(), nullptr), tags.end());
  return tags;
}

// How tag stores field: ID3v1 always one byte per character, ID3v2 as the
// frame declares, every other kind of tag in Unicode.
TextOrigin originOf(const TagLib::Tag* tag, const TextField& field) {
  if (dynamic_cast<const TagLib::ID3v1::Tag*>(tag) != nullptr) return TextOrigin::SingleByte;
  const auto* id3v2 = dynamic_cast<const TagLib::ID3v2::Tag*>(tag);
  if (id3v2 == nullptr) return TextOrigin::Unicode;
  auto frames = id3v2->frameListMap().find(field.frameId);
  if (frames == id3v2->frameListMap().end() || frames->second.isEmpty()) {
    return TextOrigin::Unicode;
  }
  const auto* text =
      dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frames->second.front());
  return text != nullptr && text->textEncoding() == TagLib::String::Latin1 ? TextOrigin::SingleByte
                                                                           : TextOrigin::Unicode;
}

// The field from the first tag that has it, as UTF-8; "" when none has.
std::string tagText(const std::vector<const TagLib::Tag*>& tags, const TextField& field) {
  for (const TagLib::Tag* tag : tags) {
    TagLib::String text = (tag->*field.read)();
    if (!text.isEmpty()) return tagTextToUtf8(text, originOf(tag, field));
  }
  return "";
}

// ID3v2 sizes: four bytes, big-endian, plain or "synchsafe" (seven bits per
// byte, so that no size looks like an MPEG sync mark).
uint32_t readId3Number(const unsigned char* bytes, bool isSynchsafe) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << (isSynchsafe ? 7 : 8)) | bytes[i];
  return value;
}

// The encoding byte (0 ISO-8859-1, 1 and 2 UTF-16, 3 UTF-8) of the first
// frameId frame in the ID3v2.3 or 2.4 tag at the start of the file, or -1
// when there is none or its data is wrapped (compressed, encrypted, ...).
// libavformat hands back every text as UTF-8, so this is how a text it found
// is known to come from a single-byte frame. Empty frames and an extended
// header are stepped over, since those are where TagLib gave up.
int id3v2TextEncoding(const std::string& path, const char* frameId) {
  FileHandle file(fopen(path.c_str(), "rb"));
  unsigned char header[10];
  if (!file || fread(header, 1, sizeof header, file.get()) != sizeof header ||
      std::memcmp(header, "ID3", 3) != 0) {
    return -1;
  }
  const bool isV24 = header[3] == 4;
  // 2.2 has three-letter frames; a wholly unsynchronised 2.3 tag has its
  // frame headers altered too.
  if ((header[3] != 3 && !isV24) || (!isV24 && (header[5] & 0x80) != 0)) return -1;
  const uint64_t tagEnd = sizeof header + uint64_t{readId3Number(header + 6, true)};
  uint64_t position = sizeof header;
  if ((header[5] & 0x40) != 0) {
    // The extended header's size counts itself in 2.4 only.
    unsigned char size[4];
    if (fread(size, 1, sizeof size, file.get()) != sizeof size) return -1;
    position += readId3Number(size, isV24) + (isV24 ? 0 : sizeof size);
  }
  // A frame header (10 bytes) and the first data byte.
  unsigned char frame[11];
  while (position + sizeof frame <= tagEnd &&
         fseeko(file.get(), static_cast<off_t>(position), SEEK_SET) == 0 &&
         fread(frame, 1, sizeof frame, file.get()) == sizeof frame && frame[0] != 0) {
    uint32_t size = readId3Number(frame + 4, isV24);
    if (std::memcmp(frame, frameId, 4) == 0) return size > 0 && frame[9] == 0 ? frame[10] : -1;
    position += 10 + uint64_t{size};
  }
  return -1;
}

// What libavformat holds for field, under the same text rule as TagLib's
// texts. It has already read a single-byte frame as ISO-8859-1; undoing that
// gives back the bytes for the BIG5 test.
std::string containerText(const AVFormatContext* input, const TextField& field,
                          const std::string& path) {
  std::string text = containerTag(input, field.key);
  if (text.empty() || id3v2TextEncoding(path, field.frameId) != 0) return text;
  return tagTextToUtf8(TagLib::String(text, TagLib::String::UTF8), TextOrigin::SingleByte);
}

// The codec names libavformat gives MPEG audio, by layer.
constexpr const char* kMpegLayerCodecs[] = {"", "mp1", "mp2", "mp3"};

// Whether TagLib may have stopped part way through a tag of file: it ends an
// ID3v2 tag at the first frame it cannot take (an empty one, or one after an
// extended header it misreads), where libavformat reads on. Every other tag
// it reads whole, so a text it did not find there is simply not there, and
// a second open by libavformat (most of an untagged file's analysis) would
// find nothing either.
bool mayHaveStoppedEarly(TagLib::File* file) {
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) return mpeg->hasID3v2Tag();
  if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) return flac->hasID3v2Tag();
  return false;
}

// Reads tags and properties through TagLib into info. Returns whether TagLib
// found the audio stream (a sampling rate); missing receives the text fields
// no tag holds that libavformat may still find: all of them when TagLib could
// not read the file.

bool readWithTagLib(FileInfo& info, std::vector<const TextField*>& missing) {
  // Average: exact lengths would mean reading whole VBR files.
  TagLib::FileRef file(info.fullPathName.c_str(), true, TagLib::AudioProperties::Average);
  std::vector<const TagLib::Tag*> tags;
  if (!file.isNull()) tags = tagsOf(file.file());
  const bool isWorthAsking = file.isNull() || mayHaveStoppedEarly(file.file());
  for (const TextField& field : kTextFields) {
    std::string text = tagText(tags, field);
    // A file TagLib read but found no text in has empty texts, not "Unknown".
    if (!file.isNull()) info.*field.member = text;
    if (text.empty() && isWorthAsking) missing.push_back(&field);
  }
  const TagLib::AudioProperties* properties = file.isNull() ? nullptr : file.audioProperties();
  if (properties == nullptr) return false;
  info.duration = formatSeconds(properties->lengthInSeconds());
  info.waveFormat.nChannels = static_cast<uint16_t>(properties->channels());
  info.waveFormat.nSamplesPerSec = static_cast<uint32_t>(properties->sampleRate());
  // TagLib reports zeros for an MPEG file in which it found no frame.
  if (properties->sampleRate() <= 0) return false;
  if (const auto* mpeg = dynamic_cast<const TagLib::MPEG::Properties*>(properties)) {
    info.codec = kMpegLayerCodecs[std::clamp(mpeg->layer(), 0, 3)];
  }
  return true;
}

// Fills in from libavformat the texts in missing and, when needsProperties,
// the sample rate and whichever of duration (whole seconds, as TagLib gives
// it) and channels TagLib left at zero. A file libavformat cannot read
// either keeps what it has.
void fillFromContainer(FileInfo& info, const std::vector<const TextField*>& missing,
                       bool needsProperties) {
  // Tags are read with the header; only the numbers need the streams probed.
  AvInputHandle input = openAvInput(info.fullPathName, needsProperties);
  if (!input) return;
  // Probing falls back on the extension, so any bytes named .flac or .ogg
  // "open"; a stream without a sampling rate means nothing was read.
  const AVStream* audio = lastAudioStream(input.get());
  if (needsProperties && (audio == nullptr || audio->codecpar->sample_rate <= 0)) return;
  for (const TextField* field : missing) {
    info.*field->member = containerText(input.get(), *field, info.fullPathName);
  }
  if (!needsProperties) return;
  const AVCodecParameters* codec = audio->codecpar;
  info.codec = codecName(audio);
  info.waveFormat.nSamplesPerSec = static_cast<uint32_t>(codec->sample_rate);
  if (info.waveFormat.nChannels == 0) {
    info.waveFormat.nChannels = static_cast<uint16_t>(codec->ch_layout.nb_channels);
  }
  // The library's mark for "no duration" is negative.
  if (info.duration == formatSeconds(0) && input->duration > 0) {
    info.duration = formatSeconds(input->duration / 1000000);
  }
}

// WMA v1 and v2 by their bit rate, WMA Pro whatever its rate. WMA Lossless,
// WMA Voice and the rest have no DLNA profile, and any name would be false.
std::string wmaCodecProfile(const AVStream* audio, int64_t bitRate) {
  switch (audio != nullptr ? audio->codecpar->codec_id : AV_CODEC_ID_NONE) {
    case AV_CODEC_ID_WMAV1:
    case AV_CODEC_ID_WMAV2:
      return wmaProfile(bitRate);
    case AV_CODEC_ID_WMAPRO:
      return "WMAPRO";
    default:
      return "";
  }
}

// MPEG-1 Layer III (32, 44.1 and 48 kHz) is "MP3", MPEG-2 Layer III (16,
// 22.05 and 24 kHz) "MP3X". Layer III has no other rates but MPEG-2.5's 8 to
// 12 kHz, which no DLNA profile admits; nor does one admit Layers I and II
// or audio that is not MPEG at all, whatever the file's name says.
std::string mp3Profile(const FileInfo& info) {
  if (info.codec != "mp3") return "";
  switch (info.waveFormat.nSamplesPerSec) {
    case 32000:
    case 44100:
    case 48000:
      return "MP3";
    case 16000:
    case 22050:
    case 24000:
      return "MP3X";
    default:
      return "";
  }
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
    // By the audio the tag reader found: TagLib's frame, or libavformat's
    // stream where TagLib found no frame.
    info.mediaType = mp3Profile(info);
  } else if (ext == "pcm") {
    info.mediaType = "LPCM";
  }
}

std::string tagTextToUtf8(const TagLib::String& text, TextOrigin origin) {
  if (origin == TextOrigin::Unicode) return text.toCString(true);
  std::string bytes = text.toCString(false);
  std::string utf8;
  if (convertBig5Completely(bytes, utf8)) return utf8;
  return Util::convertToUtf8(bytes.data(), bytes.size(), "ISO-8859-1");
}

void tagAnalyze(FileInfo& info) {
  std::vector<const TextField*> missing;
  bool hasProperties = readWithTagLib(info, missing);
  if (!missing.empty() || !hasProperties) fillFromContainer(info, missing, !hasProperties);
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
  int64_t bitRate = input->bit_rate;
  const AVStream* audio = lastAudioStream(input.get());
  if (audio != nullptr) {
    info.waveFormat.nChannels = static_cast<uint16_t>(audio->codecpar->ch_layout.nb_channels);
    info.waveFormat.nSamplesPerSec = static_cast<uint32_t>(audio->codecpar->sample_rate);
    // The container's rate is worked out from the file size, so it counts
    // the ASF packets' overhead as well: a 192 kb/s file would be "WMAFULL".
    if (audio->codecpar->bit_rate > 0) bitRate = audio->codecpar->bit_rate;
  }
  if (bitRate > 0) info.waveFormat.nAvgBytesPerSec = static_cast<uint32_t>(bitRate / 8);
  info.codec = codecName(audio);
  info.mediaType = wmaCodecProfile(audio, bitRate);
  return true;
}

}  // namespace AudioAnalyzer
