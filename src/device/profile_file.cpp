#include "device/profile_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

namespace qln {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// The settle before a changed file is read again: looks this far apart, at most this many.
constexpr auto kSettleStep = std::chrono::milliseconds(5);
constexpr int kSettleLooks = 40;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

unsigned char LowerAscii(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

// Section and key names hash regardless of ASCII case (FNV-1a); a key's hash includes the line
// of its section's header, so one table holds the sections and the keys of all of them.
uint32_t NameHash(std::string_view name) {
  uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ LowerAscii(c)) * 16777619u;
  return hash;
}

uint32_t KeyHash(uint32_t header, std::string_view key) {
  uint32_t hash = NameHash(key) ^ (header * 0x9E3779B1u);
  hash ^= hash >> 15;
  hash *= 0x2C1B3C6Du;
  return hash ^ (hash >> 12);
}

enum class LineKind : uint8_t { Other, Header, Key };

struct LineParse {
  LineKind kind = LineKind::Other;
  std::string_view name;   // the section's name or the key, trimmed
  std::string_view value;  // a key line's value, trimmed
};

// A header is "[name]" (anything after the ']' is ignored); a key line is "key=value" with a
// non-empty key; everything else (comments, blank lines, junk) is kept but never read.
LineParse ParseLine(std::string_view text) {
  const std::string_view content = Trim(text);
  if (content.empty() || content.front() == ';' || content.front() == '#') return {};
  if (content.front() == '[') {
    const std::size_t close = content.find(']');
    if (close == std::string_view::npos) return {};
    return {LineKind::Header, Trim(content.substr(1, close - 1)), {}};
  }
  const std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) return {};
  const std::string_view key = Trim(content.substr(0, equals));
  if (key.empty()) return {};
  return {LineKind::Key, key, Trim(content.substr(equals + 1))};
}

// Names that would not read back as the same section and key (or would break the file into
// extra lines) are refused rather than written: the failure says which.
Result<> CheckNames(const ProfileAssignment& assignment) {
  const std::string_view section = Trim(assignment.section);
  const std::string_view key = Trim(assignment.key);
  if (section.find_first_of("]\r\n") != std::string_view::npos) {
    return Failure{std::string("invalid section name \"").append(assignment.section).append("\"")};
  }
  if (key.empty() || key.find_first_of("=\r\n") != std::string_view::npos || key.front() == '[' ||
      key.front() == ';' || key.front() == '#') {
    return Failure{std::string("invalid key name \"").append(assignment.key).append("\"")};
  }
  return {};
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

// The temporary files of a write to target are this prefix and six characters (mkstemp's).
std::filesystem::path TemporaryPrefix(const std::filesystem::path& target) {
  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  return directory / std::string(".").append(target.filename().string()).append(".");
}

// Closes a descriptor on every way out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int Get() const { return fd_; }
  // Closes now and reports the result (a failed close can mean lost written data).
  int Close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

}  // namespace

// ---- ProfileSnapshot ----------------------------------------------------------------------

std::string_view ProfileSnapshot::LineText(std::size_t line) const {
  const std::size_t start = lineStarts_[line];
  std::string_view text(content_.data() + start, lineStarts_[line + 1] - start);
  if (text.ends_with('\n')) text.remove_suffix(1);
  if (text.ends_with('\r')) text.remove_suffix(1);  // CRLF, or a lone CR ending the file
  return text;
}

// A hash's first slot: the hash scaled to the table's size (which need not be a power of two).
std::size_t ProfileSnapshot::Home(uint32_t hash) const {
  return static_cast<std::size_t>((static_cast<uint64_t>(hash) * slots_.size()) >> 32);
}

uint32_t ProfileSnapshot::Lookup(uint32_t owner, std::string_view name, uint32_t hash) const {
  for (std::size_t i = Home(hash);; i = i + 1 == slots_.size() ? 0 : i + 1) {
    const Slot& slot = slots_[i];
    if (slot.line == kNone) return kNone;
    if (slot.hash == hash && slot.owner == owner &&
        SameName(ParseLine(LineText(slot.line)).name, name)) {
      return slot.line;
    }
  }
}

void ProfileSnapshot::Insert(uint32_t line, uint32_t owner, uint32_t hash) {
  std::size_t i = Home(hash);
  while (slots_[i].line != kNone) i = i + 1 == slots_.size() ? 0 : i + 1;
  slots_[i] = {line, owner, hash};
}

