// Analyze/Sandbox.cpp: no-new-privileges, Landlock and the seccomp
// allow-lists of the analysis parent and its workers.
#include "Analyze/Sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "Common/Handles.h"
#include "Common/Logger.h"

namespace {

// Landlock rights and fields newer than the oldest kernel headers we build
// with; the values are the kernel's ABI and never change.
constexpr uint64_t kAccessFsTruncate = 1ULL << 14;  // ABI 3
constexpr uint64_t kAccessFsIoctlDev = 1ULL << 15;  // ABI 5
constexpr uint64_t kAccessNetBindTcp = 1ULL << 0;   // ABI 4
constexpr uint64_t kAccessNetConnectTcp = 1ULL << 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1ULL << 1;

// The ruleset attribute as the newest kernels read it. A kernel is handed
// only the prefix of it that its ABI knows.
struct RulesetAttr {
  uint64_t handledAccessFs;
  uint64_t handledAccessNet;
  uint64_t scoped;
};

// Files the libraries open once the workers are confined, found under strace
// over the test media and the external corpus: glibc reads the time zone at
// its first time conversion (libavformat's creation times).
constexpr const char* kSystemFiles[] = {"/etc/localtime"};

// Lets the ruleset read the files below path, or path itself when it is a
// file. A path that cannot be opened is left out: nothing could be read
// there anyway.
bool allowReading(int ruleset, const std::string& path) {
  FdHandle target(open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!target.isOpen()) return true;
  landlock_path_beneath_attr rule = {};
  rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE;
  rule.parent_fd = target.get();
  return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

// Every right that changes the file system or runs a program is handled
// with no rule granting any of it, so each is refused everywhere. Reading
// files and listing directories are handled too: reading is granted below
// the readable folders and for the system files, listing nowhere (no
// analyser lists a directory).
bool restrictWithLandlock(const std::vector<std::string>& readableFolders) {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return false;  // ENOSYS or EOPNOTSUPP: not built in, or off at boot
  RulesetAttr attr = {};
  attr.handledAccessFs =
      LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
      LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
      LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
      LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
      LANDLOCK_ACCESS_FS_MAKE_SYM;
  size_t size = sizeof attr.handledAccessFs;
  if (abi >= 2) attr.handledAccessFs |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) attr.handledAccessFs |= kAccessFsTruncate;
  if (abi >= 4) {
    attr.handledAccessNet = kAccessNetBindTcp | kAccessNetConnectTcp;
    size = sizeof attr.handledAccessFs + sizeof attr.handledAccessNet;
  }
  if (abi >= 5) attr.handledAccessFs |= kAccessFsIoctlDev;
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size = sizeof attr;
  }
  FdHandle ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
  if (!ruleset.isOpen()) return false;
  for (const std::string& folder : readableFolders) {
    if (!allowReading(ruleset.get(), folder)) return false;
  }
  for (const char* file : kSystemFiles) {
    if (!allowReading(ruleset.get(), file)) return false;
  }
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

// The system calls allowed without conditions: those a worker made while
// analysing, under strace, the hostile files of the test suite, the external
// media corpus and a bench corpus, in a release and a sanitizer build; plus, for 32-bit targets,
// the names the same calls have there (_llseek, fstat64, fcntl64, mmap2 below, clock_gettime64,
// futex_time64). A name a target lacks is skipped.
constexpr const char* kAllowed[] = {
    // reading the analysed file, and /etc/localtime
    "read",
    "lseek",
    "_llseek",
    "close",
    "newfstatat",
    "fstatat64",
    "fstat64",
    "statx",
    "fcntl",
    "fcntl64",
    // memory; mmap and mprotect are allowed below, without PROT_EXEC
    "brk",
    "munmap",
    "mremap",
    "madvise",
    // wake-ups of one-time initialisations, the clock where it is no vDSO
    "futex",
    "futex_time64",
    "clock_gettime",
    "clock_gettime64",
    // abort() and the end of the process
    "getpid",
    "gettid",
    "rt_sigprocmask",
    "exit",
    "exit_group",
#ifdef __SANITIZE_ADDRESS__
    // Test builds: the sanitizers probe memory through a pipe of their own
    // and set up an alternate signal stack.
    "pipe2",
    "sigaltstack",
    "write",
#endif
};

#ifdef __SANITIZE_ADDRESS__
constexpr bool kIsSanitized = true;
#else
constexpr bool kIsSanitized = false;
#endif

// Open flags that could change a file. An open for reading is allowed; one
// with any of these fails with EACCES rather than ending the worker, since
// TagLib tries read-write first and falls back to read-only.
constexpr int kWriteFlags[] = {O_WRONLY, O_RDWR,   O_CREAT,
                               O_TRUNC,  O_APPEND, O_TMPFILE & ~O_DIRECTORY};

#if defined(__s390__) || defined(__CRIS__)
constexpr unsigned kCloneFlagsArg = 1;  // clone(stack, flags, ...) there
#else
constexpr unsigned kCloneFlagsArg = 0;
#endif

// Clone flags of anything but a plain fork: a thread or vfork (shared
// memory, the way to a posix_spawn and so to an exec) or new namespaces.
constexpr scmp_datum_t kNotForkFlags = CLONE_VM | CLONE_VFORK | CLONE_THREAD | CLONE_NEWNS |
                                       CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC |
                                       CLONE_NEWUTS | CLONE_NEWCGROUP;

// What the parent needs beyond a worker's calls: forking workers (and, in
// the child, the steps before its own filter), passing their pipes to the
// daemon, killing and reaping them.
constexpr const char* kParentAllowed[] = {
    "wait4",   "waitid",  "pipe2",           "dup2", "dup3", "close_range", "getppid", "sendmsg",
    "recvmsg", "seccomp", "set_robust_list",
};

struct SeccompReleaser {
  void operator()(void* filter) const { seccomp_release(filter); }
};
using SeccompHandle = std::unique_ptr<void, SeccompReleaser>;

// Adds the rule, skipping a system call this target does not have.
bool addRule(scmp_filter_ctx filter, uint32_t action, const char* name,
             std::initializer_list<scmp_arg_cmp> conditions = {}) {
  int number = seccomp_syscall_resolve_name(name);
  if (number < 0) return true;
  return seccomp_rule_add_array(filter, action, number, static_cast<unsigned>(conditions.size()),
                                conditions.begin()) == 0;
}

// Allows opens for reading (flagsArg is the call's flags argument); an open
// with a write flag fails with EACCES.
bool addOpenRules(scmp_filter_ctx filter, const char* name, unsigned flagsArg) {
  int allMask = 0;
  for (int flag : kWriteFlags) {
    allMask |= flag;
    scmp_arg_cmp hasFlag = {flagsArg, SCMP_CMP_MASKED_EQ, static_cast<scmp_datum_t>(flag),
                            static_cast<scmp_datum_t>(flag)};
    if (!addRule(filter, SCMP_ACT_ERRNO(EACCES), name, {hasFlag})) return false;
  }
  scmp_arg_cmp readOnly = {flagsArg, SCMP_CMP_MASKED_EQ, static_cast<scmp_datum_t>(allMask), 0};
  return addRule(filter, SCMP_ACT_ALLOW, name, {readOnly});
}

// A worker's calls: analysing, answering, ending.
bool addWorkerRules(scmp_filter_ctx ctx) {
  for (const char* name : kAllowed) {
    if (!addRule(ctx, SCMP_ACT_ALLOW, name)) return false;
  }
  // Answers go to standard output, library complaints to standard error;
  // no other descriptor this process holds may be written.
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (kIsSanitized) break;  // allowed everywhere above
    if (!addRule(ctx, SCMP_ACT_ALLOW, "write", {SCMP_A0_32(SCMP_CMP_EQ, fd)})) return false;
  }
  // Mappings, but never of code: every library is loaded by now.
  for (const char* name : {"mmap", "mmap2", "mprotect"}) {
    if (!addRule(ctx, SCMP_ACT_ALLOW, name, {SCMP_A2_32(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)})) {
      return false;
    }
  }
  return addOpenRules(ctx, "openat", 2);
}

