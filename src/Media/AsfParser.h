// Media/AsfParser.h: a reader of the header objects of ASF files (the
// container of WMA and WMV), without libavformat.
//
// The parser walks the file object by object, identifying each by looking its
// GUID up, as text, in the table of the standard ASF GUIDs. From the
// header's children it takes the author (into artist), the "WM/AlbumTitle"
// and "WM/Genre" descriptors (into album and genre), and the format records
// of the audio and video streams. Every number in the file is little-endian
// and is assembled byte by byte, so the same code is right on big-endian
// hosts.
//
// Nothing in the service calls it; ombrix-probe shows what it finds. It keeps
// no state between calls and writes no log records.
#ifndef OMBRIX_MEDIA_ASFPARSER_H
#define OMBRIX_MEDIA_ASFPARSER_H

#include <cstdint>
#include <cstdio>
#include <string>

class FileInfo;

namespace AsfParser {

// One row of the GUID table: the standard name of an ASF GUID and its text
// form.
struct GuidEntry {
  const char* name;
  const char* text;
};

// The 62 standard ASF GUIDs, in their customary order. Three rows can never
// be found: ASF_Compatibility_Object repeats the text of ASF_Header_Object
// (row 0 comes first), and ASF_Reserved_1 and the network-devices DRM row are
// written in lower case while formatGuid writes upper case. They are kept so
// that the table stays the published one and a look-up of those texts keeps
// answering what it always did.
constexpr int kGuidCount = 62;
extern const GuidEntry AsfGuidTable[kGuidCount];

// The text form of the 16 GUID bytes at bytes: a 32-bit and two 16-bit
// little-endian numbers, then the last 8 bytes in file order, as
// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in upper case.
std::string formatGuid(const uint8_t* bytes);

// The index of the first table row whose text equals guidText, or kGuidCount
// when there is none.
int lookupGuid(const std::string& guidText);

// Walks the objects of file from its current position, which the caller
// opened for binary reading and keeps ownership of; the parser only reads and
// seeks forward. The Header Object's children are walked as if they stood at
// the top level; every other object is read within its declared size and
// the walk goes on at its end.
//
// Results go into target: artist, album and genre (UTF-8; a text that is empty
// leaves the field as it was), waveFormat from the last audio stream and
// bitMapHeader from the last video stream. Other fields are not touched.
//
// Returns 0 when the end of the file is reached (also when the file ends
// inside an object: what was read up to there is kept, missing bytes count as
// zero), and -1 when an object has a GUID outside the table, a size that
// cannot hold its own fixed fields, or contents that overrun its size, or when
// the file cannot be positioned. What was stored before a -1 remains.
int parse(FILE* file, FileInfo& target);

}  // namespace AsfParser

#endif  // OMBRIX_MEDIA_ASFPARSER_H
