// Analyze/Sandbox.h: confines the analysis helper to reading files.
//
// The helper parses untrusted bytes from every file in the shared folders. A
// parser bug a crafted file exploits must get no further than the helper's
// own answers: no file created, written, renamed or removed, no socket, no
// program started. Three kernel mechanisms, each where the kernel has it:
//   - no-new-privileges, which the other two need without privileges;
//   - Landlock: every write-side access to the file system handled and none
//     granted (TCP bind and connect and the scopes too, where the kernel
//     knows them);
//   - a seccomp allow-list of the system calls the analysers make, with
//     opens for reading only and nothing that can map new code.
// Log source "Analyze/Sandbox".
#ifndef OMBRIX_ANALYZE_SANDBOX_H
#define OMBRIX_ANALYZE_SANDBOX_H

namespace Sandbox {

// Applies what the kernel offers, for good. Writes one SandboxIncomplete
// record naming whatever it had to go without. Call once every library is
// loaded and before the first untrusted byte is read.
void enter();

}  // namespace Sandbox

#endif  // OMBRIX_ANALYZE_SANDBOX_H
