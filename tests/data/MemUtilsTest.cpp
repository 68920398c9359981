#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <lumokit/data/MemUtils.h>

namespace lumo {
namespace {

struct Tracked {
  explicit Tracked(int& counter, int id = 0) : FCounter(counter), Id(id) { ++FCounter; }
  ~Tracked() { --FCounter; }
  int& FCounter;
  int Id;
};

TEST(ObjectList, OwnsItsObjects) {
  int alive = 0;
  {
    TDAObjectList<Tracked> list;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(list.Add(std::make_unique<Tracked>(alive, i)), i);
    EXPECT_EQ(alive, 5);
    list.Delete(1);  // destroys
    EXPECT_EQ(alive, 4);
    std::unique_ptr<Tracked> taken = list.Extract(0);  // does not
    EXPECT_EQ(alive, 4);
    EXPECT_EQ(taken->Id, 0);
    EXPECT_EQ(list[0]->Id, 2);
    list.SetItem(0, std::make_unique<Tracked>(alive, 7));  // old one destroyed
    EXPECT_EQ(alive, 4);
    EXPECT_EQ(list.Remove(list[1]), 1);
    EXPECT_EQ(list.Remove(taken.get()), -1);
    EXPECT_EQ(alive, 3);
    list.Insert(0, nullptr);  // empty entries are allowed
    list.Insert(2, std::make_unique<Tracked>(alive, 8));
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Items(0), nullptr);
    list.Move(3, 0);
    EXPECT_EQ(list.First()->Id, 4);
    EXPECT_EQ(list.IndexOf(nullptr), 1);
    EXPECT_THROW(list.Items(4), EArgumentError);
    EXPECT_THROW(list.Delete(-1), EArgumentError);
    EXPECT_THROW(list.Insert(5, nullptr), EArgumentError);
    list.SetCount(2);
    EXPECT_EQ(alive, 2);  // 7 and 8 were cut off; 4 and `taken` remain
    list.SetCount(3);
    EXPECT_EQ(list.Last(), nullptr);
    TDAObjectList<Tracked> moved = std::move(list);
    EXPECT_EQ(moved.Count(), 3);
  }
  EXPECT_EQ(alive, 0);
}

TEST(MemoryHelpers, PointersAndBuffers) {
  char buf[8] = "abcdefg";
  EXPECT_EQ(PtrOffset(buf, 3), static_cast<void*>(buf + 3));
  EXPECT_EQ(PtrCompare(buf, buf + 1), -1);
  EXPECT_EQ(PtrCompare(buf + 1, buf), 1);
  EXPECT_EQ(PtrCompare(buf, buf), 0);
  CopyBuffer(buf, buf + 1, 3);  // overlapping move
  EXPECT_STREQ(buf, "aabcefg");
  CopyBufferAnsi("XY", buf, 5);  // only the text's own bytes
  EXPECT_STREQ(buf, "XYbcefg");
  char16_t wide[4] = {u'a', u'b', u'c', 0};
  CopyBufferUni(u"Z", wide, 2);
  EXPECT_EQ(std::u16string(wide), u"Zbc");
  FillChar(buf, 2, '-');
  EXPECT_STREQ(buf, "--bcefg");
}

// Restores the default hooks after a test changes them.
struct HookGuard {
  ~HookGuard() {
    SetCompressProc(&ZLibCompress);
    SetUncompressProc(&ZLibUncompress);
  }
};

std::string Compress(const std::string& data) {
  std::string out(ZLibCompressBound(data.size()), '\0');
  std::uint64_t len = out.size();
  DoCompress(out.data(), len, data.data(), data.size());
  out.resize(len);
  return out;
}

std::string CompressionMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const ECompressionError& e) {
    return e.what();
  }
  return "no exception";
}

