// Analyze/Sandbox.h: confines the analysis parent and its workers.
//
// The workers parse untrusted bytes from every file in the shared folders.
// A parser bug a crafted file exploits must get no further than a worker's
// own answers: no file created, written, renamed or removed, no file read
// outside the shared folders (the service runs as root, so a private file's
// text could otherwise come back as a tag), no socket, no program started,
// no process forked. Three kernel mechanisms, each where the kernel has it:
//   - no-new-privileges, which the other two need without privileges;
//   - Landlock: every write-side access to the file system handled and none
//     granted; reading handled and granted only below the shared folders and
//     for the few system files the libraries still open (TCP bind and
//     connect and the scopes too, where the kernel knows them);
//   - a seccomp allow-list of the system calls the analysers make, with
//     opens for reading only and nothing that can map new code.
// The parent, which loads the libraries and forks the workers but reads no
// media, enters all three with a filter that still lets it fork, pass pipes
// to the daemon and kill and reap its workers; each worker adds the
// analysers' own filter (no fork, no exec, no socket, no kill) before it
// reads a request. Log source "Analyze/Sandbox".
#ifndef OMBRIX_ANALYZE_SANDBOX_H
#define OMBRIX_ANALYZE_SANDBOX_H

#include <string>
#include <vector>

namespace Sandbox {

// The parent's part, for good: files below readableFolders stay readable (a
// folder that cannot be opened is left out). Returns what the kernel did not
// offer ("" when nothing), for enterWorker. Call once every library is
// loaded.
std::string enterParent(const std::vector<std::string>& readableFolders);

// A worker's part, on top of the parent's, before the first untrusted byte
// is read. Writes one SandboxIncomplete record naming whatever the parent
// (parentMissing) and the worker had to go without.
void enterWorker(const std::string& parentMissing);

}  // namespace Sandbox

#endif  // OMBRIX_ANALYZE_SANDBOX_H
