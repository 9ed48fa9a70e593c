// delay-line: an emulated wide-area link on loopback, for bench/wan. A TCP
// proxy that listens on 127.0.0.1 and forwards every accepted connection to
// one target:
//
//   delay-line --target HOST:PORT [--listen-port N] [--rtt-ms MS] [--mbit RATE]
//              [--queue-bytes N] [--count-file PATH]
//
// - A new connection passes no byte before one round trip has gone by since it
//   was accepted: the handshake a real link would cost.
// - Every byte is delayed by half the round trip in each direction.
// - Each direction is one link shared by all connections: bytes are
//   serialised at RATE Mbit/s (payload bytes; 0 = no limit) in the order they
//   were read, through a queue of at most N bytes. While it is full nothing is
//   read from any sender in that direction, so TCP backpressure reaches them;
//   when room opens, the senders that have bytes waiting take turns.
// - End of stream and resets are passed on, after the bytes ahead of them.
//
// Prints "listening on 127.0.0.1:PORT" once ready. The number of accepted
// connections is written to PATH after every accept; on SIGTERM or SIGINT it
// prints that number, its own CPU time and how late it passed bytes on
// (against the schedule above) to stderr, and exits 0.
// Single-threaded (epoll, one timerfd), Linux only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr size_t kReadMax = 256 * 1024;   // largest read from one sender at a time
constexpr int64_t kMinRead = 64 * 1024;   // a sender is read only when this much fits
constexpr int64_t kMinQueue = 128 * 1024;  // two of the smallest reads
constexpr int64_t kHeldSlack = 4 << 20;   // per direction of a connection, see DelayLine()

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

struct Settings {
  int listen_port = 0;
  sockaddr_in target{};
  double rtt_ms = 0;
  double mbit = 0;           // 0: no bandwidth limit
  int64_t queue_bytes = 0;   // 0: one bandwidth-delay product, at least kMinQueue
  std::string count_file;
};

// One direction of the emulated link, shared by all connections.
class Link {
 public:
  Link(double mbit, int64_t one_way_ns, int64_t queue_bytes)
      : ns_per_byte_(mbit > 0 ? 8000.0 / mbit : 0), one_way_ns_(one_way_ns), queue_bytes_(queue_bytes) {}

  // Bytes read but not yet serialised at `now`.
  int64_t backlog(int64_t now) const {
    return ns_per_byte_ > 0 && free_at_ > now ? int64_t((free_at_ - now) / ns_per_byte_) : 0;
  }
  // How many bytes a sender may hand over now; 0 while the queue is full.
  int64_t room(int64_t now) const {
    int64_t room = queue_bytes_ - backlog(now);
    return room >= kMinRead ? room : 0;
  }
  // When room() becomes non-zero again.
  int64_t reopens_at() const { return free_at_ - int64_t((queue_bytes_ - kMinRead) * ns_per_byte_); }
  // Puts `bytes` on the link at `now`; returns when the last of them arrives
  // at the far end.
  int64_t carry(int64_t now, size_t bytes) {
    free_at_ = std::max(now, free_at_) + int64_t(std::llround(double(bytes) * ns_per_byte_));
    return free_at_ + one_way_ns_;
  }
  uint64_t last_served = 0;  // the connection that was read last, for taking turns

 private:
  double ns_per_byte_;
  int64_t one_way_ns_;
  int64_t queue_bytes_;
  int64_t free_at_ = 0;
};

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// Bytes, an end of stream or a reset, due at the far end at `due`.
struct Chunk {
  enum Kind { kData, kEof, kReset } kind;
  int64_t due;
  std::unique_ptr<char, FreeDeleter> bytes;
  size_t size = 0;
  size_t sent = 0;
  bool attempted = false;  // passing it on was tried (lateness is counted once)
};

