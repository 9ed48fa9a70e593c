#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "transport/http_exchange.h"
#include "transport/run_controls.h"
#include "transport/send_budget.h"
#include "transport/transfer_driver.h"

namespace corvane {

// Runs requests side by side on the calling thread, every request of a run
// through one driver (one connection pool). Each request keeps its own
// retry: up to 33 attempts, a cause line after every failed one, the second
// attempt at once and each later one after a 2-second pause that holds only
// that request; the pauses of one request add up to at most 120 seconds.
// At every turn it reads its run's controls: a stop abandons every transfer
// (but lets a request that creates something finish once its body went out
// in full), and a cap on the send rate is one budget that every streamed
// body in flight draws from. Every answer's date goes to the run's service
// clock; a signed request's attempts are each signed as they start, and one
// refused for a clock the service's date shows wrong goes again at once,
// once per run.
class TransferLoop {
 public:
  TransferLoop(TransferDriver& driver, RunControls& controls);
  ~TransferLoop();
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  using Done = std::function<void(HttpResponse)>;
  // Starts `request`; `done` runs from run() or turn() once it has finished.
  // After a stop, the request finishes at once as cancelled.
  void start(const HttpRequest& request, Done done);
  // Runs until every request started has finished and its `done` has run;
  // a `done` may start further requests.
  void run();
  // One step of run(): runs one finished request's `done`, or moves the
  // transfers on once. False when nothing is left to do.
  bool turn();
  // Runs `request` to its end and returns what it brought back. The other
  // requests keep moving meanwhile; their `done` waits for run().
  HttpResponse perform(const HttpRequest& request);

  // Body bytes that the streamed attempts now in flight, or finished and not
  // yet handed back, have sent.
  uint64_t bytesInFlight() const;
  RunControls& controls() { return controls_; }

 private:
  struct Job;
  using JobList = std::list<std::unique_ptr<Job>>;

  Job& add(const HttpRequest& request, Done done);
  // One turn: starts the attempts that are due, refills the send budget,
  // moves the transfers on and waits for the next thing to happen.
  void advance();
  void beginAttempt(Job& job);
  void endAttempt(Job& job, const AttemptEnd& end);
  void retryLater(Job& job, int64_t pauseMilliseconds);
  void finish(Job& job, CURLcode result, RequestOutcome outcome);
  // Abandons every transfer, except an attempt of a request that creates
  // something whose body went out in full: its answer is awaited.
  void cancelAll();
  void watchAnswers();
  void refillSendBudget();
  int64_t waitMilliseconds() const;
  // Runs the `done` of one finished request; false when there was none.
  bool dispatchOne();
  HttpResponse takeResponse(JobList::iterator job);

  TransferDriver& driver_;
  RunControls& controls_;
  JobList jobs_;
  SendBudget budget_;
  int budgetReaders_ = 0;  // bodies drawing from the budget at the last turn
  bool moved_ = false;  // this turn finished a request or made one due
};

}  // namespace corvane
