// Media/WorkerControl.cpp: packing the control messages and passing
// descriptors (SCM_RIGHTS).
#include "Media/WorkerControl.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace WorkerControl {
namespace {

constexpr size_t kMessageBytes = 9;  // kind, first, second

void putNumber(unsigned char* at, int32_t value) {
  uint32_t bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(bits >> (24 - 8 * i));
}

int32_t getNumber(const unsigned char* at) {
  uint32_t bits = 0;
  for (int i = 0; i < 4; ++i) bits = (bits << 8) | at[i];
  return static_cast<int32_t>(bits);
}

bool isKnown(uint8_t kind) {
  return kind >= static_cast<uint8_t>(Kind::Start) && kind <= static_cast<uint8_t>(Kind::Ended);
}

// Takes every descriptor the kernel put into the message's control data,
// so that none leaks whatever the message turns out to be.
void takeDescriptors(msghdr& header, std::vector<FdHandle>& fds) {
  for (cmsghdr* part = CMSG_FIRSTHDR(&header); part != nullptr; part = CMSG_NXTHDR(&header, part)) {
    if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(part) + i * sizeof fd, sizeof fd);
      fds.emplace_back(fd);
    }
  }
}

}  // namespace

bool send(int socket, const Message& message, const std::vector<int>& fds) {
  unsigned char bytes[kMessageBytes];
  bytes[0] = static_cast<unsigned char>(message.kind);
  putNumber(bytes + 1, message.first);
  putNumber(bytes + 5, message.second);
  iovec io = {bytes, sizeof bytes};
  msghdr header = {};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)] = {};
  if (!fds.empty() && fds.size() <= kMaxDescriptors) {
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* part = CMSG_FIRSTHDR(&header);
    part->cmsg_level = SOL_SOCKET;
    part->cmsg_type = SCM_RIGHTS;
    part->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(part), fds.data(), sizeof(int) * fds.size());
  }
  ssize_t sent;
  do {
    sent = sendmsg(socket, &header, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof bytes);
}

Received receive(int socket, Message& message, std::vector<FdHandle>& fds) {
  unsigned char bytes[kMessageBytes + 1];  // one more, to see a packet too long
  iovec io = {bytes, sizeof bytes};
  msghdr header = {};
  header.msg_iov = &io;
  header.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  ssize_t got;
  do {
    got = recvmsg(socket, &header, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  fds.clear();
  if (got > 0) takeDescriptors(header, fds);
  if (got <= 0) return Received::Closed;
  if (got != static_cast<ssize_t>(kMessageBytes) || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
      !isKnown(bytes[0])) {
    return Received::Garbage;
  }
  message.kind = static_cast<Kind>(bytes[0]);
  message.first = getNumber(bytes + 1);
  message.second = getNumber(bytes + 5);
  return Received::Message;
}

}  // namespace WorkerControl
