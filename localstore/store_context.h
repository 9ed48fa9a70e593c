// Shared state handed to every endpoint handler, and the per-request view.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>

#include "body_reader.h"
#include "fault_book.h"
#include "gateway_verifier.h"
#include "item_store.h"
#include "options.h"
#include "part_signer.h"
#include "request_log.h"
#include "server_clock.h"
#include "task_book.h"
#include "token_book.h"

namespace localstore {

class SinkBook;

struct StoreContext {
  const Options& options;
  ServerClock& clock;
  TokenBook& gateway_tokens;
  TokenBook& storage_tokens;
  ItemStore& items;
  TaskBook& tasks;
  PartSigner& signer;
  RequestLog& log;
  FaultBook& faults;
  GatewayVerifier& verifier;
  std::string base_url;              // of signed part URLs: --public-url or our own address
  std::function<void()> request_stop;
  SinkBook* sink = nullptr;          // set in --sink mode only
};

struct Exchange {
  const httplib::Request& req;
  httplib::Response& res;
  BodyReader& body;
};

using EndpointHandler = void (*)(StoreContext&, Exchange&);

}  // namespace localstore
