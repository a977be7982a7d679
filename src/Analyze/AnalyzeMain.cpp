// Analyze/AnalyzeMain.cpp: ombrix-analyze, the loaded parent of the
// analysis workers, and the workers themselves.
//
// Started by the daemon (AnalysisPool), never by people, for one walk or one
// adjustment, with the shared folders as its arguments: the only places a
// worker may read files. Start-up loads everything the analysers will need,
// gives back the pages only loading needed and enters the parent's part of
// the sandbox (Sandbox.h); from then on the parent only forks workers,
// passes their pipes to the daemon and ends them on request
// (WorkerParent.h), reading no media itself.
//
// A worker adds its own part of the sandbox, then reads requests on standard
// input, analyses each file with FileInfo::analyze and answers each on
// standard output with what analysis found and the log records the analysis
// wrote (AnalysisProtocol.h), until its input ends. It writes no log of its
// own: its records go back with each answer and the daemon writes them in
// the file's order. A worker's exit status is 0 at the end of its input, 2
// for a request that is not one.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Analyze/Sandbox.h"
#include "Common/Handles.h"
#include "Common/Logger.h"
#include "Common/TestSeams.h"
#include "Media/AnalysisProtocol.h"
#include "Media/AvLibrary.h"
#include "Media/FileInfo.h"
#include "Media/WorkerParent.h"

