// Common/Handles.h: small owners for the C resources of the system library.
//
// Each closes its resource exactly once, in its destructor, so an early
// return can neither leak nor double-close. Copying is deleted; moving is
// allowed where a handle is handed out of a factory.
#ifndef OMBRIX_COMMON_HANDLES_H
#define OMBRIX_COMMON_HANDLES_H

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// A file descriptor: failure is -1, not null, hence a class.
class FdHandle {
 public:
  explicit FdHandle(int fd = -1) : fd(fd) {}
  ~FdHandle() { reset(); }
  FdHandle(FdHandle&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  FdHandle& operator=(FdHandle&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }
  FdHandle(const FdHandle&) = delete;
  FdHandle& operator=(const FdHandle&) = delete;

  bool isOpen() const { return fd >= 0; }
  int get() const { return fd; }
  int release() { return std::exchange(fd, -1); }
  // close(2) is not retried after EINTR: on Linux the descriptor is gone
  // either way, and a retry could close a descriptor opened meanwhile.
  void reset(int newFd = -1) {
    if (fd >= 0) close(fd);
    fd = newFd;
  }

 private:
  int fd;
};

// iconv_open() reports failure as (iconv_t)-1, not null, hence a class.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (isOpen()) iconv_close(cd);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool isOpen() const { return cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd; }

 private:
  iconv_t cd;
};

// The two ends of a pipe (close-on-exec), each owned until handed on.
struct Pipe {
  bool open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return true;
  }
  FdHandle readEnd, writeEnd;
};

// The file actions and the attributes of one posix_spawn call, each
// initialised and destroyed as a pair.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  // The child gets fd as its descriptor target.
  void redirect(int fd, int target) { posix_spawn_file_actions_adddup2(&actions, fd, target); }
  const posix_spawn_file_actions_t* get() const { return &actions; }

 private:
  posix_spawn_file_actions_t actions;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes; }

 private:
  posix_spawnattr_t attributes;
};

#endif  // OMBRIX_COMMON_HANDLES_H