// How far behind its schedule the loop passed chunks on: a loaded machine
// shows up here instead of silently in the figures.
struct Lateness {
  static constexpr int64_t kNoticeable = 2'000'000;  // ns
  uint64_t chunks = 0;
  uint64_t noticeable = 0;
  int64_t worst = 0;
  void record(int64_t late) {
    ++chunks;
    noticeable += late > kNoticeable;
    worst = std::max(worst, late);
  }
};

// One direction of one connection: read from `from`, written to `to`.
struct Half {
  int from = -1;
  int to = -1;
  Link* link = nullptr;
  std::deque<Chunk> chunks;
  int64_t held = 0;           // data bytes read and not yet written
  bool readable = false;      // `from` has bytes (or an end) waiting to be read
  bool read_done = false;     // end of stream or error read: nothing more to read
  bool write_blocked = false; // `to` was full; waiting for EPOLLOUT
  bool finished = false;      // end of stream passed on, or nothing can be passed on any more
};

struct Connection {
  int client = -1;
  int server = -1;
  int64_t open_at = 0;        // accept time plus one round trip
  bool connected = false;     // the connection to the target is up
  bool failed = false;        // a reset is on its way
  bool dead = false;
  Half up;                    // client to server
  Half down;                  // server to client
  uint32_t client_mask = 0;   // epoll interest as registered; 0 = not yet registered
  uint32_t server_mask = 0;
};

class DelayLine {
 public:
  DelayLine(const Settings& s, int listener, int timer, int signals);
  int run();
  uint64_t accepted() const { return accepted_; }
  bool counting() const { return settings_.count_file.empty() || count_fd_ >= 0; }
  const Lateness& lateness() const { return lateness_; }

 private:
  void accept_all(int64_t now);
  void open_connection(int client, int64_t now);
  void on_event(uint64_t tag, uint32_t events, int64_t now);
  void take_turns(Link& link, Half Connection::*half, int64_t now);
  void deliver_and_reap(int64_t now);
  void on_server_connect(Connection& c, int64_t now);
  void read_into(Connection& c, Half& h, int64_t now);
  void deliver(Connection& c, Half& h, int64_t now);
  bool write_front(Connection& c, Half& h, int64_t now);
  void fail(Connection& c, int failed_fd, int64_t now);
  bool can_read(const Connection& c, const Half& h, int64_t now) const;
  void update_interest(Connection& c, uint64_t id);
  void set_interest(int fd, uint64_t tag, uint32_t& registered, uint32_t wanted);
  int64_t next_wake(int64_t now) const;
  void arm_timer(int64_t at);
  void close_connection(Connection& c);
  void count_accepted();

  Settings settings_;
  int64_t rtt_ns_;
  Link up_link_;
  Link down_link_;
  int64_t cap_;
  int listener_;
  int timer_;
  int signals_;
  int epoll_;
  int count_fd_ = -1;
  uint64_t accepted_ = 0;
  Lateness lateness_;
  uint64_t next_id_ = 1;
  std::map<uint64_t, Connection> connections_;
  std::unique_ptr<char, FreeDeleter> buffer_;  // page-aligned, for fast copies from the kernel
};

// Epoll tags: (connection id + 1) times two, plus one for the server side;
// the listener, the timer and the signals take the tags below.
constexpr uint64_t kListenerTag = 0;
constexpr uint64_t kTimerTag = 1;
constexpr uint64_t kSignalTag = 2;
uint64_t tag_of(uint64_t id, bool server) { return (id + 1) * 2 + (server ? 1 : 0); }

int64_t default_queue(const Settings& s) {
  double bdp = s.mbit * 1e6 / 8 * s.rtt_ms / 1e3;
  return std::max<int64_t>(kMinQueue, int64_t(bdp));
}