namespace {

// The text encodings the analysers may ask glibc to convert from: BIG5 and
// Latin-1 for tags (AudioAnalyzer), and the DVB text encodings of
// libavformat's MPEG-TS reader (the names its library file carries). glibc
// maps a converter's code when it is first opened, and again once its last
// user has closed it; the sandbox lets no new code be mapped, so each is
// opened before it and kept open.
constexpr const char* kTextEncodings[] = {
    "BIG5",        "ISO-8859-1",  "ISO6937",     "ISO-8859-2",  "ISO-8859-3",
    "ISO-8859-4",  "ISO-8859-5",  "ISO-8859-6",  "ISO-8859-7",  "ISO-8859-8",
    "ISO-8859-9",  "ISO-8859-10", "ISO-8859-11", "ISO-8859-13", "ISO-8859-14",
    "ISO-8859-15", "UCS-2BE",     "GB2312",      "KSC_5601"};

#ifdef OMBRIX_TEST_SEAMS
// Whether the sandbox let through what it must not: a file written, a
// socket, a program started, a process forked, code mapped, /etc/passwd read
// (it lies outside every folder a test shares).
bool tryEscape(const FileInfo& info, const std::string& what) {
  if (what == "write") {
    FdHandle file(open((info.fullPathName + ".written").c_str(), O_WRONLY | O_CREAT, 0644));
    return file.isOpen();
  }
  if (what == "socket") return FdHandle(socket(AF_UNIX, SOCK_STREAM, 0)).isOpen();
  if (what == "spawn") {
    pid_t child;
    char* argv[] = {const_cast<char*>("true"), nullptr};
    return posix_spawn(&child, "/bin/true", nullptr, nullptr, argv, nullptr) == 0;
  }
  if (what == "fork") {
    pid_t child = fork();
    if (child == 0) _exit(0);
    return child > 0;
  }
  if (what == "mmap-exec") {
    return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
           MAP_FAILED;
  }
  if (what == "mprotect-exec") {
    static char page[8192];
    auto start = reinterpret_cast<uintptr_t>(page + 4095) & ~uintptr_t{4095};
    return mprotect(reinterpret_cast<void*>(start), 4096, PROT_READ | PROT_EXEC) == 0;
  }
  if (what == "read") return FdHandle(open("/etc/passwd", O_RDONLY | O_CLOEXEC)).isOpen();
  return false;
}

// Test builds only: a file named ombrix-crash-test* makes the analysis
// crash, and one named ombrix-sandbox-test-WHAT.* (WHAT as in tryEscape)
// makes it try what the sandbox forbids, so that recovery and confinement
// are tried on a real worker. A forbidden step must fail or end the process;
// if it succeeds, the worker answers as if nothing happened, which the tests
// notice.
void misbehaveIfAsked(const FileInfo& info) {
  const std::string& name = info.fileName;
  const std::string sandboxTest = "ombrix-sandbox-test-";
  if (name.rfind("ombrix-crash-test", 0) == 0) abort();
  if (name.rfind(sandboxTest, 0) != 0) return;
  std::string what = name.substr(sandboxTest.size());
  if (!tryEscape(info, what.substr(0, what.find('.')))) abort();
}
#else
void misbehaveIfAsked(const FileInfo&) {}
#endif

// Start-up reads far more of the libraries than analysis ever uses: the
// loader's relocation and symbol tables of some 140 libraries, and their
// initialisers, stay mapped (and counted in the parent's memory, and in each
// worker's once forked) until dropped. Only read-only file mappings whose
// resident pages the kernel shows all clean are dropped (relocated data is
// made read-only after the loader wrote it), so nothing is lost: a page the
// analysers need comes back from the page cache at its first touch.
// qemu-user, which runs the cross suites, shows its own idea of the pages,
// which is not exact enough for this.
void dropStartupPages() {
  if (TestSeams::isHelperEmulated()) return;
  FileHandle smaps(fopen("/proc/self/smaps", "re"));
  if (!smaps) return;
  char line[512];
  uintptr_t start = 0, end = 0;
  bool isReadOnlyFile = false;
  unsigned long long resident = 0, clean = 0, kept = 0;
  while (fgets(line, sizeof line, smaps.get()) != nullptr) {
    uintptr_t from = 0, to = 0;
    char perms[8] = "", path = 0;
    unsigned long long kb = 0;
    // "start-end perms offset device inode path"; a line too long for the
    // buffer continues on the next read, which matches no pattern here.
    if (sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s %*s %*s %*s %c", &from, &to, perms, &path) >=
        3) {
      start = from;
      end = to;
      isReadOnlyFile = perms[1] != 'w' && path == '/';
      resident = clean = kept = 0;
    } else if (sscanf(line, "Rss: %llu", &kb) == 1) {
      resident = kb;
    } else if (sscanf(line, "Shared_Clean: %llu", &kb) == 1 ||
               sscanf(line, "Private_Clean: %llu", &kb) == 1) {
      clean += kb;
    } else if (sscanf(line, "Anonymous: %llu", &kb) == 1 || sscanf(line, "Swap: %llu", &kb) == 1) {
      kept += kb;  // a written page, maybe swapped out
    } else if (strncmp(line, "VmFlags:", 8) == 0 && isReadOnlyFile && resident > 0 &&
               resident == clean && kept == 0) {
      madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
  }
}

// libavformat's probe decodes a frame of each video into buffers it asks
// to be zeroed, a few megabytes at a time. By default glibc maps each such
// buffer afresh and unmaps it when freed (or trims the heap after it), so
// every file paid for the same pages again: the page faults, and zeroing
// what the kernel had just zeroed, took half a worker's time over a bench
// corpus. Below 8 MB, freed memory stays
// in the heap for the next file instead; the peak is the same, since a
// worker needs it for its largest file anyway, and it ends with the walk.
constexpr int kKeptHeapBytes = 8 << 20;

// A worker: confined further, then serving requests until its input ends.
[[noreturn]] void work(const std::string& parentMissing) {
  mallopt(M_MMAP_THRESHOLD, kKeptHeapBytes);
  mallopt(M_TRIM_THRESHOLD, kKeptHeapBytes);
  Sandbox::enterWorker(parentMissing);
  std::string request;
  std::vector<FileInfo> files;
  while (AnalysisProtocol::receiveMessage(STDIN_FILENO, request)) {
    if (!AnalysisProtocol::decodeRequest(request, files)) _exit(2);
    for (FileInfo& info : files) {
      misbehaveIfAsked(info);
      info.analyze();
      std::string answer =
          AnalysisProtocol::encodeAnswer(info, Logger::getInstance().takeCaptured());
      if (!AnalysisProtocol::sendMessage(STDOUT_FILENO, answer)) _exit(0);
    }
  }
  // Not exit(): static destructors and the sanitizers' exit checks would
  // need system calls the sandbox no longer allows.
  _exit(0);
}

}  // namespace

int main(int argc, char* argv[]) {
  // A Ctrl-C in a terminal reaches the whole process group; when to stop is
  // the daemon's business, and it tells us by closing the control socket.
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);          // workers stay zombies until reaped on request
  prctl(PR_SET_PDEATHSIG, SIGKILL);  // a daemon killed mid-walk takes us along
  // Only the control socket and standard error are ours to use; a
  // descriptor leaked from the daemon could be a way out of the sandbox.
  closefrom(STDERR_FILENO + 1);
  Logger::getInstance().startCapture();
  initAvLibrary();
  std::deque<IconvHandle> converters;
  for (const char* encoding : kTextEncodings) converters.emplace_back("UTF-8", encoding);
  dropStartupPages();
  const std::string missing = Sandbox::enterParent(std::vector<std::string>(argv + 1, argv + argc));
  WorkerParent::serve(STDIN_FILENO, [&missing] { work(missing); });
  _exit(0);  // as a worker does
}
