// Common/Util.cpp: path, string and character-set helpers.
#include "Common/Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <vector>

#include "Common/Handles.h"

namespace Util {

bool isFileExist(const std::string& path) {
  // Looking at the type first keeps us from opening FIFOs and devices at
  // all: an open of a FIFO waits for a writer, and some devices act on open.
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  // O_NONBLOCK in case the path was swapped for a FIFO since the stat.
  FdHandle fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.isOpen()) return false;
  return fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode);
}

bool isDirExist(const std::string& path) {
  DirHandle dir(opendir(path.c_str()));
  return dir != nullptr;
}

bool isReadableFile(int dirFd, const char* name, const struct stat& status) {
  constexpr mode_t kReadableByAll = S_IRUSR | S_IRGRP | S_IROTH;
  if (!S_ISREG(status.st_mode)) return false;
  if ((status.st_mode & kReadableByAll) == kReadableByAll) return true;
  return faccessat(dirFd, name, R_OK, AT_EACCESS) == 0;
}

std::string removeLastSlash(std::string text) {
  if (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::string addLastSlash(std::string text) {
  if (text.empty() || text.back() != '/') text.push_back('/');
  return text;
}

std::string getFileName(std::string path) {
  path = removeLastSlash(std::move(path));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return path.substr(slash + 1);
}

std::string getParentPath(std::string path) {
  path = removeLastSlash(std::move(path));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return path;
  return path.substr(0, slash);
}

std::string makeAbsolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return path;
  return std::string(buffer) + "/" + path;
}

std::string toLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

namespace {

// Moves size bytes through transfer (read or write), going on after short
// transfers and interruptions.
template <typename Data, typename Transfer>
bool transferAll(int fd, Data* data, size_t size, Transfer transfer) {
  while (size > 0) {
    ssize_t n = transfer(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeAll(int fd, const char* data, size_t size) {
  return transferAll(fd, data, size, ::write);
}

bool readAll(int fd, char* data, size_t size) {
  return transferAll(fd, data, size, ::read);
}

std::string convertToUtf8(const char* bytes, size_t length, const char* sourceEncoding) {
  IconvHandle converter("UTF-8", sourceEncoding);
  if (!converter.isOpen() || length == 0) return std::string();

  // iconv takes a non-const input pointer, hence the private copy.
  std::vector<char> input(bytes, bytes + length);
  input.push_back('\0');
  // Twice the input always suffices for BIG5 and UCS2; the extra zero byte
  // ends the result even when the room is used up.
  std::vector<char> output(2 * length + 1, '\0');

  char* in = input.data();
  size_t inLeft = length;
  char* out = output.data();
  size_t outLeft = 2 * length;
  // The result is whatever was converted before the call stopped; its
  // return value adds nothing to that.
  (void)iconv(converter.get(), &in, &inLeft, &out, &outLeft);
  return std::string(output.data());
}

}  // namespace Util
