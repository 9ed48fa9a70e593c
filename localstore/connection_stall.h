// Holds a request's connection open without reading or answering, for the
// stall faults. The wait ends when the client closes its side, when the time
// is up, or when the server is stopping, whichever comes first, so a stall
// never holds up the stand-in's shutdown.
#pragma once

#include <httplib.h>

#include <cstdint>

namespace localstore {

// Released once, when the server stops; every stall waiting on it ends then.
class StallGate {
 public:
  StallGate();
  ~StallGate();
  StallGate(const StallGate&) = delete;
  StallGate& operator=(const StallGate&) = delete;

  void release();
  int fd() const { return fd_; }  // readable once released

 private:
  int fd_;
};

enum class StallEnd { kClientClosed, kTimeUp, kServerStopping };

// Waits up to `seconds` on the connection `req` arrived on. The client's
// close is seen when its FIN arrives; a FIN queued behind body bytes that
// were never read (a large body under "stall-read") is not seen, and the
// wait then runs until the time is up.
StallEnd hold_connection(const httplib::Request& req, std::uint64_t seconds,
                         const StallGate& gate);

}  // namespace localstore