DelayLine::DelayLine(const Settings& s, int listener, int timer, int signals)
    : settings_(s),
      rtt_ns_(int64_t(std::llround(s.rtt_ms * 1e6))),
      up_link_(s.mbit, rtt_ns_ / 2, s.queue_bytes),
      down_link_(s.mbit, rtt_ns_ / 2, s.queue_bytes),
      listener_(listener),
      timer_(timer),
      signals_(signals),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      buffer_(static_cast<char*>(std::aligned_alloc(4096, kReadMax))) {
  // A connection may hold what fills the queue and the wire in one direction,
  // plus slack for a receiver that is slow to read; beyond that its sender
  // waits. Without a rate limit the wire holds nothing, so the slack bounds it.
  double wire = s.mbit * 1e6 / 8 * s.rtt_ms / 2e3;
  cap_ = s.queue_bytes + int64_t(wire) + kHeldSlack;
  using Watch = std::pair<int, uint64_t>;
  for (auto [fd, tag] : {Watch{listener_, kListenerTag}, Watch{timer_, kTimerTag}, Watch{signals_, kSignalTag}}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
  }
  if (!s.count_file.empty()) {
    count_fd_ = open(s.count_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    count_accepted();
  }
}

void DelayLine::count_accepted() {
  if (count_fd_ < 0) return;
  // The count only grows, so the new text always covers the old one.
  std::string text = std::to_string(accepted_) + "\n";
  if (pwrite(count_fd_, text.data(), text.size(), 0) != ssize_t(text.size())) {
    std::perror("delay-line: count file");
  }
}

void set_nodelay_nonblocking(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Closes `fd` with a reset instead of an orderly end.
void abort_socket(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

void DelayLine::accept_all(int64_t now) {
  for (;;) {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) std::perror("delay-line: accept");
      return;
    }
    ++accepted_;
    count_accepted();
    open_connection(fd, now);
  }
}

void DelayLine::open_connection(int client, int64_t now) {
  uint64_t id = next_id_++;
  Connection& c = connections_[id];
  c.client = client;
  c.open_at = now + rtt_ns_;
  set_nodelay_nonblocking(client);
  c.server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  c.up.from = c.down.to = client;
  c.up.to = c.down.from = c.server;
  c.up.link = &up_link_;
  c.down.link = &down_link_;
  if (c.server < 0) {
    std::perror("delay-line: socket");
    fail(c, c.server, now);
    return;
  }
  set_nodelay_nonblocking(c.server);
  const auto* target = reinterpret_cast<const sockaddr*>(&settings_.target);
  if (connect(c.server, target, sizeof settings_.target) == 0) {
    c.connected = true;
  } else if (errno != EINPROGRESS) {
    fail(c, c.server, now);
  }
}

void DelayLine::on_server_connect(Connection& c, int64_t now) {
  int error = 0;
  socklen_t len = sizeof error;
  getsockopt(c.server, SOL_SOCKET, SO_ERROR, &error, &len);
  if (error != 0) {
    fail(c, c.server, now);
    return;
  }
  c.connected = true;
}

bool DelayLine::can_read(const Connection& c, const Half& h, int64_t now) const {
  return !h.read_done && !c.failed && c.connected && now >= c.open_at && h.held + kMinRead <= cap_ &&
         h.link->room(now) > 0;
}

void DelayLine::read_into(Connection& c, Half& h, int64_t now) {
  size_t want = size_t(std::min<int64_t>({int64_t(kReadMax), h.link->room(now), cap_ - h.held}));
  ssize_t n = recv(h.from, buffer_.get(), want, 0);
  if (n < 0) {
    // Drained: epoll reports the next arrival. A short read is not enough to
    // tell, as an end of stream that came with the last bytes is reported by
    // the read after them, without another wake-up.
    if (errno == EAGAIN || errno == EWOULDBLOCK) h.readable = false;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) fail(c, h.from, now);
    return;
  }
  Chunk chunk{n == 0 ? Chunk::kEof : Chunk::kData, h.link->carry(now, size_t(n)), nullptr, size_t(n)};
  if (n == 0) {
    h.read_done = true;
  } else {
    // 64-byte aligned: the kernel copies from an aligned source faster.
    chunk.bytes.reset(static_cast<char*>(std::aligned_alloc(64, (size_t(n) + 63) / 64 * 64)));
    std::memcpy(chunk.bytes.get(), buffer_.get(), size_t(n));
    h.held += n;
  }
  h.chunks.push_back(std::move(chunk));
}

