#include "connection_stall.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "connection_drop.h"

namespace localstore {

StallGate::StallGate() : fd_(eventfd(0, EFD_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

StallGate::~StallGate() { ::close(fd_); }

// The counter is never read back, so the descriptor stays readable.
void StallGate::release() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

StallEnd hold_connection(const httplib::Request& req, std::uint64_t seconds,
                         const StallGate& gate) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  const int socket = find_request_socket(req);
  // POLLRDHUP alone: unread body bytes must not count as an event.
  pollfd watched[2] = {{gate.fd(), POLLIN, 0}, {socket, POLLRDHUP, 0}};
  const nfds_t count = socket >= 0 ? 2 : 1;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return StallEnd::kTimeUp;
    int ready = poll(watched, count, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
    if (ready < 0 && errno != EINTR) return StallEnd::kTimeUp;
    if (ready <= 0) continue;
    if (watched[0].revents != 0) return StallEnd::kServerStopping;
    if (watched[1].revents != 0) return StallEnd::kClientClosed;
  }
}

}  // namespace localstore
