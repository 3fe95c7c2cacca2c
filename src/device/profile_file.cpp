#include "device/profile_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace qln {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

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

std::string KeyLine(std::string_view key, std::string_view value) {
  return std::string(key).append("=").append(value);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

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

std::size_t ProfileSnapshot::NameHash::operator()(std::string_view name) const {
  std::size_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : name) hash = (hash ^ LowerAscii(c)) * 1099511628211ull;
  return hash;
}

bool ProfileSnapshot::NameEqual::operator()(std::string_view a, std::string_view b) const {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

const std::string* ProfileSnapshot::Find(std::string_view section, std::string_view key) const {
  const auto s = sections_.find(section);
  if (s == sections_.end()) return nullptr;
  const auto k = s->second.keys.find(key);
  if (k == s->second.keys.end()) return nullptr;
  return &lines_[k->second].value;
}

std::string ProfileSnapshot::Read(std::string_view section, std::string_view key) const {
  const std::string* value = Find(section, key);
  if (value == nullptr) return {};
  return value->substr(0, kMaxValueLength);
}

std::string ProfileSnapshot::ReadWhole(std::string_view section, std::string_view key) const {
  const std::string* value = Find(section, key);
  return value == nullptr ? std::string() : *value;
}

bool ProfileSnapshot::HasSection(std::string_view section) const {
  return sections_.contains(section);
}

// A header is "[name]" (anything after the ']' is ignored); a key line is "key=value" with a
// non-empty key; everything else (comments, blank lines, junk) is kept but never read.
ProfileSnapshot::Line ProfileSnapshot::MakeLine(std::string_view text, std::string_view end) {
  Line line;
  line.text = text;
  line.end = end;
  const std::string_view content = Trim(text);
  if (content.empty() || content.front() == ';' || content.front() == '#') return line;
  if (content.front() == '[') {
    const std::size_t close = content.find(']');
    if (close != std::string_view::npos) {
      line.isSection = true;
      line.section = Trim(content.substr(1, close - 1));
    }
    return line;
  }
  const std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) return line;
  const std::string_view key = Trim(content.substr(0, equals));
  if (key.empty()) return line;
  line.isKey = true;
  line.key = key;
  line.value = Trim(content.substr(equals + 1));
  return line;
}

// Key lines before the first header, and every line of a repeated section, are not indexed: the
// first occurrence of a section and of a key is the one that counts.
void ProfileSnapshot::BuildIndex() {
  SectionIndex* current = nullptr;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.isSection) {
      const auto [it, inserted] = sections_.try_emplace(line.section);
      current = inserted ? &it->second : nullptr;
      if (current != nullptr) current->headerLine = current->lastKeyLine = i;
    } else if (line.isKey && current != nullptr) {
      current->keys.try_emplace(line.key, i);
      current->lastKeyLine = i;
    }
  }
}

