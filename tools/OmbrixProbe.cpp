// tools/OmbrixProbe.cpp: ombrix-probe PATH..., the user's view of why a file
// got its profile.
//
// For each path it runs what the cataloguing of one file runs (fill the
// record, analyse it) and prints the record, with the codec its profile was
// chosen by, and its DLNA fragment. The size
// watch is left out: a probe is run on a file the user already has, and
// waiting for it to settle would only delay the answer. For ASF files (wma,
// wmv, asf) it also prints what the ASF header parser finds, with the prefix
// "asf.", from a record of its own so the analysers' results stay as the
// catalogue would have them.
//
// Exit status: 0 when every path could be read, 1 when any could not (each
// gets a message on standard error), 2 when no path was given.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

#include "Common/Handles.h"
#include "Common/Util.h"
#include "Media/AsfParser.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"

namespace {

bool isAsfExtension(const std::string& extName) {
  std::string ext = Util::toLower(extName);
  return ext == "wma" || ext == "wmv" || ext == "asf";
}

// Opens path for reading if it is a regular file. On failure returns null
// and puts the reason in errMsg. Directories, devices and FIFOs are refused
// before any open, so a probe never blocks on one.
FileHandle openRegularFile(const std::string& path, std::string& errMsg) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    errMsg = std::strerror(errno);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    errMsg = S_ISDIR(status.st_mode) ? "is a directory" : "not a regular file";
    return nullptr;
  }
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) errMsg = std::strerror(errno);
  return file;
}

// The four characters of a FOURCC, with "." for any that is not printable.
std::string fourCcText(uint32_t code) {
  char bytes[4];
  std::memcpy(bytes, &code, sizeof bytes);
  std::string text;
  for (char c : bytes) text += (c >= 0x20 && c < 0x7f) ? c : '.';
  return text;
}

// Prints the parse result, then the parser's fields as FileInfo::dump writes
// them, each line with the prefix "asf.".
void printAsf(std::ostream& out, FILE* file) {
  FileInfo found;
  int result = AsfParser::parse(file, found);
  out << "asf.parse: " << result << "\n";
  std::ostringstream dump;
  found.dump(dump);
  std::istringstream lines(dump.str());
  const char* const kPrefixes[] = {"artist: ", "album: ", "genre: ", "waveFormat.",
                                   "bitMapHeader."};
  for (std::string line; std::getline(lines, line);) {
    for (const char* prefix : kPrefixes) {
      if (line.compare(0, std::strlen(prefix), prefix) == 0) out << "asf." << line << "\n";
    }
  }
  out << "asf.bitMapHeader.compression.fourcc: " << fourCcText(found.bitMapHeader.compression)
      << "\n";
}

// Prints everything about one path; false (with a message on standard
// error) when it cannot be read.
bool probe(const std::string& path) {
  std::string errMsg;
  FileHandle file = openRegularFile(path, errMsg);
  if (!file) {
    std::cerr << "ombrix-probe: cannot read " << path << ": " << errMsg << "\n";
    return false;
  }
  FileInfo info;
  // The record takes an extension only after a "/", as every catalogued path
  // has one; "song.mp3" typed in the current directory is probed as
  // "./song.mp3" so that it gets the type the catalogue would give it.
  info.fill(path.find('/') == std::string::npos ? "./" + path : path);
  info.analyze();
  std::cout << "== " << path << "\n";
  info.dump(std::cout);
  std::cout << "details: " << info.details << "\n";
  if (isAsfExtension(info.extName)) printAsf(std::cout, file.get());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: ombrix-probe PATH...\n"
                 "Prints what the catalogue would store for each file.\n";
    return 2;
  }
  initAvLibrary();
  bool isEveryPathRead = true;
  for (int i = 1; i < argc; ++i) {
    if (!probe(argv[i])) isEveryPathRead = false;
  }
  return isEveryPathRead ? 0 : 1;
}
