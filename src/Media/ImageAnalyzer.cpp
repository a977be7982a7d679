// Media/ImageAnalyzer.cpp: JPEG size through libjpeg, PNG size by hand, and
// the DLNA image profiles.
//
// libjpeg reports a fatal error by calling error_exit, whose standard form
// ends the process. Here it longjmps back to readJpegHeader instead, whose
// frame holds nothing with a destructor; the decompressor and the file are
// owned one frame up, so they are released whichever way the header read
// ends. Log records carry the source name "Media/ImageAnalyzer".
#include "Media/ImageAnalyzer.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

extern "C" {
#include <jpeglib.h>
}

#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/Util.h"
#include "Media/FileInfo.h"

namespace ImageAnalyzer {

namespace {

// libjpeg's error record first, so the library's pointer to it is also a
// pointer to the whole.
struct JpegErrorManager {
  jpeg_error_mgr base;
  jmp_buf jumpBack;
};

[[noreturn]] void returnToReader(j_common_ptr common) {
  JpegErrorManager* errors = reinterpret_cast<JpegErrorManager*>(common->err);
  longjmp(errors->jumpBack, 1);
}

// Warnings about odd but readable files would go to stderr; the header is
// read all the same, so they are dropped.
void dropMessage(j_common_ptr) {}

// Owns one decompressor. It starts zeroed, and jpeg_destroy_decompress of a
// zeroed record does nothing, so the destructor is safe even when creation
// itself failed.
class JpegDecompressor {
 public:
  JpegDecompressor() {
    std::memset(&info, 0, sizeof info);
    std::memset(&errors, 0, sizeof errors);
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = returnToReader;
    errors.base.output_message = dropMessage;
  }
  ~JpegDecompressor() { jpeg_destroy_decompress(&info); }
  JpegDecompressor(const JpegDecompressor&) = delete;
  JpegDecompressor& operator=(const JpegDecompressor&) = delete;

  jpeg_decompress_struct info;
  JpegErrorManager errors;
};

// Creates the decompressor on file and reads the header up to the first scan.
// Returns false when libjpeg gave up (bad markers, truncated header, tables
// only, unsupported precision). Only pointers live in this frame, so the
// longjmp from returnToReader skips no destructor.
bool readJpegHeader(JpegDecompressor* decompressor, FILE* file) {
  if (setjmp(decompressor->errors.jumpBack) != 0) return false;
  jpeg_create_decompress(&decompressor->info);
  jpeg_stdio_src(&decompressor->info, file);
  (void)jpeg_read_header(&decompressor->info, TRUE);  // TRUE: errors, not a code
  return true;
}

std::string sizeText(int32_t width, int32_t height) {
  return std::to_string(width) + "*" + std::to_string(height);
}

// A PNG number is big-endian and unsigned; the record's fields are signed.
int32_t readPngNumber(const unsigned char* bytes) {
  uint32_t value = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                   (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

void analyze(FileInfo& info) {
  std::string ext = Util::toLower(info.extName);
  // Both results only say whether a size was found; the fields tell the rest.
  if (ext == "jpg" || ext == "jpeg") (void)jpgAnalyze(info);
  if (ext == "png") (void)setPngType(info);
}

std::string jpegProfile(int32_t width, int32_t height) {
  if (width <= 48 && height <= 48) return "JPEG_SM_ICO";
  if (width <= 120 && height <= 120) return "JPEG_LRG_ICO";
  if (width <= 160 && height <= 160) return "JPEG_TN";
  if (width <= 640 && height <= 480) return "JPEG_SM";
  if (width <= 1024 && height <= 768) return "JPEG_MED";
  if (width <= 4096 && height <= 4096) return "JPEG_LRG";
  return "";
}

std::string pngProfile(int32_t width, int32_t height) {
  if (width <= 48 && height <= 48) return "PNG_SM_ICO";
  if (width == 120 && height == 120) return "PNG_LRG_ICO";
  if (width <= 160 && height <= 160) return "PNG_TN";
  if (width > 4096 || height > 4096) return "";
  return "PNG_LRG";
}

int jpgAnalyze(FileInfo& info) {
  FileHandle file(fopen(info.fullPathName.c_str(), "rb"));
  if (!file) return -1;
  JpegDecompressor decompressor;
  if (!readJpegHeader(&decompressor, file.get())) return -1;
  // JPEG sizes are 16-bit, so they always fit the signed fields.
  info.width = static_cast<int32_t>(decompressor.info.image_width);
  info.height = static_cast<int32_t>(decompressor.info.image_height);
  writeLog(LogId::JpegSize, sizeText(info.width, info.height));
  info.mediaType = jpegProfile(info.width, info.height);
  return 0;
}

int setPngType(FileInfo& info) {
  static constexpr unsigned char kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  // Signature (8), length and type of the header chunk (8), width and height.
  constexpr size_t kHeaderLength = 24;
  FileHandle file(fopen(info.fullPathName.c_str(), "rb"));
  if (!file) return -1;
  unsigned char header[kHeaderLength];
  size_t length = fread(header, 1, sizeof header, file.get());
  if (length < sizeof kSignature || std::memcmp(header, kSignature, sizeof kSignature) != 0) {
    return -1;
  }
  // A file cut inside its header chunk, or one whose first chunk is some
  // other (a damaged file), has no size to report: what stands there would
  // be taken for one, such as a billion pixels.
  if (length < kHeaderLength || std::memcmp(header + 12, "IHDR", 4) != 0) return -1;
  info.width = readPngNumber(header + 16);
  info.height = readPngNumber(header + 20);
  writeLog(LogId::PngSize, sizeText(info.width, info.height));
  info.mediaType = pngProfile(info.width, info.height);
  return info.mediaType.empty() ? -1 : 0;
}

}  // namespace ImageAnalyzer
