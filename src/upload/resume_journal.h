#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/locked_file.h"
#include "platform/read_only_file.h"

namespace corvane {

// Which multipart upload a journal belongs to: the names it was made for,
// the local file as it was opened, and the service's task.
struct JournalUpload {
  std::string rooturl;  // as log lines show it: no query, no user:password
  std::string projectid;
  std::string targetname;
  int64_t partSize = 0;
  std::string path;
  FileIdentity file;
  std::string task;
};

// One part the service acknowledged: its number, size and the hash of the
// bytes sent.
struct JournalPart {
  uint64_t number = 0;
  uint64_t size = 0;
  uint64_t hash = 0;
};

// The journal of a multipart upload, so that a run that failed or was
// killed can be continued by the next: a plain text file of one compact JSON
// object per line, the upload first, then one line per part that arrived.
// Each line is on disk before the call that wrote it returns, so a crash
// can tear only the last one, which is ignored. It never holds a token, a
// secret or a signed URL. Locked for the object's whole life.
class ResumeJournal {
 public:
  // Opens and locks the journal at `path` (created when missing); nothing,
  // with the status and the reason, when it cannot be had.
  static std::unique_ptr<ResumeJournal> open(const std::string& path,
                                             LockedFile::OpenStatus& status, std::string& reason);
  struct Contents {
    std::optional<JournalUpload> upload;   // nothing when the journal is empty or unreadable
    std::map<uint64_t, JournalPart> parts;  // by part number
  };
  Contents read();

  // A list entry's file that was uploaded whole: `upload` names it (its
  // task empty), with the item the service made of it.
  struct Done {
    JournalUpload upload;
    std::string fileItemId;
    std::string fileItemName;
  };
  // What the journal holds for one entry of a list of files: its unfinished
  // multipart upload, or its success.
  struct EntryState {
    Contents contents;
    std::optional<Done> done;
  };
  // Every entry's state, by position (from 1), read in one pass.
  std::map<uint64_t, EntryState> readEntries();
  // The journal of entry `position` of a list, kept in the same file as
  // `list` among the other entries' lines, each line marked with its entry:
  // its upload begins, parts, discards and success are appended, and the
  // last of them counts. Its first read() gives `state`'s contents, read
  // with the others' by readEntries().
  static std::unique_ptr<ResumeJournal> forEntry(ResumeJournal& list, uint64_t position,
                                                 Contents state);
  // Starts the journal anew for `upload`.
  bool begin(const JournalUpload& upload);
  bool recordPart(const JournalPart& part);
  // Empties the journal: the upload ended, or cannot be continued.
  void discard();
  // Removes the file when it holds nothing (at the end of a run).
  void removeIfEmpty();

  // The entry's file arrived whole (`done`).
  bool recordDone(const Done& done);
  const std::string& path() const { return path_; }

 private:
  ResumeJournal(std::shared_ptr<LockedFile> file, std::string path, uint64_t entry = 0)
      : file_(std::move(file)), path_(std::move(path)), entry_(entry) {}

  std::shared_ptr<LockedFile> file_;
  std::string path_;
  uint64_t entry_;  // the list entry; 0: the journal of a single upload
  std::optional<Contents> preloaded_;
};

// The name of the first field in which `journal` differs from `current`;
// empty when they name the same upload. The time of the file's last change
// of any kind is not among them: copying or a change of permissions moves
// it; the parts' hashes speak for the bytes.
std::string firstDifference(const JournalUpload& journal, const JournalUpload& current);

}  // namespace corvane
