// The profile-file (INI) layer under QLN.ini.
//
// It keeps the behaviour the configuration store relies on: section and key names match
// regardless of case, a missing file, section or key reads as an empty text, values are cut to
// 63 characters, and a write replaces one key's value (creating file, section and key as needed)
// while every other line stays as it was. Files with LF or CRLF line ends (and a UTF-8
// byte-order mark) are read; a rewrite keeps the file's own line-end style.
//
// Beyond that: a write never leaves a torn file (temporary file in the same directory, flushed,
// then renamed over the original), write failures are returned to the caller, and a parse is
// reused while the file on disk is unchanged (device, inode, size, modification time). A write
// does not replace a file that changed after it was read (an editor saving in place): it reads
// the file again and applies its keys to the new text.
//
// A parse holds the file's bytes once, the start of each line, and one flat hash index from
// section and (section, key) to their first line, so a large file costs little more memory than
// its size; a write splices its new lines into a copy of the bytes without parsing them, and the
// result is indexed when it is next read.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace qln {

// Longest value text a read returns; longer values are cut to their first 63 characters.
inline constexpr std::size_t kMaxValueLength = 63;
// Largest file the layer reads; a larger one is treated as unreadable and never rewritten.
inline constexpr std::size_t kMaxProfileFileSize = std::size_t{1} << 30;

// One key to set in a section.
struct ProfileAssignment {
  std::string_view section;
  std::string_view key;
  std::string_view value;
};

// One key of a parse, as the file has it.
struct ProfileEntry {
  std::string section;
  std::string key;
  std::string value;  // whole, not cut
};

// One parse of the file. Immutable once handed out, so it can be shared between threads.
class ProfileSnapshot {
 public:
  // The value of key in section, cut to kMaxValueLength characters; empty when the section or
  // the key is missing. Names match regardless of case; the first occurrence wins.
  std::string Read(std::string_view section, std::string_view key) const;
  // Same as Read, without the cut (for the rare reader that allows more room).
  std::string ReadWhole(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  // Whether this is the parse of a file that was there (false: missing or unreadable).
  bool Exists() const { return exists_; }
  // Every key that a read finds, in the file's order: the first occurrence of each section and
  // of each key in it.
  std::vector<ProfileEntry> Entries() const;
  // Counts the parses of one ProfileFile: a parse with another number is of another state of
  // the file on disk (changed by hand, by a write, or gone).
  uint64_t Generation() const { return generation_; }

 private:
  friend class ProfileFile;
  // A slot of the index: a section's header line (owner kHeader), or a key line and the header
  // line of the section it belongs to.
  struct Slot {
    uint32_t line;
    uint32_t owner;
    uint32_t hash;
  };
  static constexpr uint32_t kNone = UINT32_MAX;
  static constexpr uint32_t kHeader = UINT32_MAX;

  std::size_t LineCount() const { return lineStarts_.empty() ? 0 : lineStarts_.size() - 1; }
  // The line's text without its line end, and the offset just past its line end.
  std::string_view LineText(std::size_t line) const;
  void Index();
  std::size_t Home(uint32_t hash) const;
  uint32_t Lookup(uint32_t owner, std::string_view name, uint32_t hash) const;
  void Insert(uint32_t line, uint32_t owner, uint32_t hash);
  uint32_t FindHeader(std::string_view section) const;
  uint32_t FindKey(uint32_t header, std::string_view key) const;
  uint32_t LastKeyLine(uint32_t header) const;
  std::string_view Find(std::string_view section, std::string_view key, bool* found) const;

  std::string content_;               // the file's bytes, byte-order mark included
  std::vector<uint32_t> lineStarts_;  // offset of each line, then the end of the content
  std::vector<Slot> slots_;           // open addressing; empty until indexed
  std::string_view lineEnd_ = "\n";   // line end of lines added by a write
  std::size_t bodyStart_ = 0;         // past the byte-order mark
  bool exists_ = false;
  bool indexed_ = false;
  uint64_t generation_ = 0;
};

class ProfileFile {
 public:
  explicit ProfileFile(std::filesystem::path path);

  const std::filesystem::path& Path() const { return path_; }

  // The parse of the file as it is on disk now. A missing or unreadable file gives an empty
  // snapshot (Exists() false). The file is parsed again only when it changed since the last call.
  std::shared_ptr<const ProfileSnapshot> Snapshot();

  // A slow or busy disk, played by tests and benchmarks: called before every read of a changed
  // file and before every replacement of it. The programs never set it.
  enum class DiskOperation : uint8_t { Read, Write };
  void SetDiskHook(std::function<void(DiskOperation)> hook) {
    std::lock_guard lock(mutex_);  // the hook runs under this lock
    diskHook_ = std::move(hook);
  }

  // Sets the given keys in one atomic replacement of the file. A failure says what went wrong
  // ("cannot write <path>: <reason>"); the file on disk is then left as it was.
  //
  // When the file is missing, the new file is based on the last parse of the file that was
  // there (so its other sections, keys and comments are not lost), with restore applied first,
  // each key only where its text differs from what that parse reads; restore is ignored while
  // the file is there.
  Result<> Write(std::span<const ProfileAssignment> assignments,
                 std::span<const ProfileAssignment> restore = {});
  Result<> Write(std::string_view section, std::string_view key, std::string_view value);

  // Removes the temporary files that writes killed before their rename left behind: the names
  // ".<file name>.XXXXXX" in the file's directory whose lock no live writer holds (a write locks
  // its temporary file until it has been renamed). Returns how many were removed.
  std::size_t RemoveStaleTemporaries();

  // How often a write reads the file again when it changed while the write was made; then the
  // write fails (and the caller keeps its keys pending).
  static constexpr int kWriteAttempts = 4;

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    bool exists = false;
    bool operator==(const Identity&) const = default;
  };
  static Identity IdentityOf(const struct stat& st);
  static Identity Stat(const std::filesystem::path& path);
  static std::shared_ptr<ProfileSnapshot> Parse(std::string content);
  // The file a write replaces: a symbolic link stays a link, the file it points to is replaced.
  std::filesystem::path Target() const;
  // The content of base with restore (where it differs) and assignments applied, into out;
  // linesKept tells whether only values of existing keys changed (every line stays where it
  // was). Fails when a name cannot be written (what is wrong with it).
  static Result<> Compose(const ProfileSnapshot& base, std::span<const ProfileAssignment> restore,
                          std::span<const ProfileAssignment> assignments, std::string& out,
                          bool& linesKept);
  // The current parse, read again when the file changed, indexed. Called with mutex_ held.
  std::shared_ptr<ProfileSnapshot> Load();
  // Waits (bounded) until the file's identity holds still across two looks a few milliseconds
  // apart: an editor saving in place truncates and writes in several steps.
  void Settle() const;
  // Replaces the file by content through a temporary file, unless the file is no longer the one
  // whose identity is expected (the failure then sets changed). Returns the identity of the new
  // file.
  Result<Identity> Replace(const std::string& content, const Identity& expected, bool& changed);
  Failure WriteFailure(std::string_view reason) const;

  std::filesystem::path path_;
  std::function<void(DiskOperation)> diskHook_;
  std::mutex mutex_;  // guards the cache below; readers on several threads may share a store
  Identity cachedIdentity_;
  std::shared_ptr<ProfileSnapshot> cached_;
  // The last parse of the file while it was there: the base of a write while it is missing.
  std::shared_ptr<ProfileSnapshot> lastExisting_;
  uint64_t generations_ = 0;  // the generation of the newest parse
};

}  // namespace qln
