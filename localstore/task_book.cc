#include "task_book.h"

#include "crypto_util.h"
#include "file_io.h"
#include "json_util.h"

namespace localstore {
namespace {

std::string task_json(const UploadTask& t) {
  JsonWriter w;
  w.begin_object().key("id").str(t.id).key("name").str(t.name);
  w.key("parentId").str(t.parent_id).key("parentPath").str(t.parent_path);
  w.key("length").unum(t.length).end_object();
  return w.text();
}

std::optional<UploadTask> task_from_json(const std::string& text) {
  rapidjson::Document doc;
  if (!parse_json(text, doc)) return std::nullopt;
  auto id = member_string(doc, "id");
  auto name = member_string(doc, "name");
  auto length = member_uint64(doc, "length");
  if (!id || !name || !length) return std::nullopt;
  return UploadTask{*id, *name, member_string(doc, "parentId").value_or(""),
                    member_string(doc, "parentPath").value_or(""), *length};
}

}  // namespace

TaskBook::TaskBook(std::filesystem::path data_dir) : dir_(std::move(data_dir) / "tasks") {
  std::filesystem::create_directories(dir_);
  load_existing();
}

void TaskBook::load_existing() {
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    std::string text;
    if (!entry.is_directory() || !read_small_file(entry.path() / "task.json", text)) continue;
    if (auto task = task_from_json(text)) tasks_[task->id] = *task;
  }
}

std::optional<std::string> TaskBook::create(UploadTask task) {
  task.id = "task-" + random_hex(8);
  std::error_code ec;
  std::filesystem::create_directories(dir_ / task.id, ec);
  if (ec || !write_file_atomically(dir_ / task.id / "task.json", task_json(task))) {
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  tasks_[task.id] = task;
  return task.id;
}

std::optional<UploadTask> TaskBook::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = tasks_.find(id);
  if (it == tasks_.end()) return std::nullopt;
  return it->second;
}

void TaskBook::remove(const std::string& id) {
  {
    std::lock_guard lock(mutex_);
    tasks_.erase(id);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_ / id, ignored);
}

std::filesystem::path TaskBook::part_path(const std::string& id, std::uint64_t part) const {
  return dir_ / id / ("part-" + std::to_string(part));
}

}  // namespace localstore
