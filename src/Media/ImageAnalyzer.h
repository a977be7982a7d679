// Media/ImageAnalyzer.h: fills the pixel size of a FileInfo and names its
// DLNA image profile.
//
// Only JPEG (jpg, jpeg) and PNG files are analysed, and only their headers
// are read: no pixel is decoded. Log records carry the source name
// "Media/ImageAnalyzer". Stateless: each call opens and closes its own file
// and decompressor.
#ifndef OMBRIX_MEDIA_IMAGEANALYZER_H
#define OMBRIX_MEDIA_IMAGEANALYZER_H

#include <cstdint>
#include <string>

class FileInfo;

namespace ImageAnalyzer {

void analyze(FileInfo& info);

// Reads the JPEG header for the size, logs it and names the profile.
// Returns 0 when the header was read (with or without a profile), -1 when the
// file cannot be opened or is not a readable JPEG; then nothing is changed.
int jpgAnalyze(FileInfo& info);

// Reads the size from the PNG header chunk, logs it and names the profile.
// Returns 0 when a profile was assigned, -1 otherwise. A file without the
// PNG signature, too short to hold the size or not starting with the header
// chunk (IHDR) is left unchanged.
int setPngType(FileInfo& info);

// The JPEG profile for a size; "" when larger than 4096 either way. The
// middle classes take the first number as the width limit (640 x 480,
// 1024 x 768), as the video size tables do.
std::string jpegProfile(int32_t width, int32_t height);

// The PNG profile for a size; "" when larger than 4096 either way. The large
// icon class is 120 x 120 exactly.
std::string pngProfile(int32_t width, int32_t height);

}  // namespace ImageAnalyzer

#endif  // OMBRIX_MEDIA_IMAGEANALYZER_H
