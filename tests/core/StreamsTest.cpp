#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>

#include <lumokit/core/Streams.h>

namespace lumo {
namespace {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumo-streams-XXXXXX").string();
    FPath = ::mkdtemp(pattern.data());
  }
  ~TempFolder() { std::filesystem::remove_all(FPath); }
  std::string File(const std::string& name) const { return FPath + "/" + name; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(FPath)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

TEST(MemoryStream, GrowsGeometricallyAndKeepsWhatWasWritten) {
  TMemoryStream m;
  std::string data = Pattern(100000);
  int reallocations = 0;
  std::int64_t lastCapacity = m.Capacity();
  for (std::size_t i = 0; i < data.size(); i += 10) {
    m.WriteBuffer(data.data() + i, 10);
    if (m.Capacity() != lastCapacity) {
      ++reallocations;
      lastCapacity = m.Capacity();
    }
  }
  EXPECT_EQ(m.Size(), 100000);
  EXPECT_EQ(m.Position(), 100000);
  EXPECT_LT(reallocations, 30);
  EXPECT_EQ(m.View(), data);
}

TEST(MemoryStream, SeekReadPastEndAndSetSize) {
  TMemoryStream m;
  m.WriteBuffer("0123456789");
  EXPECT_EQ(m.Seek(-3, TSeekOrigin::soEnd), 7);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 3);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(m.Read(buf, 8), 0);
  EXPECT_THROW(m.ReadBuffer(buf, 1), EStreamError);
  m.SetPosition(8);
  try {
    m.ReadBuffer(buf, 5);
    FAIL() << "no error";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }

  // Past the end: reads give nothing, a write fills the gap with zeros.
  m.SetPosition(12);
  EXPECT_EQ(m.Read(buf, 1), 0);
  m.WriteBuffer("x");
  EXPECT_EQ(m.Size(), 13);
  EXPECT_EQ(m.View(), std::string("0123456789\0\0x", 13));

  EXPECT_THROW(m.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
  EXPECT_EQ(m.Position(), 13);

  m.SetSize(4);
  EXPECT_EQ(m.Position(), 4);
  EXPECT_EQ(m.View(), "0123");
  m.SetSize(6);
  EXPECT_EQ(m.View(), std::string("0123\0\0", 6));
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);
}

TEST(MemoryStream, LoadAndSaveThroughOtherStreams) {
  TStringStream source("payload");
  source.SetPosition(3);
  TMemoryStream m;
  m.LoadFromStream(source);  // the whole source, not from its position
  EXPECT_EQ(m.View(), "payload");
  EXPECT_EQ(m.Position(), 0);

  TStringStream dest("ab");
  dest.Seek(0, TSeekOrigin::soEnd);
  m.SaveToStream(dest);
  EXPECT_EQ(dest.DataString(), "abpayload");

  TBytesStream bytes({1, 2, 3});
  EXPECT_EQ(bytes.Size(), 3);
  bytes.SetPosition(3);
  bytes.WriteBuffer("\x04", 1);
  EXPECT_EQ(bytes.Bytes(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(Stream, CopyFromWholeSourceOrCount) {
  std::string data = Pattern(3 * TStream::CopyChunkSize + 123);
  TStringStream source(data);
  source.SetPosition(500);
  TMemoryStream all;
  EXPECT_EQ(all.CopyFrom(source, 0), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(all.View(), data);

  source.SetPosition(10);
  TMemoryStream part;
  EXPECT_EQ(part.CopyFrom(source, TStream::CopyChunkSize + 5), TStream::CopyChunkSize + 5);
  EXPECT_EQ(part.View(), data.substr(10, TStream::CopyChunkSize + 5));
  EXPECT_EQ(source.Position(), 10 + TStream::CopyChunkSize + 5);

  // Asking for more than the source has fails with the read error.
  source.SetPosition(static_cast<std::int64_t>(data.size()) - 4);
  TMemoryStream tooMuch;
  EXPECT_THROW(tooMuch.CopyFrom(source, 5), EStreamError);
  EXPECT_THROW(tooMuch.CopyFrom(source, -1), EArgumentError);
}

TEST(FileStream, RoundTripWithSeekAndSize) {
  TempFolder dir;
  std::string path = dir.File("data.bin");
  std::string data = Pattern(200000);
  {
    TFileStream f(path, fmCreate);
    f.WriteBuffer(data);
    EXPECT_EQ(f.Size(), 200000);
    f.SetSize(150000);
    EXPECT_EQ(f.Position(), 150000);
    f.Flush();
  }
  {
    TFileStream f(path, fmOpenReadWrite);
    EXPECT_EQ(f.Size(), 150000);
    EXPECT_EQ(f.Seek(-10, TSeekOrigin::soEnd), 149990);
    f.WriteBuffer("0123456789");
    f.SetPosition(0);
    std::string back = f.ReadToEnd();
    EXPECT_EQ(back.substr(0, 149990), data.substr(0, 149990));
    EXPECT_EQ(back.substr(149990), "0123456789");
  }
  {
    TFileStream f(path, fmOpenRead | fmShareDenyWrite);
    EXPECT_EQ(f.Write("x", 1), 0);  // opened for reading only
    EXPECT_NE(f.LastError(), 0);
    EXPECT_THROW(f.WriteBuffer("x", 1), EStreamError);
    EXPECT_THROW(f.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
  }
  {
    TFileStream f(path, fmCreate);  // truncates
    EXPECT_EQ(f.Size(), 0);
  }
}

TEST(FileStream, OpenAndCreateFailuresCarryTheSystemText) {
  TempFolder dir;
  std::string missing = dir.File("missing.txt");
  try {
    TFileStream f(missing, fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.ErrorCode(), ENOENT);
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". " + SysErrorMessage(ENOENT));
  }
  std::string inMissingFolder = dir.File("no/such/file");
  try {
    TFileStream f(inMissingFolder, fmCreate);
    FAIL() << "created a file in a missing folder";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + inMissingFolder + "\". " + SysErrorMessage(ENOENT));
  }
  TMemoryStream m;
  EXPECT_THROW(m.LoadFromFile(missing), EFOpenError);
}

TEST(FileStream, DescriptorIsCloseOnExec) {
  TempFolder dir;
  TFileStream f(dir.File("a"), fmCreate);
  EXPECT_TRUE(::fcntl(f.Handle(), F_GETFD) & FD_CLOEXEC);
}

TEST(SafeFileWriter, ReplacesAndLeavesNoTemporaryFile) {
  TempFolder dir;
  std::string path = dir.File("settings.ini");
  ReplaceFileContents(path, "first", 0600);
  EXPECT_EQ(ReadAll(path), "first");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ReplaceFileContents(path, "second, longer");  // a replaced file keeps its mode
  EXPECT_EQ(ReadAll(path), "second, longer");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"settings.ini"});

  TMemoryStream m;
  m.WriteBuffer("from memory");
  m.SaveToFile(path);
  EXPECT_EQ(ReadAll(path), "from memory");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"settings.ini"});
}

