// Where the login dialog remembers what the user typed (user name, server
// and the server history): IDASettingsStore is a small store of named
// string values grouped under keys, and TIniSettingsStore its default, an
// INI file of the current user under $XDG_CONFIG_HOME/lumokit/ (or
// ~/.config/lumokit/).
//
// Decisions:
// - One INI section per key ("[Connect\MyApp]"), one "name=value" line per
//   value. Bytes below 0x20, "%" and DEL are written as %XX, and so are "="
//   in names and "]" in keys, so any text reads back exactly. Lines that
//   are not a section or a pair are skipped when reading.
// - Every write reads the file, changes it and replaces it (temporary file
//   in the same folder, then rename), with mode 0600 whether the file is
//   new or not (an existing file is narrowed through its descriptor, never
//   by its path); the folder is made with mode 0700. A missing file reads
//   as empty.
// - The file is never followed or cut: a symbolic link, anything but a
//   regular file, a file above 16 MiB and one that cannot be opened are
//   refused with EFOpenError on reads and writes alike ("The settings file
//   "<name>" is a symbolic link: it is neither read nor written", "... is
//   not a regular file ...", "... is larger than 16 MiB ...", or "Cannot
//   open file ..."), as a write would replace what it could not read.
// - Without $XDG_CONFIG_HOME and a home folder there is no default folder
//   (EFOpenError "No home folder to keep the login settings in: set HOME or
//   XDG_CONFIG_HOME"): a shared folder such as /tmp is never used instead.
// - Names and keys compare ignoring case (AnsiSameText), as registry keys
//   do.
#pragma once

#include <mutex>
#include <string>

namespace lumo {

class IDASettingsStore {
 public:
  virtual ~IDASettingsStore() = default;
  // False (and `value` untouched) when the value does not exist.
  virtual bool ReadString(const std::string& key, const std::string& name, std::string& value) = 0;
  virtual void WriteString(const std::string& key, const std::string& name, const std::string& value) = 0;
  virtual void DeleteValue(const std::string& key, const std::string& name) = 0;
};

class TIniSettingsStore : public IDASettingsStore {
 public:
  explicit TIniSettingsStore(std::string fileName);

  bool ReadString(const std::string& key, const std::string& name, std::string& value) override;
  void WriteString(const std::string& key, const std::string& name, const std::string& value) override;
  void DeleteValue(const std::string& key, const std::string& name) override;

  const std::string& FileName() const noexcept { return FFileName; }

  // The folder of this system's settings: $XDG_CONFIG_HOME/lumokit when
  // that is an absolute path, else $HOME/.config/lumokit (the passwd entry
  // when HOME is unset).
  static std::string DefaultFolder();
  // The same rule over given values: `home` is used when `xdgConfigHome`
  // is not absolute; raises when neither is an absolute path.
  static std::string SettingsFolderOf(const std::string& xdgConfigHome, const std::string& home);

 private:
  std::string FFileName;
  std::mutex FLock;
};

// The store the login dialogs use unless given another: settings.ini in
// DefaultFolder().
IDASettingsStore& DefaultDASettingsStore();

}  // namespace lumo
