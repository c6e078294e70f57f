#include "settings_store.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "output_place.h"
#include "path_text.h"
#include "program_paths.h"

namespace brannock {

std::string g_strSettingsPath;

namespace {

constexpr size_t kMaxValueLength = 2599;
constexpr size_t kMaxFileSize = 16 << 20;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream stream(text);
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The section named by a header line ("[name]"), or nothing for any other line.
bool SectionHeader(const std::string& line, std::string& name) {
  const std::string trimmed = Trim(line);
  if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return false;
  name = Trim(trimmed.substr(1, trimmed.size() - 2));
  return true;
}

// The key of a "key=value" line; false for comments and lines without '='.
bool KeyOf(const std::string& line, std::string& key) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed[0] == ';') return false;
  const auto equals = line.find('=');
  if (equals == std::string::npos) return false;
  key = Trim(line.substr(0, equals));
  return true;
}

// The file's first kMaxFileSize bytes; `whole` tells whether that was all of it.
std::string ReadWholeFile(const std::string& path, bool& whole) {
  std::ifstream file(path, std::ios::binary);
  std::string text;
  whole = file.is_open();
  if (!whole) return text;
  text.resize(kMaxFileSize + 1);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(file.gcount()));
  if (text.size() > kMaxFileSize) {
    text.resize(kMaxFileSize);
    whole = false;
  }
  return text;
}

}  // namespace

std::string ReadIniValue(const std::string& text, const std::string& section,
                         const std::string& key) {
  bool inSection = false;
  for (const std::string& line : SplitLines(text)) {
    std::string name;
    if (SectionHeader(line, name)) {
      inSection = SameName(name, section);
      continue;
    }
    if (!inSection || !KeyOf(line, name) || !SameName(name, key)) continue;
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    return value.substr(0, kMaxValueLength);
  }
  return {};
}

std::string WriteIniValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value) {
  std::vector<std::string> lines = SplitLines(text);
  const std::string entry = key + "=" + value;
  bool inSection = false, found = false;
  size_t lastOfSection = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (SectionHeader(lines[i], name)) {
      if (inSection) break;
      inSection = SameName(name, section);
      if (inSection) {
        found = true;
        lastOfSection = i;
      }
      continue;
    }
    if (!inSection) continue;
    if (KeyOf(lines[i], name) && SameName(name, key)) {
      lines[i] = entry;
      return [&] {
        std::string out;
        for (const std::string& line : lines) out += line + "\r\n";
        return out;
      }();
    }
    if (!Trim(lines[i]).empty()) lastOfSection = i;
  }
  if (found) {
    lines.insert(lines.begin() + static_cast<long>(lastOfSection) + 1, entry);
  } else {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\r\n";
  return out;
}

std::string ReadSetting(const std::string& key, const std::string& fallback) {
  bool exists = false;
  const std::string value =
      ReadIniValue(ReadWholeFile(g_strSettingsPath, exists), kSettingsSection, key);
  return value.empty() ? fallback : value;
}

namespace {

// Holds an exclusive lock on a file beside settings.ini while it is read, changed and
// renamed, so that two instances writing at once do not undo each other's keys.
class SettingsLock {
 public:
  explicit SettingsLock(const std::string& settings)
      : fd_(open((settings + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644)) {
    if (fd_ >= 0) flock(fd_, LOCK_EX);
  }
  ~SettingsLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  SettingsLock(const SettingsLock&) = delete;
  SettingsLock& operator=(const SettingsLock&) = delete;

 private:
  int fd_;
};

}  // namespace

void WriteSetting(const std::string& key, const std::string& value) {
  if (g_strSettingsPath.empty()) g_strSettingsPath = SettingsFilePath();
  if (g_strSettingsPath.empty()) return;
  // A link is written through: the file it names is replaced and the link stays.
  std::string target;
  if (ResolveOutputPlace(g_strSettingsPath, target) != 0) return;
  const SettingsLock lock(target);
  struct stat info;
  const bool exists = stat(target.c_str(), &info) == 0;
  // A file without write permission stays as it is, for root too.
  if (exists && (!S_ISREG(info.st_mode) || (info.st_mode & 0222) == 0)) return;
  // A file that cannot be read whole is not rewritten: that would cut it short.
  bool whole = false;
  const std::string text =
      WriteIniValue(ReadWholeFile(target, whole), kSettingsSection, key, value);
  if (exists && !whole) return;

  const size_t slash = target.rfind('/');
  std::string partial = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                        ".settings-XXXXXX";
  const int fd = mkostemp(partial.data(), O_CLOEXEC);
  if (fd < 0) return;
  fchmod(fd, exists ? info.st_mode & 07777 : 0644);
  bool written = true;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    written = put > 0;
    if (written) done += static_cast<size_t>(put);
  }
  written = fsync(fd) == 0 && written;
  written = close(fd) == 0 && written;
  if (!written || rename(partial.c_str(), target.c_str()) != 0) unlink(partial.c_str());
}

}  // namespace brannock