TEST(SafeFileWriter, FollowsASymbolicLink) {
  TempFolder dir;
  std::string real = dir.File("real.txt");
  std::string link = dir.File("link.txt");
  ReplaceFileContents(real, "old");
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  ReplaceFileContents(link, "new");
  EXPECT_EQ(ReadAll(real), "new");
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST(SafeFileWriter, FailureMidwayLeavesTheOldFileIntact) {
  TempFolder dir;
  std::string path = dir.File("dump.sql");
  ReplaceFileContents(path, "old content");

  // The writer fails after writing part of the new content.
  EXPECT_THROW(ReplaceFile(path,
                           [](TStream& s) {
                             s.WriteBuffer(Pattern(100000));
                             throw EStreamError("Stream write error");
                           }),
               EStreamError);
  EXPECT_EQ(ReadAll(path), "old content");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"dump.sql"});

  // A real write error: the file-size limit stops the write halfway.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim{8192, 8192};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    int code = 3;
    try {
      ReplaceFileContents(path, Pattern(100000));
      code = 1;  // reported success
    } catch (const EStreamError& e) {
      code = std::strcmp(e.what(), "Stream write error") == 0 ? 0 : 2;
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadAll(path), "old content");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"dump.sql"});
}

TEST(SafeFileWriter, UncommittedWriterRemovesItsTemporaryFile) {
  TempFolder dir;
  std::string path = dir.File("new.txt");
  {
    TSafeFileWriter w(path);
    w.WriteBuffer("never committed");
    EXPECT_EQ(dir.Entries().size(), 1u);
    EXPECT_EQ(w.TempFileName().substr(0, dir.Path().size()), dir.Path());
  }
  EXPECT_TRUE(dir.Entries().empty());
  EXPECT_THROW(TSafeFileWriter(dir.File("missing/x")), EFOpenError);
}

}  // namespace
}  // namespace lumo