// Reads one block from each sender of `link` that has bytes waiting, in turn
// from the one after the last served, for as long as the queue has room: the
// connections share the link instead of the first one taking all of it.
void DelayLine::take_turns(Link& link, Half Connection::*half, int64_t now) {
  bool served = true;
  while (served && link.room(now) > 0) {
    served = false;
    auto it = connections_.upper_bound(link.last_served);
    for (size_t i = 0; i < connections_.size() && link.room(now) > 0; ++i, ++it) {
      if (it == connections_.end()) it = connections_.begin();
      Connection& c = it->second;
      Half& h = c.*half;
      if (!h.readable || !can_read(c, h, now)) continue;
      read_into(c, h, now);
      link.last_served = it->first;
      served = true;
    }
  }
}

// A reset read from `failed_fd` (or met writing to it, or connecting it) is
// passed on to the other side after the bytes already on the link; whatever
// was still headed for `failed_fd` is dropped.
void DelayLine::fail(Connection& c, int failed_fd, int64_t now) {
  if (c.failed) {
    c.dead = true;
    return;
  }
  c.failed = true;
  bool server_failed = failed_fd == c.server;
  Half& onward = server_failed ? c.down : c.up;
  Half& back = server_failed ? c.up : c.down;
  back.chunks.clear();
  back.held = 0;
  back.read_done = true;
  back.finished = true;
  onward.read_done = true;
  int64_t due = std::max(onward.link->carry(now, 0), c.open_at);
  onward.chunks.push_back(Chunk{Chunk::kReset, due, nullptr, 0});
}

// Writes the front chunk's bytes; false when `to` is full or failed.
bool DelayLine::write_front(Connection& c, Half& h, int64_t now) {
  Chunk& chunk = h.chunks.front();
  while (chunk.sent < chunk.size) {
    ssize_t n = send(h.to, chunk.bytes.get() + chunk.sent, chunk.size - chunk.sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      h.write_blocked = true;
      return false;
    }
    if (n < 0) {
      fail(c, h.to, now);
      return false;
    }
    chunk.sent += size_t(n);
  }
  h.held -= int64_t(chunk.size);
  return true;
}

// Passes on every chunk of `h` that is due by now, in order.
void DelayLine::deliver(Connection& c, Half& h, int64_t now) {
  bool can_write = h.to == c.client || c.connected || h.chunks.empty() ||
                   h.chunks.front().kind == Chunk::kReset;
  while (can_write && !c.dead && !h.write_blocked && !h.chunks.empty() && h.chunks.front().due <= now) {
    Chunk& chunk = h.chunks.front();
    if (!chunk.attempted) lateness_.record(now - chunk.due);
    chunk.attempted = true;
    if (chunk.kind == Chunk::kReset) {
      abort_socket(h.to);
      if (h.to == c.client) c.client = -1; else c.server = -1;
      c.dead = true;
      return;
    }
    if (chunk.kind == Chunk::kEof) {
      shutdown(h.to, SHUT_WR);
      h.finished = true;
    } else if (!write_front(c, h, now)) {
      return;
    }
    h.chunks.pop_front();
  }
}

void DelayLine::set_interest(int fd, uint64_t tag, uint32_t& registered, uint32_t wanted) {
  if (fd < 0 || wanted == registered) return;
  epoll_event ev{};
  ev.events = wanted;
  ev.data.u64 = tag;
  int op = registered == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(epoll_, op, fd, &ev) != 0) std::perror("delay-line: epoll_ctl");
  registered = wanted;
}

