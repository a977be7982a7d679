// Media/FileInfo.cpp: reset, fill and dump of the per-file record.
#include "Media/FileInfo.h"

#include <sys/stat.h>

#include <iostream>

void FileInfo::reset() {
  fullPathName.clear();
  path.clear();
  fileName.clear();
  extName.clear();
  fileSize = 0;
  atime = 0;
  mtime = 0;
  ctime = 0;
  objType = ObjType::None;
  mimeType.clear();
  mediaType.clear();
  codec.clear();
  height = 0;
  width = 0;
  title = "Unknown";
  artist = "Unknown";
  album = "Unknown";
  genre = "Unknown";
  duration = "00:00:00.000";
  trackNo = 0;
  waveFormat = WaveFormat{};
  bitMapHeader = BitMapHeader{};
  result = false;
}

void FileInfo::fill(const std::string& fullPath) {
  fillFromPath(fullPath);
  struct stat status;
  if (stat(fullPathName.c_str(), &status) == 0) fillFromStatus(status);
}

void FileInfo::fill(const std::string& fullPath, const struct stat& status) {
  fillFromPath(fullPath);
  fillFromStatus(status);
}

void FileInfo::fillFromPath(const std::string& fullPath) {
  fullPathName = fullPath;
  size_t slash = fullPathName.rfind('/');
  size_t dot = fullPathName.rfind('.');
  if (slash != std::string::npos) {
    path = fullPathName.substr(0, slash + 1);
    fileName = fullPathName.substr(slash + 1);
  } else {
    path.clear();
    fileName = fullPathName;
  }
  // A dot only starts an extension when it stands in the last component.
  if (dot != std::string::npos && slash != std::string::npos && slash < dot) {
    extName = fullPathName.substr(dot + 1);
  } else {
    extName.clear();
  }

  objType = lookupObjType(extName);
  mimeType = lookupMimeType(extName);
}

void FileInfo::fillFromStatus(const struct stat& status) {
  fileSize = static_cast<int64_t>(status.st_size);
  atime = status.st_atime;
  mtime = status.st_mtime;
  ctime = status.st_ctime;
}

void FileInfo::composeDetails() {
  details = "DLNA.ORG_PN=" + mediaType + ";" + "DLNA.ORG_OP=01;DLNA.ORG_CI=0";
  result = true;
}

void FileInfo::dump() const {
  dump(std::cout);
}

// Times and sizes are printed through 64-bit integers so the output is the
// same on 32-bit targets.
void FileInfo::dump(std::ostream& out) const {
  out << "fullPathName: " << fullPathName << "\n"
      << "path: " << path << "\n"
      << "fileName: " << fileName << "\n"
      << "extName: " << extName << "\n"
      << "fileSize: " << fileSize << "\n"
      << "atime: " << static_cast<int64_t>(atime) << "\n"
      << "ctime: " << static_cast<int64_t>(ctime) << "\n"
      << "mtime: " << static_cast<int64_t>(mtime) << "\n"
      << "objType: " << static_cast<int32_t>(objType) << "\n"
      << "mimeType: " << mimeType << "\n"
      << "mediaType: " << mediaType << "\n"
      << "codec: " << codec << "\n"
      << "width: " << width << "\n"
      << "height: " << height << "\n"
      << "title: " << title << "\n"
      << "artist: " << artist << "\n"
      << "album: " << album << "\n"
      << "genre: " << genre << "\n"
      << "duration: " << duration << "\n"
      << "trackNo: " << trackNo << "\n"
      << "waveFormat.wFormatTag: " << waveFormat.wFormatTag << "\n"
      << "waveFormat.nChannels: " << waveFormat.nChannels << "\n"
      << "waveFormat.nSamplesPerSec: " << waveFormat.nSamplesPerSec << "\n"
      << "waveFormat.nAvgBytesPerSec: " << waveFormat.nAvgBytesPerSec << "\n"
      << "waveFormat.nBlockAlign: " << waveFormat.nBlockAlign << "\n"
      << "waveFormat.wBitsPerSample: " << waveFormat.wBitsPerSample << "\n"
      << "waveFormat.cbSize: " << waveFormat.cbSize << "\n"
      << "waveFormat.res: " << waveFormat.res << "\n"
      << "bitMapHeader.size: " << bitMapHeader.size << "\n"
      << "bitMapHeader.width: " << bitMapHeader.width << "\n"
      << "bitMapHeader.height: " << bitMapHeader.height << "\n"
      << "bitMapHeader.planes: " << bitMapHeader.planes << "\n"
      << "bitMapHeader.bitCount: " << bitMapHeader.bitCount << "\n"
      << "bitMapHeader.compression: " << bitMapHeader.compression << "\n"
      << "bitMapHeader.sizeImage: " << bitMapHeader.sizeImage << "\n"
      << "bitMapHeader.xPelsPerMeter: " << bitMapHeader.xPelsPerMeter << "\n"
      << "bitMapHeader.yPelsPerMeter: " << bitMapHeader.yPelsPerMeter << "\n"
      << "bitMapHeader.clrUsed: " << bitMapHeader.clrUsed << "\n"
      << "bitMapHeader.clrImportant: " << bitMapHeader.clrImportant << "\n"
      << "result: " << (result ? 1 : 0) << "\n";
}
