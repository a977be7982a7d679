// Analyze/Sandbox.h: confines the analysis helper to reading files.
//
// The helper parses untrusted bytes from every file in the shared folders. A
// parser bug a crafted file exploits must get no further than the helper's
// own answers: no file created, written, renamed or removed, no file read
// outside the shared folders (the service runs as root, so a private file's
// text could otherwise come back as a tag), no socket, no program started.
// Three kernel mechanisms, each where the kernel has it:
//   - no-new-privileges, which the other two need without privileges;
//   - Landlock: every write-side access to the file system handled and none
//     granted; reading handled and granted only below the shared folders and
//     for the few system files the libraries still open (TCP bind and
//     connect and the scopes too, where the kernel knows them);
//   - a seccomp allow-list of the system calls the analysers make, with
//     opens for reading only and nothing that can map new code.
// Log source "Analyze/Sandbox".
#ifndef OMBRIX_ANALYZE_SANDBOX_H
#define OMBRIX_ANALYZE_SANDBOX_H

#include <string>
#include <vector>

namespace Sandbox {

// Applies what the kernel offers, for good; files below readableFolders stay
// readable (a folder that cannot be opened is left out). Writes one
// SandboxIncomplete record naming whatever it had to go without. Call once
// every library is loaded and before the first untrusted byte is read.
void enter(const std::vector<std::string>& readableFolders);

}  // namespace Sandbox

#endif  // OMBRIX_ANALYZE_SANDBOX_H