// The parent's own calls. Its filter holds for its workers too, beneath
// theirs, so it allows every call of theirs as well, and abort() in any of
// them (a worker's own filter narrows it to itself).
bool addParentRules(scmp_filter_ctx ctx) {
  for (const char* name : kParentAllowed) {
    if (!addRule(ctx, SCMP_ACT_ALLOW, name)) return false;
  }
  // No thread, no vfork, no namespace: clone3 is not filtered by its flags,
  // so glibc is told it is missing and falls back on clone.
  if (!addRule(ctx, SCMP_ACT_ALLOW, "clone",
               {SCMP_CMP(kCloneFlagsArg, SCMP_CMP_MASKED_EQ, kNotForkFlags, 0)}) ||
      !addRule(ctx, SCMP_ACT_ERRNO(ENOSYS), "clone3")) {
    return false;
  }
  // SIGKILL to one process at a time (its workers): never to a whole
  // process group, never to every process.
  if (!addRule(ctx, SCMP_ACT_ERRNO(EPERM), "kill", {SCMP_A0_32(SCMP_CMP_EQ, 0)}) ||
      !addRule(ctx, SCMP_ACT_ALLOW, "kill",
               {SCMP_A0_32(SCMP_CMP_MASKED_EQ, 0x80000000u, 0),
                SCMP_A1_32(SCMP_CMP_EQ, static_cast<uint32_t>(SIGKILL))}) ||
      !addRule(ctx, SCMP_ACT_ALLOW, "tgkill")) {
    return false;
  }
  // A worker's first steps: to die with the parent, and the calls
  // libseccomp makes to load the worker's filter.
  for (int option : {PR_SET_PDEATHSIG, PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP}) {
    if (!addRule(ctx, SCMP_ACT_ALLOW, "prctl",
                 {SCMP_A0_32(SCMP_CMP_EQ, static_cast<uint32_t>(option))})) {
      return false;
    }
  }
  return addWorkerRules(ctx);
}

