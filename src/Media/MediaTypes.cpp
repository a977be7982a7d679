// Media/MediaTypes.cpp: the media type table and its two look-ups.
#include "Media/MediaTypes.h"

#include <cstring>

#include "Common/Util.h"

// Several extensions share a MIME type; "tif" and "tiff" give "image/tif" and
// "mpc" is offered as an octet stream: that is what the media server expects.
const MediaTypeEntry MediaTypeTable[] = {
    {"mp3", ObjType::Audio, "audio/mpeg"},
    {"ogg", ObjType::Audio, "application/ogg"},
    {"mpc", ObjType::Audio, "application/octet-stream"},
    {"flac", ObjType::Audio, "audio/x-flac"},
    {"pcm", ObjType::Audio, "audio/L16;rate=44100;channels=2"},
    {"wma", ObjType::Audio, "audio/x-ms-wma"},
    {"wav", ObjType::Audio, "audio/wav"},
    {"jpeg", ObjType::Image, "image/jpeg"},
    {"jpg", ObjType::Image, "image/jpeg"},
    {"bmp", ObjType::Image, "image/bmp"},
    {"png", ObjType::Image, "image/png"},
    {"gif", ObjType::Image, "image/gif"},
    {"tif", ObjType::Image, "image/tif"},
    {"tiff", ObjType::Image, "image/tif"},
    {"mp4", ObjType::Video, "video/mp4"},
    {"mpeg", ObjType::Video, "video/mpeg"},
    {"mpg", ObjType::Video, "video/mpeg"},
    {"avi", ObjType::Video, "video/avi"},
    {"divx", ObjType::Video, "video/x-divx"},
    {"xvid", ObjType::Video, "video/xvid"},
    {"wmv", ObjType::Video, "video/x-ms-wmv"},
    {"vob", ObjType::Video, "video/mpeg"},
    {"rm", ObjType::Video, "video/vnd.rn-realvideo"},
    {"rmvb", ObjType::Video, "video/vnd.rn-realvideo"},
    {"tts", ObjType::Video, "video/vnd.dlna.mpeg-tts"},
    {"mov", ObjType::Video, "video/quicktime"},
    {"mkv", ObjType::Video, "video/x-matroska"},
    {"m2ts", ObjType::Video, "video/mpeg"},
    {"m2t", ObjType::Video, "video/mpeg"},
    {"mts", ObjType::Video, "video/mpeg"},
    {"m4v", ObjType::Video, "video/mp4"},
    {"3gp", ObjType::Video, "video/mp4"},
    {"asf", ObjType::Video, "video/x-ms-asf"},
    {"m3u", ObjType::Playlist, "audio/x-mpegurl"},
    {"", ObjType::None, ""},
};

namespace {

// The row for ext, or the terminating entry.
const MediaTypeEntry& findEntry(const std::string& ext) {
  std::string lower = Util::toLower(ext);
  const MediaTypeEntry* entry = MediaTypeTable;
  while (entry->ext[0] != '\0' && lower != entry->ext) ++entry;
  return *entry;
}

}  // namespace

ObjType lookupObjType(std::string ext) {
  return findEntry(ext).type;
}

std::string lookupMimeType(std::string ext) {
  return findEntry(ext).mime;
}
