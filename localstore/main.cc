// corvane-localstore: a loopback stand-in for the gateway, the document store
// and the part storage. Prints "listening on 127.0.0.1:PORT" once ready and
// runs until SIGTERM/SIGINT or POST /_control/shutdown.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <thread>

#include "options.h"
#include "sink_book.h"
#include "store_server.h"

using namespace localstore;

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Blocked in every thread (set before any is started) so that only the
// stopper thread receives them, through sigwait.
void block_stop_signals() {
  sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Waits for a stop signal, then stops the server; retries until the accept
// loop has actually started, in case the signal came before it.
void stopper(StoreServer& server, const std::atomic<bool>& finished) {
  sigset_t set = stop_signals();
  int received = 0;
  sigwait(&set, &received);
  while (!finished) {
    if (server.is_running()) server.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Binds, announces the port, and serves until a stop signal arrives.
int listen_and_serve(StoreServer& server, StoreContext& ctx) {
  const Options& options = ctx.options;
  int port = server.bind(options.host, options.port);
  if (port <= 0) {
    std::fprintf(stderr, "corvane-localstore: cannot listen on %s:%d\n", options.host.c_str(),
                 options.port);
    return 1;
  }
  ctx.base_url = options.public_url.empty()
                     ? "http://" + options.host + ":" + std::to_string(port)
                     : options.public_url;
  std::printf("listening on %s:%d\n", options.host.c_str(), port);
  std::fflush(stdout);
  std::atomic<bool> finished{false};
  std::thread stop_thread(stopper, std::ref(server), std::cref(finished));
  server.run();
  finished = true;
  kill(getpid(), SIGTERM);  // release the stopper if no signal came yet
  stop_thread.join();
  return 0;
}

int serve(const Options& options) {
  std::filesystem::create_directories(options.data_dir);
  ServerClock clock;
  clock.set_offset_seconds(options.clock_offset);
  TokenBook gateway_tokens("gw-", clock);
  TokenBook storage_tokens("st-", clock);
  ItemStore items(options.data_dir);
  TaskBook tasks(options.data_dir);
  PartSigner signer(clock);
  RequestLog log;
  FaultBook faults;
  GatewayVerifier verifier(options.appkey, options.appsecret, clock, options.timestamp_window);
  SinkBook sink;
  StoreContext ctx{options, clock, gateway_tokens, storage_tokens, items, tasks, signer,
                   log,     faults, verifier, "", [] { kill(getpid(), SIGTERM); }};
  if (options.sink) ctx.sink = &sink;
  StoreServer server(ctx);
  return listen_and_serve(server, ctx);
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  auto options = parse_options(argc, argv, error);
  if (!options) {
    std::fprintf(stderr, "corvane-localstore: %s\n%s", error.c_str(), usage_text().c_str());
    return 2;
  }
  block_stop_signals();
  try {
    return serve(*options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvane-localstore: %s\n", e.what());
    return 1;
  }
}