// Key lines before the first header, and every line of a repeated section, are not indexed: the
// first occurrence of a section and of a key is the one that counts. The table has room for
// every line at a load of at most four fifths, so it never grows.
void ProfileSnapshot::Index() {
  if (indexed_) return;
  indexed_ = true;
  const std::size_t lines = LineCount();
  slots_.assign(lines + lines / 4 + 1, Slot{kNone, 0, 0});
  uint32_t current = kNone;
  for (std::size_t i = 0; i < lines; ++i) {
    const LineParse line = ParseLine(LineText(i));
    const auto index = static_cast<uint32_t>(i);
    if (line.kind == LineKind::Header) {
      const uint32_t hash = NameHash(line.name);
      current = Lookup(kHeader, line.name, hash) == kNone ? index : kNone;
      if (current != kNone) Insert(index, kHeader, hash);
    } else if (line.kind == LineKind::Key && current != kNone) {
      const uint32_t hash = KeyHash(current, line.name);
      if (Lookup(current, line.name, hash) == kNone) Insert(index, current, hash);
    }
  }
}

// The names asked for are trimmed as the file's names are, and as a write trims them: a key
// written as "k " reads back as "k ".
uint32_t ProfileSnapshot::FindHeader(std::string_view section) const {
  section = Trim(section);
  return Lookup(kHeader, section, NameHash(section));
}

uint32_t ProfileSnapshot::FindKey(uint32_t header, std::string_view key) const {
  key = Trim(key);
  return Lookup(header, key, KeyHash(header, key));
}

// The section's last key line before the next header (or its header when it has no keys).
uint32_t ProfileSnapshot::LastKeyLine(uint32_t header) const {
  uint32_t last = header;
  for (std::size_t i = header + 1; i < LineCount(); ++i) {
    const LineKind kind = ParseLine(LineText(i)).kind;
    if (kind == LineKind::Header) break;
    if (kind == LineKind::Key) last = static_cast<uint32_t>(i);
  }
  return last;
}

std::string_view ProfileSnapshot::Find(std::string_view section, std::string_view key,
                                       bool* found) const {
  const uint32_t header = FindHeader(section);
  const uint32_t line = header == kNone ? kNone : FindKey(header, key);
  *found = line != kNone;
  return *found ? ParseLine(LineText(line)).value : std::string_view();
}

std::string ProfileSnapshot::Read(std::string_view section, std::string_view key) const {
  bool found = false;
  return std::string(Find(section, key, &found).substr(0, kMaxValueLength));
}

std::string ProfileSnapshot::ReadWhole(std::string_view section, std::string_view key) const {
  bool found = false;
  return std::string(Find(section, key, &found));
}

bool ProfileSnapshot::HasSection(std::string_view section) const {
  return FindHeader(section) != kNone;
}

std::vector<ProfileEntry> ProfileSnapshot::Entries() const {
  std::vector<ProfileEntry> entries;
  uint32_t header = kNone;  // of the section the lines belong to; kNone where none counts
  std::string_view section;
  for (std::size_t i = 0; i < LineCount(); ++i) {
    const LineParse line = ParseLine(LineText(i));
    const auto index = static_cast<uint32_t>(i);
    if (line.kind == LineKind::Header) {
      header = FindHeader(line.name) == index ? index : kNone;
      section = line.name;
    } else if (line.kind == LineKind::Key && header != kNone &&
               FindKey(header, line.name) == index) {
      entries.push_back({std::string(section), std::string(line.name), std::string(line.value)});
    }
  }
  return entries;
}

// ---- ProfileFile --------------------------------------------------------------------------

ProfileFile::ProfileFile(std::filesystem::path path) : path_(std::move(path)) {}

ProfileFile::Identity ProfileFile::IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size,
          static_cast<long long>(st.st_mtim.tv_sec) * 1'000'000'000LL + st.st_mtim.tv_nsec, true};
}

ProfileFile::Identity ProfileFile::Stat(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return IdentityOf(st);
}