// Any other call ends the process (SIGSYS): a worker's file fails, and the
// daemon goes on with a fresh worker.
bool restrictWithSeccomp(bool isParent) {
  SeccompHandle filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter) return false;
  scmp_filter_ctx ctx = filter.get();
  if (isParent) {
    if (!addParentRules(ctx)) return false;
  } else {
    // abort() signals this process and no other.
    if (!addRule(ctx, SCMP_ACT_ALLOW, "tgkill",
                 {SCMP_A0_32(SCMP_CMP_EQ, static_cast<uint32_t>(getpid()))}) ||
        !addWorkerRules(ctx)) {
      return false;
    }
  }
  return seccomp_load(ctx) == 0;
}

// Adds what to the list of what is missing.
void note(std::string& missing, const char* what) {
  if (missing.find(what) != std::string::npos) return;
  missing += (missing.empty() ? "" : ", ") + std::string(what);
}

}  // namespace

namespace Sandbox {

std::string enterParent(const std::vector<std::string>& readableFolders) {
  std::string missing;
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) note(missing, "no_new_privs");
  if (!restrictWithLandlock(readableFolders)) note(missing, "Landlock");
  if (!restrictWithSeccomp(true)) note(missing, "seccomp");
  return missing;
}

void enterWorker(const std::string& parentMissing) {
  std::string missing = parentMissing;
  if (!restrictWithSeccomp(false)) note(missing, "seccomp");
  if (!missing.empty()) writeLog(LogId::SandboxIncomplete, missing);
}

}  // namespace Sandbox
