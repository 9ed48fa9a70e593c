#include "upload/resume_journal.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cinttypes>
#include <cstdio>

#include "upload/response_judging.h"

namespace corvane {
namespace {

constexpr int kJournalVersion = 1;

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void text(JsonWriter& writer, const char* key, const std::string& value) {
  writer.Key(key);
  writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string hex(uint64_t value) {
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%016" PRIx64, value);
  return buffer;
}

// A list entry's lines begin with the entry's position.
void entryKey(JsonWriter& writer, uint64_t entry) {
  if (entry == 0) return;
  writer.Key("file");
  writer.Uint64(entry);
}

void uploadMembers(JsonWriter& writer, const JournalUpload& upload, uint64_t entry) {
  entryKey(writer, entry);
  writer.Key("journal");
  writer.Int(kJournalVersion);
  text(writer, "rooturl", upload.rooturl);
  text(writer, "projectid", upload.projectid);
  text(writer, "targetname", upload.targetname);
  writer.Key("partsize");
  writer.Int64(upload.partSize);
  text(writer, "path", upload.path);
  writer.Key("size");
  writer.Uint64(upload.file.size);
  writer.Key("mtime");
  writer.Int64(upload.file.modifiedNanoseconds);
  writer.Key("device");
  writer.Uint64(upload.file.device);
  writer.Key("fileid");
  writer.Uint64(upload.file.fileId);
  text(writer, "task", upload.task);
}

std::string uploadLine(const JournalUpload& upload, uint64_t entry = 0) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  uploadMembers(writer, upload, entry);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string doneLine(const ResumeJournal::Done& done, uint64_t entry) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  uploadMembers(writer, done.upload, entry);
  text(writer, "fileitemid", done.fileItemId);
  text(writer, "fileitemname", done.fileItemName);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string discardLine(uint64_t entry) {
  return "{\"file\":" + std::to_string(entry) + ",\"discard\":true}\n";
}

std::string partLine(const JournalPart& part, uint64_t entry = 0) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  entryKey(writer, entry);
  writer.Key("part");
  writer.Uint64(part.number);
  writer.Key("size");
  writer.Uint64(part.size);
  text(writer, "xxh3", hex(part.hash));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::optional<uint64_t> unsignedOf(const rapidjson::Value& object, const char* key) {
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsUint64()) return std::nullopt;
  return member->value.GetUint64();
}

std::optional<int64_t> signedOf(const rapidjson::Value& object, const char* key) {
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsInt64()) return std::nullopt;
  return member->value.GetInt64();
}

// The members that name an upload; a success's task is empty.
std::optional<JournalUpload> parseIdentity(const rapidjson::Value& line) {
  auto version = signedOf(line, "journal");
  auto rooturl = stringMember(line, "rooturl");
  auto projectid = stringMember(line, "projectid");
  auto targetname = stringMember(line, "targetname");
  auto partSize = signedOf(line, "partsize");
  auto path = stringMember(line, "path");
  auto size = unsignedOf(line, "size");
  auto mtime = signedOf(line, "mtime");
  auto device = unsignedOf(line, "device");
  auto fileId = unsignedOf(line, "fileid");
  auto task = stringMember(line, "task");
  if (version != kJournalVersion || !rooturl || !projectid || !targetname || !partSize || !path ||
      !size || !mtime || !device || !fileId || !task) {
    return std::nullopt;
  }
  return JournalUpload{*rooturl, *projectid, *targetname, *partSize, *path,
                       FileIdentity{*size, *mtime, *device, *fileId}, *task};
}

std::optional<JournalUpload> parseUpload(const rapidjson::Value& line) {
  std::optional<JournalUpload> upload = parseIdentity(line);
  if (!upload || upload->task.empty()) return std::nullopt;
  return upload;
}

std::optional<JournalPart> parsePart(const rapidjson::Value& line) {
  auto number = unsignedOf(line, "part");
  auto size = unsignedOf(line, "size");
  auto hash = stringMember(line, "xxh3");
  if (!number || *number == 0 || !size || !hash || hash->size() != 16) return std::nullopt;
  char* end = nullptr;
  uint64_t value = std::strtoull(hash->c_str(), &end, 16);
  if (end != hash->c_str() + hash->size()) return std::nullopt;
  return JournalPart{*number, *size, value};
}

// Applies one line of a list entry to what is known of the entry: an upload
// begins (what came before it is over), a part arrives, the upload is
// discarded, or the file arrived whole.
void applyEntryLine(ResumeJournal::EntryState& state, const rapidjson::Value& line) {
  if (line.HasMember("journal")) {
    state = {};
    if (!line.HasMember("fileitemid")) {
      state.contents.upload = parseUpload(line);
      return;
    }
    auto upload = parseIdentity(line);
    auto id = stringMember(line, "fileitemid");
    auto name = stringMember(line, "fileitemname");
    if (upload && id && name) state.done = ResumeJournal::Done{*upload, *id, *name};
  } else if (line.HasMember("discard")) {
    state.contents = {};
  } else if (auto part = parsePart(line); part && state.contents.upload) {
    state.contents.parts[part->number] = *part;
  }
}

}  // namespace

