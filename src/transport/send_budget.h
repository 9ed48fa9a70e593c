#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

// The run's cap on the rate of the bodies sent, kept as one budget of bytes
// that every streamed body draws from as libcurl reads it. The budget earns
// at the cap's rate from the turn after a first body asked for bytes (when
// libcurl is ready to send them), starting empty,
// and never holds more than a tenth of a second's worth (at least 64 KiB):
// from the first byte on, the bytes sent by any moment stay below the cap
// times the time elapsed, and a gap between parts is won back by at most
// that tenth of a second.
//
// Each turn of the transfer loop opens a round: every body still being read
// may take an equal share of what the budget holds then, so that the bodies
// libcurl happens to serve first never starve the others; what a body leaves
// stays in the budget for the next round.
class SendBudget {
 public:
  // Where one body stands in the current round.
  struct Share {
    uint64_t round = 0;
    int64_t taken = 0;
  };

  // Bytes per second; 0: no cap. A new rate starts the budget afresh.
  void setRate(int64_t bytesPerSecond);
  bool capped() const { return rate_ > 0; }
  int64_t capacity() const;
  int64_t held() const { return held_; }

  // Adds what the time up to `nowMilliseconds` earned and opens a round
  // shared by the `reading` bodies. Nothing is earned before a body first
  // asked for bytes.
  void refill(int64_t nowMilliseconds, int reading);
  // Takes up to `wanted` bytes for the body of `share`: 0 when the budget or
  // the body's share of this round is spent.
  size_t take(size_t wanted, Share& share);
  // Returns bytes taken but not sent.
  void giveBack(size_t bytes, Share& share);
  // Whether a round now gives each reading body enough for a worthwhile
  // read, so that bodies paused for the budget are resumed.
  bool worthResuming() const;
  // The milliseconds after which worthResuming() will hold; at least 1.
  int64_t millisecondsUntilWorthResuming() const;

 private:
  int64_t resumeThreshold() const;

  int64_t rate_ = 0;
  int64_t held_ = 0;
  bool asked_ = false;
  bool started_ = false;
  int64_t lastMilliseconds_ = 0;
  int64_t remainder_ = 0;  // thousandths of a byte earned but not yet counted
  uint64_t round_ = 0;
  int reading_ = 1;
  int64_t roundShare_ = 0;
};

}  // namespace corvane
