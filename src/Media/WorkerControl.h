// Media/WorkerControl.h: the messages between the daemon and the loaded
// parent of its analysis workers.
//
// They travel over a local socket pair of the packet kind, which is the
// parent's standard input and output: one message a packet, so neither side
// frames anything. A message is a kind byte and two numbers of 4 bytes each,
// big-endian, the same whatever the host. The daemon asks, the parent answers
// each question in turn:
//   Start              -> Started (worker PID), with two descriptors attached:
//                         the write end of the worker's standard input and
//                         the read end of its standard output;
//                         or StartFailed (errno value)
//   End (worker PID)   -> Ended (worker PID, its wait status); the parent
//                         kills and reaps it. A PID that is none of its
//                         workers gets a status of -1.
// The daemon closing its end asks the parent to end every worker and itself.
#ifndef OMBRIX_MEDIA_WORKERCONTROL_H
#define OMBRIX_MEDIA_WORKERCONTROL_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Common/Handles.h"

namespace WorkerControl {

enum class Kind : uint8_t { Start = 1, End, Started, StartFailed, Ended };

struct Message {
  Kind kind;
  int32_t first = 0;   // a PID, or an errno value
  int32_t second = 0;  // a wait status
};

// The descriptors a message may carry: a worker's two pipe ends.
constexpr size_t kMaxDescriptors = 2;

// Sends message with the descriptors in fds (copies of them travel; the
// caller still owns its own). False when the peer is gone. Never raises
// SIGPIPE.
bool send(int socket, const Message& message, const std::vector<int>& fds = {});

enum class Received { Message, Closed, Garbage };
// Waits for one message. Descriptors that came with it land in fds,
// close-on-exec, whatever else is wrong with it. Closed at the end of the
// stream or on an error; Garbage for a packet that is not one whole message
// of a known kind, or whose descriptors did not all arrive.
Received receive(int socket, Message& message, std::vector<FdHandle>& fds);

}  // namespace WorkerControl

#endif  // OMBRIX_MEDIA_WORKERCONTROL_H
