// fuzz/JpegHeaderFuzz.cpp: libFuzzer entry for the JPEG header path
// (ImageAnalyzer::jpgAnalyze: libjpeg's header read with its error exit
// turned into a longjmp).
//
// Besides crashes, sanitizer reports and leaks of the decompressor on the
// error path, a finding is a size outside JPEG's 16 bits, or a failed read
// that changed the record.
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
  if (ImageAnalyzer::jpgAnalyze(info) == 0) {
    if (info.width < 0 || info.width > 65535 || info.height < 0 || info.height > 65535) abort();
  } else if (info.width != 0 || info.height != 0 || !info.mediaType.empty()) {
    abort();
  }
  return 0;
}
