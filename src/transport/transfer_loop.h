#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "transport/http_exchange.h"

namespace corvane {

// Runs requests side by side on the calling thread through libcurl's multi
// interface. Each request keeps its own retry: up to 33 attempts, a cause
// line after every failed one, the second attempt at once and each later one
// after a 2-second pause that holds only that request. While a loop lives it
// is the active one, and performRequest() runs its requests inside it.
class TransferLoop {
 public:
  struct Options {
    // Keep connections, TLS sessions and resolved names for later requests
    // to the same host; off, every loop starts from fresh connections.
    bool poolConnections = false;
  };

  TransferLoop();
  explicit TransferLoop(Options options);
  ~TransferLoop();
  TransferLoop(const TransferLoop&) = delete;
  TransferLoop& operator=(const TransferLoop&) = delete;

  // The innermost loop alive on this thread; nullptr when there is none.
  static TransferLoop* active();

  using Done = std::function<void(HttpResponse)>;
  // Starts `request`; `done` runs from run() once it has finished.
  void start(const HttpRequest& request, Done done);
  // Runs until every request started has finished and its `done` has run;
  // a `done` may start further requests.
  void run();
  // Runs `request` to its end and returns what it brought back. The other
  // requests keep moving meanwhile; their `done` waits for run().
  HttpResponse perform(const HttpRequest& request);

 private:
  struct Job;
  using JobList = std::list<std::unique_ptr<Job>>;

  Job& add(const HttpRequest& request, Done done);
  // One turn: starts the attempts that are due, moves the transfers on and
  // waits for the next thing to happen.
  void advance();
  void beginAttempt(Job& job);
  void collectFinishedTransfers();
  void endAttempt(Job& job, CURLcode result);
  void finish(Job& job, CURLcode result);
  void wait();
  // Runs the `done` of one finished request; false when there was none.
  bool dispatchOne();
  HttpResponse takeResponse(JobList::iterator job);
  CURLM* multi();

  Options options_;
  TransferLoop* outer_;
  JobList jobs_;
  int running_ = 0;
  bool moved_ = false;  // this turn finished a request or made one due
  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
};

}  // namespace corvane
