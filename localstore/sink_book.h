// The sink mode (--sink): part and direct-upload bodies are counted and
// checksummed as they stream in, and nothing is written to disk, so that a
// benchmark measures the client and not this server's disk. XXH3-128 is the
// checksum because SHA-256 runs at about the speed of a loopback socket and
// would itself become the limit; on x86 the library's dispatching entry point
// picks the widest vector unit the CPU has (about 20 GB/s here, against 5
// for the portable one).
#pragma once

#include <xxhash.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace localstore {

// Incremental XXH3-128; hex_digest() gives the canonical form that
// `xxh128sum` prints.
class Xxh128 {
 public:
  Xxh128();
  void update(const char* data, size_t n);
  std::string hex_digest() const;

 private:
  struct StateFree { void operator()(XXH3_state_t* s) const { XXH3_freeState(s); } };
  std::unique_ptr<XXH3_state_t, StateFree> state_;
};

struct SinkBody {
  std::uint64_t bytes = 0;
  std::string xxh128;
};

// A file item the sink mode created: a direct upload (with its checksum) or a
// merge of a task's parts.
struct SinkItem {
  std::string id;
  std::string name;
  std::string kind;  // "direct-upload" or "merge"
  std::uint64_t length = 0;
  std::string xxh128;  // direct uploads only
  std::string task;    // merges only
};

class SinkBook {
 public:
  // A part sent again replaces the earlier one.
  void add_part(const std::string& task, std::uint64_t part, SinkBody body);
  // The stored merge's rule on the recorded parts: parts 1..N all present
  // (N = highest received), sizes adding up to `length`. Empty when they
  // pass, otherwise the same refusal text the stored merge gives.
  std::string merge_refusal(const std::string& task, std::uint64_t length) const;
  void add_item(SinkItem item);

  // {"parts":[...],"items":[...]}, one element per line; parts ordered by
  // task and part number, items in creation order.
  std::string json() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::map<std::uint64_t, SinkBody>> parts_;
  std::vector<SinkItem> items_;
};

}  // namespace localstore
