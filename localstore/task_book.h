// Pending multi-part upload tasks. Each lives in DATA/tasks/<task>/ with its
// settings in task.json and its received parts as part-<n>.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace localstore {

struct UploadTask {
  std::string id;
  std::string name;
  std::string parent_id;
  std::string parent_path;
  std::uint64_t length = 0;
};

class TaskBook {
 public:
  explicit TaskBook(std::filesystem::path data_dir);  // creates DATA/tasks, reloads tasks

  // Assigns the id, writes task.json; nullopt when the directory cannot be made.
  std::optional<std::string> create(UploadTask task);
  std::optional<UploadTask> find(const std::string& id) const;
  void remove(const std::string& id);  // forgets the task and deletes its directory

  std::filesystem::path dir_of(const std::string& id) const { return dir_ / id; }
  std::filesystem::path part_path(const std::string& id, std::uint64_t part) const;

 private:
  void load_existing();

  std::filesystem::path dir_;
  mutable std::mutex mutex_;
  std::map<std::string, UploadTask> tasks_;
};

}  // namespace localstore