// Splits the content into lines; the index is built when the parse is first read.
std::shared_ptr<ProfileSnapshot> ProfileFile::Parse(std::string content) {
  auto snapshot = std::make_shared<ProfileSnapshot>();
  snapshot->exists_ = true;
  snapshot->content_ = std::move(content);
  const std::string_view all = snapshot->content_;
  if (all.starts_with(kBom)) snapshot->bodyStart_ = kBom.size();
  const std::string_view body = all.substr(snapshot->bodyStart_);
  const std::size_t firstBreak = body.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && body[firstBreak - 1] == '\r') {
    snapshot->lineEnd_ = "\r\n";
  }
  auto& starts = snapshot->lineStarts_;
  starts.reserve(static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n')) + 2);
  for (std::size_t position = snapshot->bodyStart_; position < all.size();) {
    starts.push_back(static_cast<uint32_t>(position));
    const std::size_t lineBreak = all.find('\n', position);
    position = lineBreak == std::string_view::npos ? all.size() : lineBreak + 1;
  }
  starts.push_back(static_cast<uint32_t>(all.size()));
  return snapshot;
}

// The changes are collected first (a key's replacement, or the keys added to a section, the last
// assignment of a key winning), then the new content is the old with them spliced in, in one
// pass: keys added to a section follow its last key, new sections follow the end of the file.
Result<> ProfileFile::Compose(const ProfileSnapshot& base,
                              std::span<const ProfileAssignment> restore,
                              std::span<const ProfileAssignment> assignments, std::string& out,
                              bool& linesKept) {
  constexpr uint32_t kNone = ProfileSnapshot::kNone;
  struct Replacement {
    uint32_t line;
    std::string_view key;  // as it stands in the file
    std::string_view value;
  };
  struct NewKey {
    std::string_view key;
    std::string_view value;
  };
  struct Addition {
    uint32_t header;  // kNone for a new section
    std::string_view section;
    std::vector<NewKey> keys;
  };
  std::vector<Replacement> replacements;
  std::vector<Addition> additions;
  std::size_t extra = 0;
  const auto set = [&](const ProfileAssignment& assignment) {
    const std::string_view section = Trim(assignment.section);
    const std::string_view key = Trim(assignment.key);
    // A value cannot span lines: a line break in it would let the rest of the text become keys
    // or sections of their own. Keep what a read would have given: the text before the break.
    const std::string_view value =
        assignment.value.substr(0, assignment.value.find_first_of("\r\n"));
    extra += section.size() + key.size() + value.size() + 8;
    const uint32_t header = base.FindHeader(section);
    if (const uint32_t line = header == kNone ? kNone : base.FindKey(header, key); line != kNone) {
      const auto same = std::find_if(replacements.begin(), replacements.end(),
                                     [&](const Replacement& r) { return r.line == line; });
      if (same != replacements.end()) {
        same->value = value;
      } else {
        replacements.push_back({line, ParseLine(base.LineText(line)).name, value});
      }
      return;
    }
    auto addition = std::find_if(additions.begin(), additions.end(), [&](const Addition& a) {
      return header != kNone ? a.header == header
                             : a.header == kNone && SameName(a.section, section);
    });
    if (addition == additions.end()) {
      addition = additions.insert(additions.end(), {header, section, {}});
    }
    const auto same = std::find_if(addition->keys.begin(), addition->keys.end(),
                                   [&](const NewKey& k) { return SameName(k.key, key); });
    if (same != addition->keys.end()) {
      same->value = value;
    } else {
      addition->keys.push_back({key, value});
    }
  };
  for (const ProfileAssignment& assignment : restore) {
    if (Result<> names = CheckNames(assignment); !names) return names;
    if (base.Read(assignment.section, assignment.key) != assignment.value) set(assignment);
  }
  for (const ProfileAssignment& assignment : assignments) {
    if (Result<> names = CheckNames(assignment); !names) return names;
    set(assignment);
  }

  linesKept = additions.empty();

  // The splices in the file's order; keys added to a section that ends the file join the tail.
  struct Splice {
    std::size_t position;
    std::size_t removed;
    const Replacement* replacement;
    const Addition* addition;
  };
  const std::string_view content = base.content_;
  std::vector<Splice> splices;
  std::vector<const Addition*> tail;
  for (const Replacement& r : replacements) {
    splices.push_back({base.lineStarts_[r.line], base.LineText(r.line).size(), &r, nullptr});
  }
  for (const Addition& a : additions) {
    if (a.header == kNone) continue;
    const std::size_t position = base.lineStarts_[base.LastKeyLine(a.header) + 1];
    if (position == content.size()) {
      tail.push_back(&a);
    } else {
      splices.push_back({position, 0, nullptr, &a});
    }
  }
  std::sort(splices.begin(), splices.end(),
            [](const Splice& a, const Splice& b) { return a.position < b.position; });

  const std::string_view lineEnd = base.lineEnd_;
  const auto appendKey = [&](std::string_view key, std::string_view value) {
    out.append(key).append("=").append(value);
  };
  const auto appendKeyLines = [&](const std::vector<NewKey>& keys) {
    for (const NewKey& k : keys) appendKey(k.key, k.value), out.append(lineEnd);
  };
  out.clear();
  out.reserve(content.size() + extra);
  std::size_t cursor = 0;
  for (const Splice& splice : splices) {
    out.append(content.substr(cursor, splice.position - cursor));
    if (splice.replacement != nullptr) {
      appendKey(splice.replacement->key, splice.replacement->value);
    } else {
      appendKeyLines(splice.addition->keys);
    }
    cursor = splice.position + splice.removed;
  }
  out.append(content.substr(cursor));

  // The tail: keys of the section that ends the file, then the new sections, each after a blank
  // line unless one is there. A file whose last line had no line end keeps ending that way.
  const bool hasNewSections = std::any_of(additions.begin(), additions.end(),
                                          [](const Addition& a) { return a.header == kNone; });
  if (tail.empty() && !hasNewSections) return {};
  const bool open = base.LineCount() > 0 && !out.ends_with('\n');
  const std::string_view trailing = open && out.ends_with('\r') ? "\r" : "";
  if (open) out.resize(out.size() - trailing.size()), out.append(lineEnd);
  bool lastBlank = base.LineCount() == 0 || Trim(base.LineText(base.LineCount() - 1)).empty();
  for (const Addition* a : tail) {
    appendKeyLines(a->keys);
    lastBlank = false;
  }
  for (const Addition& a : additions) {
    if (a.header != kNone) continue;
    if (!lastBlank) out.append(lineEnd);
    out.append("[").append(a.section).append("]").append(lineEnd);
    appendKeyLines(a.keys);
    lastBlank = false;
  }
  if (open) out.resize(out.size() - lineEnd.size()), out.append(trailing);
  return {};
}

