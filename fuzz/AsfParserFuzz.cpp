// fuzz/AsfParserFuzz.cpp: libFuzzer entry for the ASF header parser.
//
// Each input is offered as an open file (a memory stream), as the parser only
// reads and seeks. A finding is a sanitizer report, a crash or a hang; the
// parse result itself is not judged.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Common/Handles.h"
#include "Media/AsfParser.h"
#include "Media/FileInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // fmemopen refuses an empty buffer, and an empty file has nothing to walk.
  if (size == 0) return 0;
  // "r" never writes to the buffer, whatever the const_cast suggests.
  FileHandle file(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!file) return 0;
  FileInfo info;
  (void)AsfParser::parse(file.get(), info);  // any result is fine; only misbehaviour counts
  return 0;
}
