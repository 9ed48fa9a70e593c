#include "item_store.h"

#include <algorithm>

#include "json_util.h"

namespace localstore {
namespace {

bool meta_from_json(const std::string& text, ItemMeta& meta) {
  rapidjson::Document doc;
  if (!parse_json(text, doc)) return false;
  auto id = member_string(doc, "id");
  auto name = member_string(doc, "name");
  auto length = member_uint64(doc, "length");
  if (!id || !name || !length) return false;
  meta = ItemMeta{*id, *name, member_string(doc, "parentId").value_or(""), *length,
                  member_string(doc, "sha256").value_or("")};
  return true;
}

}  // namespace

std::string item_meta_json(const ItemMeta& meta) {
  JsonWriter w;
  w.begin_object().key("id").str(meta.id).key("name").str(meta.name);
  w.key("parentId").str(meta.parent_id).key("length").unum(meta.length);
  w.key("sha256").str(meta.sha256).end_object();
  return w.text();
}

ItemStore::ItemStore(std::filesystem::path data_dir) : dir_(std::move(data_dir) / "items") {
  std::filesystem::create_directories(dir_);
  load_existing();
}

void ItemStore::load_existing() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::string text;
    ItemMeta meta;
    if (read_small_file(file, text) && meta_from_json(text, meta)) items_.push_back(meta);
  }
}

std::string ItemStore::new_id() const { return "fi-" + random_hex(8); }

std::filesystem::path ItemStore::bin_path(const std::string& id) const {
  return dir_ / (id + ".bin");
}

bool ItemStore::add(ItemMeta meta, FileSink& sink) {
  if (!sink.commit()) return false;
  if (!write_file_atomically(dir_ / (meta.id + ".json"), item_meta_json(meta))) return false;
  std::lock_guard lock(mutex_);
  items_.push_back(std::move(meta));
  return true;
}

std::string ItemStore::list_json() const {
  JsonWriter w;
  w.begin_array();
  std::lock_guard lock(mutex_);
  for (const auto& meta : items_) w.raw(item_meta_json(meta));
  w.end_array();
  return w.text();
}

}  // namespace localstore
