#pragma once

#include <atomic>

namespace corvane {

// The cause of a stop raised because the caller's stop file appeared (no
// signal number or console event is negative).
inline constexpr int kStopFileCause = -1;

// A request to stop the run, raised by a signal handler, a console event or
// the stop file, and read by the transfer loop at every turn. It holds one lock-free atomic
// and nothing else, so raising it is async-signal-safe.
class StopFlag {
 public:
  // Records `cause` (a signal number or a console event, never 0) unless a
  // stop was raised before; true when this was the first.
  bool raise(int cause) {
    int none = 0;
    return cause_.compare_exchange_strong(none, cause);
  }
  bool raised() const { return cause_.load() != 0; }
  // What raised the stop; 0 while none was raised.
  int cause() const { return cause_.load(); }

 private:
  static_assert(std::atomic<int>::is_always_lock_free);
  std::atomic<int> cause_{0};
};

}  // namespace corvane
