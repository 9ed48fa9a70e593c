// Stored file items: DATA/items/<id>.bin holds the bytes, DATA/items/<id>.json
// the metadata {"id","name","parentId","length","sha256"}.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "file_io.h"

namespace localstore {

struct ItemMeta {
  std::string id;
  std::string name;
  std::string parent_id;
  std::uint64_t length = 0;
  std::string sha256;
};

std::string item_meta_json(const ItemMeta& meta);

class ItemStore {
 public:
  explicit ItemStore(std::filesystem::path data_dir);  // creates DATA/items, loads existing metadata

  std::string new_id() const;
  std::filesystem::path bin_path(const std::string& id) const;

  // Commits `sink` as <id>.bin, writes <id>.json and lists the item.
  bool add(ItemMeta meta, FileSink& sink);

  std::string list_json() const;  // JSON array in creation order

 private:
  void load_existing();

  std::filesystem::path dir_;
  mutable std::mutex mutex_;
  std::vector<ItemMeta> items_;
};

}  // namespace localstore