std::shared_ptr<ProfileSnapshot> ProfileFile::Load() {
  const Identity identity = Stat(path_);
  if (cached_ != nullptr && identity == cachedIdentity_) {
    cached_->Index();
    return cached_;
  }

  if (diskHook_) diskHook_(DiskOperation::Read);
  cachedIdentity_ = identity;
  cached_ = std::make_shared<ProfileSnapshot>();
  cached_->generation_ = ++generations_;
  cached_->Index();
  // Non-blocking so that a FIFO at the path cannot hang the reader; only regular files count.
  FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > kMaxProfileFileSize) {
    return cached_;
  }
  lastExisting_.reset();  // the file is there: its earlier parse need not stay in memory

  // The identity is taken from the open file before reading it: an edit made during the read
  // changes the modification time, so the next call reads the file again.
  std::string content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || content.size() + static_cast<std::size_t>(n) > kMaxProfileFileSize) {
      return cached_;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  cachedIdentity_ = IdentityOf(st);
  cached_ = Parse(std::move(content));
  cached_->generation_ = ++generations_;
  cached_->Index();
  lastExisting_ = cached_;
  return cached_;
}

std::shared_ptr<const ProfileSnapshot> ProfileFile::Snapshot() {
  std::lock_guard lock(mutex_);
  return Load();
}

Failure ProfileFile::WriteFailure(std::string_view reason) const {
  return {std::string("cannot write ").append(path_.string()).append(": ").append(reason)};
}

void ProfileFile::Settle() const {
  Identity last = Stat(path_);
  for (int look = 0; look < kSettleLooks; ++look) {
    std::this_thread::sleep_for(kSettleStep);
    const Identity now = Stat(path_);
    if (now == last) return;
    last = now;
  }
}

