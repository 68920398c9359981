#include <lumokit/components/DASettingsStore.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <lumokit/core/Collation.h>
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

TIni ReadIni(const std::string& fileName) {
  TIni ini;
  std::string text;
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return ini;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > (16u << 20)) break;  // not a settings file of ours
  }
  ::close(fd);

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
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/lumokit";
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
  if (home.empty()) home = "/tmp";
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
  TIni ini = ReadIni(FFileName);
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
  MakeFolders(FolderOfFile(FFileName));
  // A file made by someone else with wider rights is narrowed first: the
  // replacement keeps the rights of the file it replaces.
  ::chmod(FFileName.c_str(), 0600);
  ReplaceFileContents(FFileName, WriteIni(ini), 0600);
}

void TIniSettingsStore::DeleteValue(const std::string& key, const std::string& name) {
  std::lock_guard<std::mutex> guard(FLock);
  TIni ini = ReadIni(FFileName);
  TSection* s = FindSection(ini, key);
  if (!s) return;
  const auto before = s->Entries.size();
  std::erase_if(s->Entries, [&](const TEntry& e) { return AnsiSameText(e.Name, name); });
  if (s->Entries.size() == before) return;
  ::chmod(FFileName.c_str(), 0600);
  ReplaceFileContents(FFileName, WriteIni(ini), 0600);
}

IDASettingsStore& DefaultDASettingsStore() {
  static TIniSettingsStore store(TIniSettingsStore::DefaultFolder() + "/settings.ini");
  return store;
}

}  // namespace lumo