std::unique_ptr<ResumeJournal> ResumeJournal::open(const std::string& path,
                                                   LockedFile::OpenStatus& status,
                                                   std::string& reason) {
  std::unique_ptr<LockedFile> file = LockedFile::open(path, status, reason);
  if (!file) return nullptr;
  return std::unique_ptr<ResumeJournal>(new ResumeJournal(std::move(file), path));
}

std::unique_ptr<ResumeJournal> ResumeJournal::forEntry(ResumeJournal& list, uint64_t position,
                                                       Contents state) {
  std::unique_ptr<ResumeJournal> entry(new ResumeJournal(list.file_, list.path_, position));
  entry->preloaded_ = std::move(state);
  return entry;
}

std::map<uint64_t, ResumeJournal::EntryState> ResumeJournal::readEntries() {
  std::map<uint64_t, EntryState> entries;
  const std::string text = file_->readAll();
  size_t at = 0;
  // Only whole lines count: a last line without its line end was torn.
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', at)) {
    rapidjson::Document line;
    bool parsed = parseObject(text.substr(at, end - at), line);
    at = end + 1;
    std::optional<uint64_t> entry = parsed ? unsignedOf(line, "file") : std::nullopt;
    if (entry && *entry != 0) applyEntryLine(entries[*entry], line);
  }
  return entries;
}

bool ResumeJournal::recordDone(const Done& done) { return file_->append(doneLine(done, entry_)); }

ResumeJournal::Contents ResumeJournal::read() {
  if (entry_ != 0) {
    if (!preloaded_) return readEntries()[entry_].contents;
    Contents contents = std::move(*preloaded_);
    preloaded_.reset();
    return contents;
  }
  Contents contents;
  const std::string text = file_->readAll();
  size_t at = 0;
  bool first = true;
  // Only whole lines count: a last line without its line end was torn.
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', at)) {
    rapidjson::Document line;
    bool parsed = parseObject(text.substr(at, end - at), line);
    at = end + 1;
    if (first) {
      if (!parsed || !(contents.upload = parseUpload(line))) return {};
      first = false;
      continue;
    }
    // A line that cannot be read stands for no part: that part is sent again.
    if (!parsed) continue;
    if (auto part = parsePart(line)) contents.parts[part->number] = *part;
  }
  return contents;
}

bool ResumeJournal::begin(const JournalUpload& upload) {
  if (entry_ != 0) return file_->append(uploadLine(upload, entry_));
  return file_->rewrite(uploadLine(upload));
}

bool ResumeJournal::recordPart(const JournalPart& part) {
  return file_->append(partLine(part, entry_));
}

void ResumeJournal::discard() {
  if (entry_ != 0) {
    file_->append(discardLine(entry_));
    return;
  }
  file_->rewrite("");
}

void ResumeJournal::removeIfEmpty() {
  if (file_->readAll().empty()) file_->remove();
}

std::string firstDifference(const JournalUpload& journal, const JournalUpload& current) {
  if (journal.rooturl != current.rooturl) return "rooturl";
  if (journal.projectid != current.projectid) return "projectid";
  if (journal.targetname != current.targetname) return "targetname";
  if (journal.partSize != current.partSize) return "partsize";
  if (journal.path != current.path) return "localfile";
  if (journal.file.size != current.file.size) return "the file's size";
  if (journal.file.modifiedNanoseconds != current.file.modifiedNanoseconds) {
    return "the file's modification time";
  }
  if (journal.file.device != current.file.device || journal.file.fileId != current.file.fileId) {
    return "the file's identity";
  }
  return {};
}

}  // namespace corvane
