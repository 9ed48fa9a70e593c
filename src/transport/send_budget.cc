#include "transport/send_budget.h"

#include <algorithm>

#include "transport/transfer_driver.h"

namespace corvane {
namespace {

constexpr int64_t kLeastCapacity = 64 * 1024;
// A body paused for the budget goes on once its share of a round is worth
// a read of this size (or the budget is half full): fewer, larger reads.
// At a low cap, once it has earned a twentieth of a second: a pause never
// lasts long enough for the stall cut to take it for a stalled transfer.
constexpr int64_t kWorthwhileRead = 32 * 1024;
constexpr int64_t kLongestBudgetPauseDivisor = 20;
// Longer than the budget takes to fill at the lowest cap (64 KiB at 2 KiB/s).
constexpr int64_t kLongestCountedGap = 60'000;

}  // namespace

void SendBudget::setRate(int64_t bytesPerSecond) {
  if (bytesPerSecond == rate_) return;
  *this = SendBudget{};
  rate_ = std::max<int64_t>(0, bytesPerSecond);
}

int64_t SendBudget::capacity() const { return std::max(rate_ / 10, kLeastCapacity); }

void SendBudget::refill(int64_t nowMilliseconds, int reading) {
  if (!capped()) return;
  if (!started_) {
    if (!asked_) return;
    started_ = true;
    lastMilliseconds_ = nowMilliseconds;
  }
  const int64_t elapsed = std::clamp<int64_t>(nowMilliseconds - lastMilliseconds_, 0,
                                              kLongestCountedGap);
  lastMilliseconds_ = nowMilliseconds;
  const int64_t earned = rate_ * elapsed + remainder_;
  held_ = std::min(capacity(), held_ + earned / 1000);
  remainder_ = held_ == capacity() ? 0 : earned % 1000;
  ++round_;
  reading_ = std::max(1, reading);
  roundShare_ = (held_ + reading_ - 1) / reading_;
}

size_t SendBudget::take(size_t wanted, Share& share) {
  if (!capped()) return wanted;
  // The first body to ask finds the budget empty: it starts at the next turn.
  asked_ = true;
  if (share.round != round_) share = Share{round_, 0};
  const int64_t allowed = std::max<int64_t>(0, std::min(held_, roundShare_ - share.taken));
  const size_t granted = std::min(wanted, static_cast<size_t>(allowed));
  held_ -= static_cast<int64_t>(granted);
  share.taken += static_cast<int64_t>(granted);
  return granted;
}

void SendBudget::giveBack(size_t bytes, Share& share) {
  if (!capped()) return;
  held_ += static_cast<int64_t>(bytes);
  if (share.round == round_) share.taken -= static_cast<int64_t>(bytes);
}

int64_t SendBudget::resumeThreshold() const {
  return std::max<int64_t>(1, std::min({kWorthwhileRead * reading_, capacity() / 2,
                                         rate_ / kLongestBudgetPauseDivisor}));
}

bool SendBudget::worthResuming() const { return !capped() || held_ >= resumeThreshold(); }

int64_t SendBudget::millisecondsUntilWorthResuming() const {
  if (!capped()) return 1;
  const int64_t missing = resumeThreshold() - held_;
  if (missing <= 0) return 1;
  const int64_t thousandths = missing * 1000 - remainder_;
  return std::max<int64_t>(1, (thousandths + rate_ - 1) / rate_);
}

size_t readTransferBody(char* destination, size_t size, size_t count, void* opaque) {
  Transfer& transfer = *static_cast<Transfer*>(opaque);
  size_t wanted = size * count;
  size_t granted = 0;
  if (transfer.budget && transfer.upload->unread() > 0) {
    wanted = static_cast<size_t>(std::min<uint64_t>(wanted, transfer.upload->unread()));
    granted = transfer.budget->take(wanted, transfer.share);
    if (granted == 0) {
      transfer.pausedForBudget = true;
      return CURL_READFUNC_PAUSE;
    }
    wanted = granted;
  }
  const size_t got = readRequestBody(destination, 1, wanted, transfer.upload);
  if (granted > 0) {
    transfer.budget->giveBack(got == CURL_READFUNC_ABORT ? granted : granted - got, transfer.share);
  }
  return got;
}

}  // namespace corvane
