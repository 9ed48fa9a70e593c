// The HTTP front: routes every endpoint, and around each service request
// records it, applies injected faults and the gateway signature check.
#pragma once

#include <httplib.h>

#include <string>

#include "connection_stall.h"
#include "store_context.h"

namespace localstore {

struct Route {
  Kind kind = Kind::kOther;
  bool gated = false;  // refused without x-ca-* headers under --require-signature
  EndpointHandler handler = nullptr;
};

class StoreServer {
 public:
  explicit StoreServer(StoreContext& ctx);

  int bind(const std::string& host, int port);  // bound port, or -1
  void run() { svr_.listen_after_bind(); }
  // Ends every stall first: the library waits for running handlers.
  void stop() {
    stalls_.release();
    svr_.stop();
  }
  bool is_running() const { return svr_.is_running(); }

 private:
  void configure();
  void add_service_routes();
  void add_control_routes();
  void add_fallback_routes();
  void add_service(const char* method, const char* pattern, Route route);
  void add_control(const char* method, const char* pattern, EndpointHandler handler);

  void serve(const Route& route, const httplib::Request& req, httplib::Response& res,
             const httplib::ContentReader* reader);
  void serve_control(EndpointHandler handler, const httplib::Request& req,
                     httplib::Response& res, const httplib::ContentReader* reader);
  bool admitted(const Route& route, Exchange& ex, bool fresh_nonce);
  void run_handler(const Route& route, Exchange& ex);
  void apply_fault(const FaultRule& rule, Exchange& ex, RequestRecord& record);
  void stall(const FaultRule& rule, Exchange& ex, RequestRecord& record);

  StoreContext& ctx_;
  httplib::Server svr_;
  StallGate stalls_;
};

}  // namespace localstore
