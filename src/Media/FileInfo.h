// Media/FileInfo.h: the record of one file while it is being catalogued.
//
// Life of a record: construct, reset, fill from the path, (refill after the
// size watch), analyze once, hand to the statement builders, discard. The
// fields are public: it is a plain record that the analysers complete and
// the statement builders read.
#ifndef OMBRIX_MEDIA_FILEINFO_H
#define OMBRIX_MEDIA_FILEINFO_H

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>

#include "Media/MediaTypes.h"

struct stat;

// The WAVE format header, then one reserved word. Only nChannels,
// nSamplesPerSec and nAvgBytesPerSec are ever set.
struct WaveFormat {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
  uint16_t res;
};

// The bitmap information header. Kept for the ASF parser; the analysers
// leave it at zero.
struct BitMapHeader {
  uint32_t size;
  uint32_t width;
  uint32_t height;
  uint16_t planes;
  uint16_t bitCount;
  uint32_t compression;
  uint32_t sizeImage;
  uint32_t xPelsPerMeter;
  uint32_t yPelsPerMeter;
  uint32_t clrUsed;
  uint32_t clrImportant;
};

class FileInfo {
 public:
  FileInfo() { reset(); }

  // Every field back to its default, except details.
  void reset();

  // Name parts from the path; size and times from a status call that follows
  // links (left as they were when it fails); objType and mimeType from the
  // extension. Never fails, never logs.
  void fill(const std::string& fullPathName);
  // The same with the status a caller already has (the walk's one call).
  void fill(const std::string& fullPathName, const struct stat& status);

  // Hands the record to the analyser of its kind, then composes details.
  // Does nothing for ObjType::None and ObjType::Playlist.
  void analyze();
  // details from mediaType (an empty profile when none was found), and
  // result set: the record went through analysis, whatever it found.
  void composeDetails();

  // One "label: value" line per field, details excepted (diagnostics only).
  void dump() const;
  void dump(std::ostream& out) const;

  std::string fullPathName;
  std::string path;      // up to and including the last "/"
  std::string fileName;  // after the last "/"
  std::string extName;   // after the last "." when it follows a "/"
  int64_t fileSize;
  time_t atime;
  time_t mtime;
  time_t ctime;
  ObjType objType;
  std::string mimeType;
  std::string mediaType;  // the DLNA profile name, "" when none applies
  std::string details;    // DLNA protocol-information fragment
  // What the profile was chosen by beyond size and rate: libavformat's name
  // of the codec ("wmapro", "wmv3", "mp3"), or an MPEG file's stream format;
  // "" when nothing was. For ombrix-probe only: the daemon stores the profile
  // alone, so this field stays in the analysing process and does not travel.
  std::string codec;
  int32_t height;
  int32_t width;
  std::string title;
  std::string artist;
  std::string album;
  std::string genre;
  std::string duration;  // "HH:MM:SS.mmm"
  int32_t trackNo;
  WaveFormat waveFormat;
  BitMapHeader bitMapHeader;
  bool result;  // true once details has been composed

 private:
  void fillFromPath(const std::string& fullPath);
  void fillFromStatus(const struct stat& status);
};

#endif  // OMBRIX_MEDIA_FILEINFO_H