TEST(Compression, RoundTripThroughTheHooks) {
  std::string data;
  for (int i = 0; i < 2000; ++i) data += "row " + std::to_string(i % 37) + ";";
  std::string packed = Compress(data);
  EXPECT_LT(packed.size(), data.size() / 4);
  EXPECT_EQ(static_cast<unsigned char>(packed[0]), 0x78);  // zlib format
  std::string back(data.size(), '\0');
  std::uint64_t len = back.size();  // exact fit
  DoUncompress(back.data(), len, packed.data(), packed.size());
  EXPECT_EQ(len, data.size());
  EXPECT_EQ(back, data);

  std::string empty = Compress("");
  len = 0;
  DoUncompress(nullptr, len, empty.data(), empty.size());
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(MIN_COMPRESS_LENGTH, 50u);
}

TEST(Compression, TooSmallTargetsAndBadInput) {
  std::string data(5000, 'x');
  std::mt19937 rng(3);
  for (auto& c : data) c = static_cast<char>(rng());
  std::string small(100, '\0');
  std::uint64_t len = small.size();
  EXPECT_EQ(CompressionMessage([&] { DoCompress(small.data(), len, data.data(), data.size()); }),
            "ZLib error: target buffer may be too small");

  std::string packed = Compress(data);
  // The uncompressor stops at the capacity it was given.
  std::string guarded(data.size() + 64, '#');
  len = data.size() - 1;
  EXPECT_EQ(CompressionMessage([&] { DoUncompress(guarded.data(), len, packed.data(), packed.size()); }),
            "ZLib error: target buffer may be too small");
  EXPECT_EQ(guarded.substr(data.size() - 1), std::string(65, '#'));

  len = data.size();
  EXPECT_EQ(CompressionMessage([&] { DoUncompress(guarded.data(), len, packed.data(), packed.size() / 2); }),
            "Error");  // cut off
  std::string garbage = "this is not a zlib stream at all";
  EXPECT_EQ(CompressionMessage([&] { DoUncompress(guarded.data(), len, garbage.data(), garbage.size()); }), "Error");
  std::string corrupt = packed;
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  corrupt[corrupt.size() - 1] ^= 0x55;  // the checksum at least
  EXPECT_EQ(CompressionMessage([&] { DoUncompress(guarded.data(), len, corrupt.data(), corrupt.size()); }), "Error");

  std::uint64_t huge = 1ULL << 33;
  EXPECT_EQ(CompressionMessage([&] { DoCompress(small.data(), huge, data.data(), huge); }),
            "Data too large for zlib (8589934592 bytes)");
}

TEST(Compression, RandomInputNeverWritesPastTheCapacity) {
  std::mt19937 rng(11);
  std::string seed = Compress(std::string(300, 'a') + "tail");
  int failures = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string input = seed;
    for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k)
      input[rng() % input.size()] = static_cast<char>(rng());
    if (round % 3 == 0) input.resize(rng() % input.size());
    std::size_t cap = rng() % 400;
    std::string out(cap + 16, '#');
    std::uint64_t len = cap;
    try {
      DoUncompress(out.data(), len, input.data(), input.size());
      ASSERT_LE(len, cap);
    } catch (const ECompressionError&) {
      ++failures;
    }
    ASSERT_EQ(out.substr(cap), std::string(16, '#'));
  }
  EXPECT_GT(failures, 0);
}

void CountingCompressor(void*, std::uint64_t& destLen, const void*, std::uint64_t sourceLen) { destLen = sourceLen + 1; }

TEST(Compression, ReplaceableHooks) {
  HookGuard guard;
  EXPECT_NO_THROW(CheckZLib());
  SetCompressProc(&CountingCompressor);
  std::uint64_t len = 0;
  DoCompress(nullptr, len, nullptr, 41);
  EXPECT_EQ(len, 42u);
  SetCompressProc(nullptr);
  EXPECT_EQ(CompressionMessage([] { CheckZLib(); }), "Compressor function is not linked");
  EXPECT_EQ(CompressionMessage([&] { DoCompress(nullptr, len, nullptr, 0); }), "Compressor function is not linked");
  SetCompressProc(&ZLibCompress);
  SetUncompressProc(nullptr);
  EXPECT_EQ(CompressionMessage([] { CheckZLib(); }), "Uncompressor function is not linked");
  EXPECT_EQ(CompressionMessage([&] { DoUncompress(nullptr, len, nullptr, 0); }),
            "Uncompressor function is not linked");
}

}  // namespace
}  // namespace lumo
