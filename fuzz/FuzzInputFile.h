// fuzz/FuzzInputFile.h: hands a fuzz input to analysers that open a path.
//
// The image and MPEG analysers take a FileInfo and open fullPathName
// themselves. Writing a file per input to disk would make the disk the
// bottleneck, so the input goes into one anonymous memory file for the whole
// run, reached as /proc/self/fd/N. Not for several threads.
#ifndef OMBRIX_FUZZ_FUZZINPUTFILE_H
#define OMBRIX_FUZZ_FUZZINPUTFILE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Common/Handles.h"

class FuzzInputFile {
 public:
  FuzzInputFile() : fd(memfd_create("ombrix-fuzz", 0)) {
    if (!fd.isOpen()) abort();  // no input file: nothing could be fuzzed
  }

  // Replaces the file's contents with data and returns a path that opens
  // it. The functions fuzzed here do not look at the extension.
  std::string write(const uint8_t* data, size_t size) {
    if (ftruncate(fd.get(), 0) != 0) abort();
    size_t done = 0;
    while (done < size) {
      ssize_t n = pwrite(fd.get(), data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) abort();
      done += static_cast<size_t>(n);
    }
    return "/proc/self/fd/" + std::to_string(fd.get());
  }

 private:
  FdHandle fd;
};

#endif  // OMBRIX_FUZZ_FUZZINPUTFILE_H
