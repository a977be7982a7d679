// Media/MediaTypes.h: what a file is, decided by its extension alone.
//
// MediaTypeTable is a constant array of 34 rows ended by an entry with an
// empty ext; the look-ups walk it to that entry. Extensions are compared in
// lower case, byte for byte, without the dot.
#ifndef OMBRIX_MEDIA_MEDIATYPES_H
#define OMBRIX_MEDIA_MEDIATYPES_H

#include <cstdint>
#include <string>

// The kind of a file. 4 is unused; directories carry the catalogue TYPE 10,
// which is not an ObjType.
enum class ObjType : int32_t { None = 0, Image = 1, Audio = 2, Video = 3, Playlist = 5 };

struct MediaTypeEntry {
  const char* ext;
  ObjType type;
  const char* mime;
};

extern const MediaTypeEntry MediaTypeTable[];

// The type of the row whose ext equals toLower(ext), or ObjType::None.
ObjType lookupObjType(std::string ext);

// The MIME type of the row whose ext equals toLower(ext), or "".
std::string lookupMimeType(std::string ext);

// Images, audio and video are catalogued; playlists and unknown kinds never.
constexpr bool isCataloguedKind(ObjType type) {
  return type == ObjType::Image || type == ObjType::Audio || type == ObjType::Video;
}

#endif  // OMBRIX_MEDIA_MEDIATYPES_H
