#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "transport/run_controls.h"
#include "transport/transfer_loop.h"

namespace corvane {

// The progress of a run for the program that started it, as one compact
// JSON object in a file of its own, replaced whole (a reader never sees half
// of one) when the run starts, at most once a second while it runs, at each
// change of phase and once at its end:
//   {"phase":"parts","bytes":N,"total":N,"parts":N,"partcount":N,
//    "elapsed":S,"rate":N,"eta":S,"retries":N,"cause":"..."}
// For a list of files it also holds "files" (the files ended) and
// "filecount" after "partcount", and its bytes and total count every file.
// It hears the transfer loop's failed attempts and turns as its observer.
class ProgressReport final : public TransferObserver {
 public:
  ProgressReport(std::string path, const TransferLoop& loop);

  // The step the run is in: "token", "lookup", "task", "parts", "merge",
  // "direct"; at the end "success", "failed" or "cancelled".
  void enterPhase(const std::string& phase);
  const std::string& phase() const { return phase_; }
  // The bytes to send and, for a multipart upload, the number of parts.
  void plan(uint64_t total, uint64_t partCount);
  // A list of `fileCount` files of `total` bytes in all, in the phase
  // "files": from here each file's plan adds its parts, and each file's
  // steps leave the phase alone.
  void planFiles(uint64_t total, uint64_t fileCount);
  // One file of the list ended, whatever became of it.
  void fileEnded();
  // Bytes and parts the service acknowledged in this run: a part whose PUT
  // was answered.
  void acknowledge(uint64_t bytes, uint64_t parts);
  // Bytes and parts stored before this run, as a journal shows them: they
  // count in `bytes` from now on, never in the rate.
  void acknowledgeStored(uint64_t bytes, uint64_t parts);
  // The counts begin again: a continued task the service forgot is
  // replaced by a new one, whose parts all go out anew.
  void restart();
  // Writes the last state, in its final phase.
  void finish(const std::string& outcome);

  void attemptFailed(const std::string& cause) override;
  void loopTurned() override;

 private:
  uint64_t bytes() const;
  // `last`: the final state, which must not be lost.
  void write(bool last = false);

  std::string path_;
  const TransferLoop& loop_;
  std::string phase_ = "token";
  uint64_t stored_ = 0;        // bytes stored before this run
  uint64_t acknowledged_ = 0;  // bytes acknowledged in this run
  // The bytes last shown: `bytes` never goes below them unless an attempt
  // failed meanwhile (its part is then sent again).
  uint64_t shown_ = 0;
  uint64_t total_ = 0;
  uint64_t parts_ = 0;
  uint64_t partCount_ = 0;
  uint64_t retries_ = 0;
  std::string cause_;
  int64_t startMilliseconds_;
  int64_t writtenMilliseconds_ = -1;
  // (time, bytes sent in this run) of the last writes, for the rate over the
  // last 5 seconds.
  std::deque<std::pair<int64_t, uint64_t>> samples_;
  bool warned_ = false;
  bool listed_ = false;
  uint64_t files_ = 0;
  uint64_t fileCount_ = 0;
};

// Moves `report`, when there is one, to the step `phase`.
inline void reportPhase(ProgressReport* report, const char* phase) {
  if (report) report->enterPhase(phase);
}

}  // namespace corvane
