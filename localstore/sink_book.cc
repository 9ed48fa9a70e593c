#include "sink_book.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#endif

#include <stdexcept>

#include "crypto_util.h"
#include "json_util.h"

namespace localstore {

Xxh128::Xxh128() : state_(XXH3_createState()) {
  if (!state_ || XXH3_128bits_reset(state_.get()) != XXH_OK) {
    throw std::runtime_error("XXH3 init failed");
  }
}

void Xxh128::update(const char* data, size_t n) { XXH3_128bits_update(state_.get(), data, n); }

std::string Xxh128::hex_digest() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_.get()));
  return to_hex(std::string_view(reinterpret_cast<const char*>(canonical.digest),
                                 sizeof canonical.digest));
}

void SinkBook::add_part(const std::string& task, std::uint64_t part, SinkBody body) {
  std::lock_guard lock(mutex_);
  parts_[task][part] = std::move(body);
}

std::string SinkBook::merge_refusal(const std::string& task, std::uint64_t length) const {
  std::lock_guard lock(mutex_);
  auto found = parts_.find(task);
  if (found == parts_.end() || found->second.empty()) {
    return length > 0 ? "no parts uploaded" : "";
  }
  const auto& parts = found->second;
  std::uint64_t total = 0;
  for (std::uint64_t n = 1; n <= parts.rbegin()->first; ++n) {
    auto it = parts.find(n);
    if (it == parts.end()) return "part " + std::to_string(n) + " missing";
    total += it->second.bytes;
  }
  if (total != length) {
    return "length mismatch: parts hold " + std::to_string(total) + " bytes, task expects " +
           std::to_string(length);
  }
  return "";
}

void SinkBook::add_item(SinkItem item) {
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(item));
}

std::string SinkBook::json() const {
  std::lock_guard lock(mutex_);
  std::string out = "{\"parts\":[";
  const char* separator = "\n";
  for (const auto& [task, parts] : parts_) {
    for (const auto& [number, body] : parts) {
      JsonWriter w;
      w.begin_object().key("task").str(task).key("part").unum(number);
      w.key("bytes").unum(body.bytes).key("xxh128").str(body.xxh128).end_object();
      out += separator + w.text();
      separator = ",\n";
    }
  }
  out += "\n],\"items\":[";
  separator = "\n";
  for (const SinkItem& item : items_) {
    JsonWriter w;
    w.begin_object().key("id").str(item.id).key("name").str(item.name).key("kind").str(item.kind);
    w.key("length").unum(item.length);
    if (!item.xxh128.empty()) w.key("xxh128").str(item.xxh128);
    if (!item.task.empty()) w.key("task").str(item.task);
    w.end_object();
    out += separator + w.text();
    separator = ",\n";
  }
  return out + "\n]}\n";
}

void SinkBook::clear() {
  std::lock_guard lock(mutex_);
  parts_.clear();
  items_.clear();
}

}  // namespace localstore