void DelayLine::update_interest(Connection& c, uint64_t id) {
  // Edge-triggered: arriving bytes are reported once and remembered in
  // `readable`, so a sender held back by a full queue does not wake the loop
  // over and over. Writability is asked for only while a write is pending,
  // or every acknowledgement would wake it.
  auto input = [&](const Half& h) { return !h.read_done && !c.failed ? uint32_t(EPOLLIN | EPOLLRDHUP) : 0u; };
  auto output = [](bool wanted) { return wanted ? uint32_t(EPOLLOUT) : 0u; };
  uint32_t client = EPOLLET | input(c.up) | output(c.down.write_blocked);
  uint32_t server = EPOLLET | (c.connected ? input(c.down) | output(c.up.write_blocked) : output(!c.failed));
  set_interest(c.client, tag_of(id, false), c.client_mask, client);
  set_interest(c.server, tag_of(id, true), c.server_mask, server);
}

void DelayLine::on_event(uint64_t tag, uint32_t events, int64_t now) {
  auto it = connections_.find(tag / 2 - 1);
  if (it == connections_.end() || it->second.dead) return;
  Connection& c = it->second;
  bool server = tag % 2 == 1;
  if (server && !c.connected) {
    on_server_connect(c, now);
    return;
  }
  Half& reading = server ? c.down : c.up;
  Half& writing = server ? c.up : c.down;
  if (events & EPOLLERR) {
    fail(c, reading.from, now);
    return;
  }
  if (events & EPOLLOUT) writing.write_blocked = false;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) reading.readable = true;
}

int64_t DelayLine::next_wake(int64_t now) const {
  int64_t wake = INT64_MAX;
  for (const auto& [id, c] : connections_) {
    if (c.dead) return now;
    if (c.open_at > now) wake = std::min(wake, c.open_at);
    for (const Half* h : {&c.up, &c.down}) {
      if (!h->write_blocked && !h->chunks.empty()) wake = std::min(wake, h->chunks.front().due);
      if (!h->read_done && h->link->room(now) == 0) wake = std::min(wake, h->link->reopens_at());
    }
  }
  return wake;
}

void DelayLine::arm_timer(int64_t at) {
  itimerspec wake{};
  if (at != INT64_MAX) {
    wake.it_value.tv_sec = at / 1'000'000'000;
    wake.it_value.tv_nsec = at % 1'000'000'000;
  }
  timerfd_settime(timer_, TFD_TIMER_ABSTIME, &wake, nullptr);
}

void DelayLine::close_connection(Connection& c) {
  // What is left of a failed connection goes with a reset, so that no end
  // mistakes the cut for an orderly end.
  for (int fd : {c.client, c.server}) {
    if (fd >= 0 && c.failed) abort_socket(fd);
    if (fd >= 0 && !c.failed) close(fd);
  }
}

void DelayLine::deliver_and_reap(int64_t now) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = it->second;
    deliver(c, c.up, now);
    deliver(c, c.down, now);
    bool done = c.up.finished && c.down.finished && c.up.chunks.empty() && c.down.chunks.empty();
    if (c.dead || done) {
      close_connection(c);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

int DelayLine::run() {
  epoll_event events[64];
  for (;;) {
    int64_t now = now_ns();
    deliver_and_reap(now);
    // After delivering: a sender held back because its connection held too
    // much has then either room again or bytes still due, which wake the loop.
    take_turns(up_link_, &Connection::up, now);
    take_turns(down_link_, &Connection::down, now);
    for (auto& [id, c] : connections_) update_interest(c, id);
    int64_t wake = next_wake(now);
    arm_timer(wake);
    int n = epoll_wait(epoll_, events, 64, wake <= now_ns() ? 0 : -1);
    if (n < 0 && errno != EINTR) {
      std::perror("delay-line: epoll_wait");
      return 1;
    }
    now = now_ns();
    for (int i = 0; i < n; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kSignalTag) return 0;
      if (tag == kListenerTag) accept_all(now);
      if (tag == kTimerTag) {
        uint64_t expirations = 0;
        if (read(timer_, &expirations, sizeof expirations) < 0 && errno != EAGAIN) std::perror("delay-line: timer");
      }
      if (tag > kSignalTag) on_event(tag, events[i].events, now);
    }
  }
}

