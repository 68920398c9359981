#include <lumokit/components/DASettingsStore.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <lumokit/core/Collation.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>

namespace lumo {

namespace {

// %XX for control bytes, "%", DEL and the bytes in `extra`.
std::string Encode(std::string_view text, std::string_view extra) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || c == '%' || extra.find(ch) != std::string_view::npos) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

struct TEntry {
  std::string Name;
  std::string Value;
};
struct TSection {
  std::string Key;
  std::vector<TEntry> Entries;
};
using TIni = std::vector<TSection>;

constexpr std::size_t MaxSettingsFile = 16u << 20;

[[noreturn]] void RefuseFile(const std::string& fileName, const char* why, int errorCode) {
  throw EFOpenError(Format("The settings file \"%s\" %s: it is neither read nor written", {fileName, why}),
                    errorCode);
}

// The text of the settings file; empty when there is none. A link (never
// followed), anything but a regular file, a file above MaxSettingsFile and
// one that cannot be opened are refused: a write would replace them.
// `narrow` makes the file private first, through the descriptor, so that
// its replacement keeps mode 0600.
std::string ReadSettingsText(const std::string& fileName, bool narrow) {
  int fd;
  do {
    fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) return {};
    if (err == ELOOP) RefuseFile(fileName, "is a symbolic link", err);
    throw EFOpenError(Format("Cannot open file \"%s\". %s", {fileName, SysErrorMessage(err)}), err);
  }
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) < 0) RaiseLastOSError("Cannot read file " + fileName);
  if (!S_ISREG(st.st_mode)) RefuseFile(fileName, "is not a regular file", EINVAL);
  if (static_cast<std::uint64_t>(st.st_size) > MaxSettingsFile) RefuseFile(fileName, "is larger than 16 MiB", EFBIG);
  if (narrow) ::fchmod(fd, 0600);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) RaiseLastOSError("Cannot read file " + fileName);
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > MaxSettingsFile) RefuseFile(fileName, "is larger than 16 MiB", EFBIG);  // it grew
  }
  return text;
}

TIni ReadIni(const std::string& fileName, bool narrow = false) {
  TIni ini;
  const std::string text = ReadSettingsText(fileName, narrow);

  TSection* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      ini.push_back({Decode(line.substr(1, line.size() - 2)), {}});
      current = &ini.back();
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos || line.front() == ';' || line.front() == '#') continue;
    current->Entries.push_back({Decode(line.substr(0, eq)), Decode(line.substr(eq + 1))});
  }
  return ini;
}

std::string WriteIni(const TIni& ini) {
  std::string out;
  for (const TSection& s : ini) {
    if (s.Entries.empty()) continue;
    if (!out.empty()) out += '\n';
    out += '[' + Encode(s.Key, "]") + "]\n";
    for (const TEntry& e : s.Entries) out += Encode(e.Name, "=[;#") + '=' + Encode(e.Value, "") + '\n';
  }
  return out;
}

TSection* FindSection(TIni& ini, const std::string& key) {
  for (TSection& s : ini)
    if (AnsiSameText(s.Key, key)) return &s;
  return nullptr;
}

// Makes every missing folder of `path` with mode 0700.
void MakeFolders(const std::string& path) {
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    const std::string part = path.substr(0, i);
    if (::mkdir(part.c_str(), 0700) < 0 && errno != EEXIST) RaiseLastOSError("Cannot create folder " + part);
  }
}

std::string FolderOfFile(const std::string& fileName) {
  const std::size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? std::string(".") : fileName.substr(0, slash);
}

}  // namespace

TIniSettingsStore::TIniSettingsStore(std::string fileName) : FFileName(std::move(fileName)) {}

std::string TIniSettingsStore::DefaultFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return SettingsFolderOf(xdg, "");
  std::string home;
  if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
    home = h;
  } else {
    passwd pw{};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
      home = result->pw_dir;
  }
  return SettingsFolderOf(xdg ? xdg : "", home);
}

std::string TIniSettingsStore::SettingsFolderOf(const std::string& xdgConfigHome, const std::string& home) {
  if (!xdgConfigHome.empty() && xdgConfigHome[0] == '/') return xdgConfigHome + "/lumokit";
  // A shared folder such as /tmp is never a stand-in: others could read the
  // file or put a link in its place.
  if (home.empty() || home[0] != '/')
    throw EFOpenError("No home folder to keep the login settings in: set HOME or XDG_CONFIG_HOME", ENOENT);
  return home + "/.config/lumokit";
}

bool TIniSettingsStore::ReadString(const std::string& key, const std::string& name, std::string& value) {
  std::lock_guard<std::mutex> guard(FLock);
  TIni ini = ReadIni(FFileName);
  if (TSection* s = FindSection(ini, key)) {
    for (const TEntry& e : s->Entries) {
      if (AnsiSameText(e.Name, name)) {
        value = e.Value;
        return true;
      }
    }
  }
  return false;
}

void TIniSettingsStore::WriteString(const std::string& key, const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> guard(FLock);
  MakeFolders(FolderOfFile(FFileName));
  TIni ini = ReadIni(FFileName, true);
  TSection* s = FindSection(ini, key);
  if (!s) {
    ini.push_back({key, {}});
    s = &ini.back();
  }
  bool found = false;
  for (TEntry& e : s->Entries) {
    if (AnsiSameText(e.Name, name)) {
      e.Value = value;
      found = true;
      break;
    }
  }
  if (!found) s->Entries.push_back({name, value});
  ReplaceFileContents(FFileName, WriteIni(ini), 0600);
}

void TIniSettingsStore::DeleteValue(const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> guard(FLock);
  TIni ini = ReadIni(FFileName, true);
  TSection* s = FindSection(ini, key);
  if (!s) return;
  const auto before = s->Entries.size();
  std::erase_if(s->Entries, [&](const TEntry& e) { return AnsiSameText(e.Name, name); });
  if (s->Entries.size() == before) return;
  ReplaceFileContents(FFileName, WriteIni(ini), 0600);
}

IDASettingsStore& DefaultDASettingsStore() {
  static TIniSettingsStore store(TIniSettingsStore::DefaultFolder() + "/settings.ini");
  return store;
}

}  // namespace lumo