Result<ProfileFile::Identity> ProfileFile::Replace(const std::string& content,
                                                   const Identity& expected, bool& changed) {
  const std::filesystem::path target = Target();

  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Checked by mode as well as by access(): for root access() allows everything, yet a file
  // without any write permission is the operator's way of saying "do not change this".
  if (exists && (st.st_mode & 0222) == 0) return WriteFailure("the file is read-only");
  // A file too large to be read is never replaced by what this layer made of it.
  if (exists && static_cast<std::size_t>(st.st_size) > kMaxProfileFileSize) {
    return WriteFailure("the file is too large");
  }
  if (exists && ::access(target.c_str(), W_OK) != 0) return WriteFailure(ErrorText(errno));

  std::string temporary = TemporaryPrefix(target).string().append("XXXXXX");
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (fd.Get() < 0) return WriteFailure(ErrorText(errno));
  // Locked until it has been renamed, so that a starting program does not take it for one left
  // by a killed writer (best effort: where locks are not offered, such files are left alone).
  ::flock(fd.Get(), LOCK_EX | LOCK_NB);

  const auto fail = [&](int cause) {
    ::unlink(temporary.c_str());
    return WriteFailure(ErrorText(cause));
  };
  if (exists && ::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
    // Best effort: only root may hand the file to another owner; the writer then keeps it.
  }
  if (::fchmod(fd.Get(), exists ? (st.st_mode & 07777) : 0644) != 0) return fail(errno);
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t n = ::write(fd.Get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    done += static_cast<std::size_t>(n);
  }
  if (diskHook_) diskHook_(DiskOperation::Write);
  if (::fdatasync(fd.Get()) != 0) return fail(errno);
  // The rename keeps inode, size and modification time, so this is the identity the file will
  // have; taken here, a hand edit right after the rename cannot be mistaken for our content.
  struct stat writtenStat {};
  if (::fstat(fd.Get(), &writtenStat) != 0) return fail(errno);
  // The content is based on the file as it was read; if the file changed since (an edit saved
  // in place, or by rename), the rename would throw that edit away.
  if (!(Stat(path_) == expected)) {
    changed = true;
    ::unlink(temporary.c_str());
    return WriteFailure("the file kept changing while it was written");
  }
  // Renamed while still open and locked; fdatasync has reported any failure to write.
  if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(errno);
  return IdentityOf(writtenStat);
}

std::filesystem::path ProfileFile::Target() const {
  std::error_code error;
  if (std::filesystem::is_symlink(path_, error)) {
    if (auto resolved = std::filesystem::canonical(path_, error); !error) return resolved;
  }
  return path_;
}

std::size_t ProfileFile::RemoveStaleTemporaries() {
  std::lock_guard lock(mutex_);
  const std::filesystem::path prefix = TemporaryPrefix(Target());
  const std::string start = prefix.filename().string();
  const auto isTemporaryName = [&](const std::string& name) {
    return name.size() == start.size() + 6 && name.starts_with(start) &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(start.size()), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
  };
  std::size_t removed = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(prefix.parent_path(), error)) {
    if (!isTemporaryName(entry.path().filename().string())) continue;
    // Only a regular file (not a link) whose lock can be taken, and still the file at that name
    // when it is removed.
    FileDescriptor fd(::open(entry.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    struct stat named {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::lstat(entry.path().c_str(), &named) != 0 ||
        named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
      continue;
    }
    if (::unlink(entry.path().c_str()) == 0) ++removed;
  }
  return removed;
}

Result<> ProfileFile::Write(std::span<const ProfileAssignment> assignments,
                            std::span<const ProfileAssignment> restore) {
  std::lock_guard lock(mutex_);
  Result<> failure;
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    // Based on the file as it is now, so a hand edit made since the last read is kept; when it
    // is missing, on the file as it was last seen.
    if (attempt > 0) Settle();
    std::shared_ptr<ProfileSnapshot> base = Load();
    const Identity expected = cachedIdentity_;
    std::span<const ProfileAssignment> baseRestore = restore;
    if (!base->Exists() && lastExisting_ != nullptr) {
      base = lastExisting_;
      base->Index();
    } else if (base->Exists()) {
      baseRestore = {};
    }
    std::string content;
    bool linesKept = false;
    if (Result<> composed = Compose(*base, baseRestore, assignments, content, linesKept);
        !composed) {
      return WriteFailure(composed.error());
    }
    bool changed = false;
    Result<Identity> written = Replace(content, expected, changed);
    if (!written) {
      failure = Failure{written.error()};
      if (changed) continue;
      return failure;
    }
    auto next = Parse(std::move(content));
    // When only values changed, every section and key is on the line it was on: the index of
    // the base serves the new content as it is, and a large file is not indexed again.
    if (linesKept && next->LineCount() == base->LineCount()) {
      next->slots_ = base->slots_;
      next->indexed_ = true;
    }
    base.reset();
    cachedIdentity_ = *written;
    next->generation_ = ++generations_;
    cached_ = next;
    lastExisting_ = std::move(next);
    return {};
  }
  return failure;
}

Result<> ProfileFile::Write(std::string_view section, std::string_view key,
                            std::string_view value) {
  const ProfileAssignment assignment{section, key, value};
  return Write(std::span(&assignment, 1));
}

}  // namespace qln