bool parse_number(std::string_view text, double min, double max, double& out) {
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !(value >= min && value <= max)) return false;
  out = value;
  return true;
}

bool parse_target(const std::string& text, sockaddr_in& out) {
  auto colon = text.rfind(':');
  double port = 0;
  if (colon == std::string::npos || !parse_number(std::string_view(text).substr(colon + 1), 1, 65535, port)) {
    return false;
  }
  out.sin_family = AF_INET;
  out.sin_port = htons(uint16_t(port));
  return inet_pton(AF_INET, text.substr(0, colon).c_str(), &out.sin_addr) == 1;
}

bool apply(const std::string& name, const std::string& value, Settings& s) {
  double number = 0;
  if (name == "--target") return parse_target(value, s.target);
  if (name == "--count-file") { s.count_file = value; return !value.empty(); }
  if (name == "--listen-port" && parse_number(value, 0, 65535, number)) { s.listen_port = int(number); return true; }
  if (name == "--rtt-ms" && parse_number(value, 0, 10000, number)) { s.rtt_ms = number; return true; }
  if (name == "--mbit" && parse_number(value, 0, 1e6, number)) { s.mbit = number; return true; }
  if (name == "--queue-bytes" && parse_number(value, double(kMinQueue), 1e10, number)) {
    s.queue_bytes = int64_t(number);
    return true;
  }
  return false;
}

std::optional<Settings> parse_settings(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto eq = arg.find('=');
    std::string name = arg.substr(0, eq);
    std::string value;
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    if (!apply(name, value, s)) {
      std::fprintf(stderr, "delay-line: bad argument %s\n", arg.c_str());
      return std::nullopt;
    }
  }
  if (s.target.sin_family != AF_INET) {
    std::fprintf(stderr, "delay-line: --target HOST:PORT is required\n");
    return std::nullopt;
  }
  if (s.queue_bytes == 0) s.queue_bytes = default_queue(s);
  return s;
}

int listen_on_loopback(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(uint16_t(port));
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 128) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// SIGTERM and SIGINT arrive through a descriptor, so the loop ends cleanly.
int stop_signals_fd() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

void report(uint64_t accepted, const Lateness& late) {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::fprintf(stderr,
               "delay-line: accepted %llu connections; CPU user %.3f s, sys %.3f s; %llu chunks passed on, "
               "%llu of them more than %.0f ms late, the latest by %.1f ms\n",
               static_cast<unsigned long long>(accepted),
               double(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6,
               double(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6,
               static_cast<unsigned long long>(late.chunks), static_cast<unsigned long long>(late.noticeable),
               Lateness::kNoticeable / 1e6, late.worst / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Settings> settings = parse_settings(argc, argv);
  if (!settings) {
    std::fprintf(stderr,
                 "usage: delay-line --target HOST:PORT [--listen-port N] [--rtt-ms MS] [--mbit RATE]\n"
                 "                  [--queue-bytes N] [--count-file PATH]\n");
    return 2;
  }
  int signals = stop_signals_fd();
  int port = settings->listen_port;
  int listener = listen_on_loopback(port);
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (listener < 0 || timer < 0 || signals < 0) {
    std::perror("delay-line: listen");
    return 1;
  }
  // Timers fire within a microsecond rather than the default 50.
  prctl(PR_SET_TIMERSLACK, 1000UL);
  // Blocks come from the heap and stay there: by default each one is mapped
  // and unmapped anew, and its pages faulted in, on every read.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  DelayLine line(*settings, listener, timer, signals);
  if (!line.counting()) {
    std::perror("delay-line: count file");
    return 1;
  }
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  int status = line.run();
  report(line.accepted(), line.lateness());
  return status;
}
