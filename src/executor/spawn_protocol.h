#pragma once
// Wire format between the gateway and portico-spawner. Both ends are built
// from this tree together, so there is no version negotiation; every size is
// still checked on receipt, so that a short or garbled message is refused
// rather than read past.
//
// Shape: the gateway and the spawner share one SOCK_SEQPACKET socket, on which
// the gateway sends only kOpen messages, each carrying (SCM_RIGHTS) one end of
// a fresh socketpair: the run's channel. The spawner forks a run leader for
// it and forgets it; the leader and the gateway then speak on the channel:
//
//   gateway -> leader   Request header, then payload chunks
//   leader  -> gateway  Started (+ stdout and stderr read ends) or Failed
//   gateway -> leader   Kill (time-out, or the gateway gives up on the run)
//   leader  -> gateway  Exited, once the shell and every descendant are gone
//
// The channel closing is itself a kill order: a gateway thread or process
// that goes away can never leave a run's processes behind.

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <unistd.h>

namespace portico::spawn {

enum MessageType : uint32_t {
  kOpen = 0x4f50454e,
  kRequest = 0x52455155,
  kStarted = 0x53545254,
  kFailed = 0x4641494c,
  kKill = 0x4b494c4c,
  kExited = 0x45584954,
};

// Largest message on the channel; the payload travels in pieces of this size.
constexpr size_t kMaxMessage = 64 * 1024;
// Far above what execve accepts (a few MB): a larger payload is garbage.
constexpr uint64_t kMaxPayload = 64ull * 1024 * 1024;

struct Open {
  uint32_t type = kOpen;
};

// Payload, in this order: `ngroups` gid_t values, `command_bytes` bytes of
// the command line (no NUL), then `env_count` NUL-terminated "NAME=value" texts.
// The first message holds the header followed by the payload's first bytes.
struct Request {
  uint32_t type = kRequest;
  uint32_t switch_user = 0;
  uint32_t uid = 0, gid = 0;
  uint32_t ngroups = 0;
  uint32_t env_count = 0;
  uint64_t command_bytes = 0;
  uint64_t payload_bytes = 0;
};

// Steps before exec that can fail; their texts live with the gateway.
enum Step : int32_t {
  kStepRequest = 0,
  kStepPipes,
  kStepFork,
  kStepStreams,
  kStepGroups,
  kStepGid,
  kStepUid,
  kStepExec,
  kStepCount,
};

struct Started {
  uint32_t type = kStarted;
  int32_t pid = -1;  // the shell's
};

struct Failed {
  uint32_t type = kFailed;
  int32_t step = kStepRequest;
  int32_t err = 0;  // errno
};

struct Kill {
  uint32_t type = kKill;
};

struct Exited {
  uint32_t type = kExited;
  int32_t status = 0;       // the shell's wait status
  uint32_t survivors = 0;   // descendants that refused to die (EPERM)
};

constexpr int kMaxFds = 2;

// Sends one message with up to kMaxFds descriptors. Returns 0 or an errno.
inline int send_message(int sock, const void* data, size_t size, const int* fds = nullptr, int nfds = 0) {
  iovec iov{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
  if (nfds > 0) {
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<size_t>(nfds));
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<size_t>(nfds));
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<size_t>(nfds));
  }
  for (;;) {
    if (sendmsg(sock, &msg, MSG_NOSIGNAL) >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// Receives one message into `data` and its descriptors (close-on-exec) into
// `fds`. Returns the byte count, 0 at end of stream, or -errno; a message
// longer than `size` is -EMSGSIZE. Descriptors beyond `max_fds`, and all of
// them on any failure, are closed, so none can leak.
inline ssize_t receive_message(int sock, void* data, size_t size, int* fds = nullptr, int max_fds = 0,
                               int* nfds = nullptr) {
  iovec iov{data, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n;
  do n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  while (n < 0 && errno == EINTR);
  if (n < 0) n = -errno;
  int got = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (got < max_fds) fds[got++] = fd;
      else close(fd);
    }
  }
  if (n > 0 && (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) n = -EMSGSIZE;
  if (n <= 0) {
    while (got > 0) close(fds[--got]);
  }
  if (nfds) *nfds = got;
  return n;
}

}  // namespace portico::spawn