// A line added after a last line that has no proper line end gives that line one, and takes
// over what it had, so the file keeps ending the way it did.
void ProfileSnapshot::InsertLine(std::size_t position, std::string_view text) {
  std::string_view end = lineEnd_;
  if (position == lines_.size() && !lines_.empty() && !lines_.back().end.ends_with('\n')) {
    end = std::exchange(lines_.back().end, lineEnd_);
  }
  for (auto& [name, section] : sections_) {
    if (section.headerLine >= position) ++section.headerLine;
    if (section.lastKeyLine >= position) ++section.lastKeyLine;
    for (auto& [key, line] : section.keys) {
      if (line >= position) ++line;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(position), MakeLine(text, end));
}

std::string ProfileSnapshot::Apply(const ProfileAssignment& assignment) {
  const std::string_view sectionName = Trim(assignment.section);
  const std::string_view keyName = Trim(assignment.key);
  // Names that would not read back as the same section and key (or would break the file into
  // extra lines) are refused rather than written.
  if (sectionName.find_first_of("]\r\n") != std::string_view::npos) {
    return std::string("invalid section name \"").append(assignment.section).append("\"");
  }
  if (keyName.empty() || keyName.find_first_of("=\r\n") != std::string_view::npos ||
      keyName.front() == '[' || keyName.front() == ';' || keyName.front() == '#') {
    return std::string("invalid key name \"").append(assignment.key).append("\"");
  }
  // A value cannot span lines: a line break in it would let the rest of the text become keys or
  // sections of its own. Keep what a read would have given: the text before the break.
  const std::string_view value =
      assignment.value.substr(0, assignment.value.find_first_of("\r\n"));

  auto section = sections_.find(sectionName);
  if (section == sections_.end()) {
    if (!lines_.empty() && !Trim(lines_.back().text).empty()) InsertLine(lines_.size(), "");
    InsertLine(lines_.size(), std::string("[").append(sectionName).append("]"));
    section = sections_.try_emplace(std::string(sectionName)).first;
    section->second.headerLine = section->second.lastKeyLine = lines_.size() - 1;
  }
  SectionIndex& index = section->second;
  if (const auto key = index.keys.find(keyName); key != index.keys.end()) {
    Line& line = lines_[key->second];
    line = MakeLine(KeyLine(line.key, value), line.end);
    return {};
  }
  const std::size_t position = index.lastKeyLine + 1;
  InsertLine(position, KeyLine(keyName, value));
  index.keys.try_emplace(std::string(keyName), position);
  index.lastKeyLine = position;
  return {};
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

std::shared_ptr<ProfileSnapshot> ProfileFile::Parse(std::string_view content) {
  auto snapshot = std::make_shared<ProfileSnapshot>();
  if (content.starts_with(kBom)) {
    snapshot->bom_ = true;
    content.remove_prefix(kBom.size());
  }
  const std::size_t firstBreak = content.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && content[firstBreak - 1] == '\r') {
    snapshot->lineEnd_ = "\r\n";
  }
  while (!content.empty()) {
    const std::size_t lineBreak = content.find('\n');
    std::string_view text = content.substr(0, lineBreak);
    std::string_view end;
    if (lineBreak != std::string_view::npos) {
      end = "\n";
      content.remove_prefix(lineBreak + 1);
    } else {
      content = {};
    }
    if (text.ends_with('\r')) {  // CRLF, or a lone CR ending the file
      text.remove_suffix(1);
      end = end.empty() ? "\r" : "\r\n";
    }
    snapshot->lines_.push_back(ProfileSnapshot::MakeLine(text, end));
  }
  snapshot->BuildIndex();
  return snapshot;
}

std::string ProfileFile::Serialize(const ProfileSnapshot& snapshot) {
  std::size_t size = snapshot.bom_ ? kBom.size() : 0;
  for (const auto& line : snapshot.lines_) size += line.text.size() + line.end.size();
  std::string content;
  content.reserve(size);
  if (snapshot.bom_) content += kBom;
  for (const auto& line : snapshot.lines_) {
    content += line.text;
    content += line.end;
  }
  return content;
}

std::shared_ptr<const ProfileSnapshot> ProfileFile::Load() {
  const Identity identity = Stat(path_);
  if (cached_ != nullptr && identity == cachedIdentity_) return cached_;

  if (diskHook_) diskHook_(DiskOperation::Read);
  cachedIdentity_ = identity;
  cached_ = std::make_shared<const ProfileSnapshot>();
  // Non-blocking so that a FIFO at the path cannot hang the reader; only regular files count.
  FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return cached_;

  // The identity is taken from the open file before reading it: an edit made during the read
  // changes the modification time, so the next call reads the file again.
  std::string content;
  content.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return cached_;
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  cachedIdentity_ = IdentityOf(st);
  cached_ = Parse(content);
  return cached_;
}

std::shared_ptr<const ProfileSnapshot> ProfileFile::Snapshot() {
  std::lock_guard lock(mutex_);
  return Load();
}

std::string ProfileFile::Failure(std::string_view reason) const {
  return std::string("cannot write ").append(path_.string()).append(": ").append(reason);
}

std::string ProfileFile::Replace(const std::string& content, Identity& written) {
  // A symbolic link stays a link: the file it points to is the one replaced.
  std::filesystem::path target = path_;
  std::error_code error;
  if (std::filesystem::is_symlink(path_, error)) {
    if (auto resolved = std::filesystem::canonical(path_, error); !error) target = resolved;
  }

  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  // Checked by mode as well as by access(): for root access() allows everything, yet a file
  // without any write permission is the operator's way of saying "do not change this".
  if (exists && (st.st_mode & 0222) == 0) return Failure("the file is read-only");
  if (exists && ::access(target.c_str(), W_OK) != 0) return Failure(ErrorText(errno));

  std::filesystem::path directory = target.parent_path();
  if (directory.empty()) directory = ".";
  std::string temporary =
      (directory / std::string(".").append(target.filename().string()).append(".XXXXXX")).string();
  FileDescriptor fd(::mkstemp(temporary.data()));
  if (fd.Get() < 0) return Failure(ErrorText(errno));

  const auto fail = [&](int cause) {
    ::unlink(temporary.c_str());
    return Failure(ErrorText(cause));
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
  if (fd.Close() != 0) return fail(errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(errno);
  written = IdentityOf(writtenStat);
  return {};
}

std::string ProfileFile::Write(std::span<const ProfileAssignment> assignments) {
  std::lock_guard lock(mutex_);
  // Based on the file as it is now, so a hand edit made since the last read is kept.
  auto next = std::make_shared<ProfileSnapshot>(*Load());
  for (const ProfileAssignment& assignment : assignments) {
    if (std::string reason = next->Apply(assignment); !reason.empty()) return Failure(reason);
  }
  Identity written;
  if (std::string reason = Replace(Serialize(*next), written); !reason.empty()) return reason;
  cachedIdentity_ = written;
  cached_ = std::move(next);
  return {};
}

std::string ProfileFile::Write(std::string_view section, std::string_view key,
                               std::string_view value) {
  const ProfileAssignment assignment{section, key, value};
  return Write(std::span(&assignment, 1));
}

}  // namespace qln
