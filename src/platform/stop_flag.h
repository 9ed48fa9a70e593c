#pragma once

#include <atomic>

namespace corvane {

// A request to stop the run, raised by a signal handler or a console event
// and read by the transfer loop at every turn. It holds one lock-free atomic
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
