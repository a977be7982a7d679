// Common/Util.h: stateless path, string and character-set helpers.
//
// Paths are byte strings with "/" as the only separator; nothing here
// resolves ".", "..", symbolic links or duplicate slashes. Case folding is
// byte-wise in the "C" classification, so UTF-8 sequences pass untouched.
// The string helpers return a new string and leave their argument alone.
#ifndef OMBRIX_COMMON_UTIL_H
#define OMBRIX_COMMON_UTIL_H

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace Util {

// True only for a regular file (symbolic links followed) that this process
// can open for reading. Never blocks: FIFOs and devices are refused by their
// type before any open, and the open itself does not wait.
bool isFileExist(const std::string& path);

// True only for a directory (or a link to one) that can be opened as a
// directory stream.
bool isDirExist(const std::string& path);

// The walk's test of a file it has already looked at: true only when status
// (from a status call that followed links) is that of a regular file that
// this process may read. name is the file in the directory dirFd (or a path
// with AT_FDCWD). Costs no system call for a file that everyone may read,
// which nearly every media file is; otherwise the kernel is asked, which
// knows the owner, groups, ACLs and capabilities (the service runs as root
// without any). Unlike isFileExist nothing is opened.
bool isReadableFile(int dirFd, const char* name, const struct stat& status);

// Removes one trailing "/" if there is one; "" stays "".
std::string removeLastSlash(std::string text);

// Appends "/" unless the text already ends in one; "" becomes "/".
std::string addLastSlash(std::string text);

// The last component after removeLastSlash: "/a/b/" gives "b", "x" gives "x".
std::string getFileName(std::string path);

// Everything before the last "/" after removeLastSlash; a path without "/"
// comes back unchanged (not empty): "/a/b/" gives "/a", "/a" gives "".
std::string getParentPath(std::string path);

std::string toLower(std::string text);

// A relative path joined to the working directory, nothing in it resolved;
// an absolute path as it is.
std::string makeAbsolute(const std::string& path);

// Writes all size bytes of data to the descriptor fd, going on after short
// writes and interruptions. Returns false, with errno set, when a write
// fails. Only write(2) is called, so a signal handler may use it.
bool writeAll(int fd, const char* data, size_t size);
// Reads exactly size bytes into data, going on after short reads and
// interruptions. Returns false at the end of the input or on an error.
bool readAll(int fd, char* data, size_t size);

// Converts length bytes in sourceEncoding ("BIG5", "UCS2", ...) to UTF-8 in
// one iconv call with room for twice the input. Returns what was converted up
// to the first invalid or cut-off sequence, or up to a converted zero
// character; an unknown encoding gives "". Never fails otherwise.
// "UCS2" reads two-byte units in host byte order.
std::string convertToUtf8(const char* bytes, size_t length, const char* sourceEncoding);

}  // namespace Util

#endif  // OMBRIX_COMMON_UTIL_H
