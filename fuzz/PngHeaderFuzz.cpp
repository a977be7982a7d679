// fuzz/PngHeaderFuzz.cpp: libFuzzer entry for the PNG header read
// (ImageAnalyzer::setPngType).
//
// Besides crashes and sanitizer reports, a finding is a broken promise of the
// header read: a negative size (PNG numbers are unsigned, the record's fields
// signed), or a result that disagrees with the profile it names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzInputFile.h"
#include "Media/FileInfo.h"
#include "Media/ImageAnalyzer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzInputFile input;  // one memory file for the whole run
  FileInfo info;
  info.fullPathName = input.write(data, size);
  int result = ImageAnalyzer::setPngType(info);
  if (info.width < 0 || info.height < 0) abort();
  if ((result == 0) == info.mediaType.empty()) abort();
  return 0;
}
