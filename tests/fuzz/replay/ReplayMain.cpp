// Replays fuzz inputs without libFuzzer: every file named on the command line
// (or found directly inside a named folder) is fed once to the target's
// LLVMFuzzerTestOneInput. Built with the ordinary compiler, it keeps each
// seed corpus checked on every test run; an input that crashes the target
// fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An empty vector's data() may be null; libFuzzer always passes a valid pointer.
  static const std::uint8_t empty = 0;
  const auto* data = bytes.empty() ? &empty : reinterpret_cast<const std::uint8_t*>(bytes.data());
  LLVMFuzzerTestOneInput(data, bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) {
          ok = Replay(entry.path()) && ok;
          ++count;
        }
      }
    } else {
      ok = Replay(arg) && ok;
      ++count;
    }
  }
  // The empty input is always worth one run: it is the first thing a fuzzer tries.
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(""), 0);
  std::printf("replayed %zu inputs\n", count);
  return ok ? 0 : 1;
}
