#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include <lumokit/core/CodePages.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/data/MemUtils.h>

namespace lumo {
namespace {

std::string Content(TBlob& blob) {
  std::string out(static_cast<std::size_t>(blob.Size()), '\0');
  out.resize(static_cast<std::size_t>(blob.Read(0, 0, out.data(), static_cast<std::int64_t>(out.size()))));
  return out;
}

void Put(TBlob& blob, std::int64_t pos, const std::string& s) {
  blob.Write(pos, static_cast<std::int64_t>(s.size()), s.data());
}

std::string Mixed(std::size_t n, unsigned seed, bool compressible) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = compressible ? "lumo kit "[rng() % 9] : static_cast<char>(rng());
  return s;
}

std::string Zlib(const std::string& s) {
  uLongf len = compressBound(static_cast<uLong>(s.size()));
  std::string out(len, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(s.data()),
            static_cast<uLong>(s.size()), Z_DEFAULT_COMPRESSION);
  out.resize(len);
  return out;
}

std::string Header(std::uint32_t size) {
  std::string h(reinterpret_cast<const char*>(CCompressBlobHeaderGuid), CCompressBlobHeaderGuidSize);
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(size >> (8 * i)));
  return h;
}

// Stores bytes as they are, split into pieces of `split` bytes.
void SetRaw(TKxBlobData& data, const std::string& raw, std::size_t split = 7) {
  data.Clear();
  for (std::size_t off = 0; off < raw.size(); off += split) {
    const std::size_t n = std::min(split, raw.size() - off);
    TPiecePtr piece = TKxBlobData::AllocPiece(static_cast<std::int64_t>(n));
    std::memcpy(PieceData(piece.get()), raw.data() + off, n);
    piece->Used = static_cast<std::int64_t>(n);
    data.AppendPiece(std::move(piece));
  }
}

// ---- pieces --------------------------------------------------------------------

TEST(BlobPieces, SplitsReadsAndWritesAcrossPieces) {
  auto blob = NewShared<TBlob>();
  const std::string big = Mixed(100000, 1, false);
  Put(*blob, 0, big);
  TKxBlobData* data = blob->Data();
  ASSERT_EQ(data->PieceCount(), 2);
  EXPECT_EQ(data->Pieces(0)->Used, 65514);
  EXPECT_EQ(data->Pieces(1)->Used, 34486);
  char buf[10];
  EXPECT_EQ(blob->Read(65510, 10, buf, sizeof buf), 10);
  EXPECT_EQ(std::string(buf, 10), big.substr(65510, 10));
  EXPECT_EQ(blob->Read(99995, 0, buf, sizeof buf), 5);        // count 0: to the end
  EXPECT_EQ(blob->Read(0, 0, buf, 4), 4);                      // never past the capacity
  EXPECT_EQ(blob->Read(100000, 10, buf, sizeof buf), 0);
  EXPECT_THROW(blob->Read(-1, 1, buf, 1), EArgumentError);

  Put(*blob, 65510, "0123456789");  // overwrite across the border
  EXPECT_EQ(Content(*blob), big.substr(0, 65510) + "0123456789" + big.substr(65520));

  blob->Truncate(10);  // pieces stay, used parts cut
  EXPECT_EQ(data->PieceCount(), 2);
  EXPECT_EQ(data->Pieces(1)->Used, 0);
  EXPECT_EQ(blob->Size(), 10);
  Put(*blob, 500, "xyz");  // beyond the end: lands at the end, in the spare room
  EXPECT_EQ(Content(*blob), big.substr(0, 10) + "xyz");
  EXPECT_EQ(data->PieceCount(), 2);
  blob->SetSize(20);  // one zero-filled piece of the difference
  EXPECT_EQ(data->PieceCount(), 3);
  EXPECT_EQ(Content(*blob), big.substr(0, 10) + "xyz" + std::string(7, '\0'));
  blob->Truncate(0);
  EXPECT_TRUE(blob->IsEmpty());
  EXPECT_EQ(data->PieceCount(), 0);
}

TEST(BlobPieces, RandomEditsMatchAPlainString) {
  std::mt19937 rng(7);
  auto blob = NewShared<TBlob>();
  blob->SetPieceSize(13);
  std::string model;
  for (int step = 0; step < 3000; ++step) {
    const std::int64_t pos = rng() % (model.size() + 20);
    switch (rng() % 6) {
      case 0:
        blob->Truncate(std::min<std::int64_t>(pos, static_cast<std::int64_t>(model.size())));
        model.resize(std::min<std::size_t>(pos, model.size()));
        break;
      case 1:
        blob->SetSize(pos);
        model.resize(pos, '\0');
        break;
      default: {
        const std::string s = Mixed(rng() % 40, step, false);
        Put(*blob, pos, s);
        const std::size_t at = std::min<std::size_t>(pos, model.size());
        model.resize(std::max(model.size(), at + s.size()));
        model.replace(at, s.size(), s);
      }
    }
    ASSERT_EQ(blob->Size(), static_cast<std::int64_t>(model.size()));
    const std::int64_t rpos = rng() % (model.size() + 1), rcount = rng() % 30;
    std::string got(rcount, '\0');
    got.resize(blob->Read(rpos, rcount, got.data(), rcount));
    ASSERT_EQ(got, model.substr(rpos, rcount)) << "step " << step;
  }
  EXPECT_EQ(Content(*blob), model);
}

TEST(BlobPieces, PieceOperations) {
  auto data = NewShared<TKxBlobData>();
  EXPECT_THROW(TKxBlobData::AllocPiece(0), EAssertionFailed);
  SetRaw(*data, "abcdefghij", 4);  // abcd efgh ij
  TPieceHeader* second = data->Pieces(1);
  EXPECT_EQ(second->Blob, data.Get());
  TPiecePtr taken = data->DeletePiece(second);
  EXPECT_EQ(taken->Blob, nullptr);
  EXPECT_EQ(data->RawBytes(), "abcdij");
  auto other = NewShared<TKxBlobData>();
  EXPECT_THROW(other->FreePiece(data->FirstPiece()), EAssertionFailed);
  data->AppendPiece(std::move(taken));
  EXPECT_EQ(data->RawBytes(), "abcdijefgh");
  TPieceHeader* grown = data->ReallocPiece(data->FirstPiece(), 100);
  EXPECT_EQ(grown->Size, 100);
  EXPECT_EQ(data->RawBytes(), "abcdijefgh");
  data->Compress();
  EXPECT_EQ(data->FirstPiece()->Size, 4);
  data->Defrag();
  EXPECT_EQ(data->PieceCount(), 1);
  EXPECT_EQ(data->RawBytes(), "abcdijefgh");
  data->CopyTo(*other);
  EXPECT_EQ(other->RawBytes(), "abcdijefgh");
  EXPECT_EQ(data->RawBytes(), "abcdijefgh");
  EXPECT_EQ(other->FirstPiece()->Blob, other.Get());
}

// ---- compression ---------------------------------------------------------------

TEST(CompressedBlob, CompressesOnlyWhenItPays) {
  const struct {
    std::string content;
    bool compressed;
  } cases[] = {
      {std::string(40, 'a'), false},         // at most 50 bytes: never
      {std::string(50, 'a'), false},
      {std::string(51, 'a'), true},
      {std::string(1000, 'a'), true},
      {Mixed(1000, 3, false), false},        // does not shrink: stays plain
      {Mixed(200000, 4, true), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.size());
    auto blob = NewShared<TCompressedBlob>();
    Put(*blob, 0, c.content);
    EXPECT_EQ(blob->Compressed(), c.compressed);
    EXPECT_EQ(blob->Size(), static_cast<std::int64_t>(c.content.size()));
    EXPECT_EQ(Content(*blob), c.content);
    if (!c.compressed) {
      EXPECT_THROW(blob->CompressedSize(), EBlobError);
      EXPECT_EQ(blob->Data()->RawBytes(), c.content);
      continue;
    }
    const std::string raw = blob->Data()->RawBytes();
    EXPECT_EQ(raw, Header(static_cast<std::uint32_t>(c.content.size())) + Zlib(c.content));
    EXPECT_EQ(blob->CompressedSize(), static_cast<std::int64_t>(raw.size()));
    EXPECT_TRUE(blob->Compressed());  // a whole read leaves it compressed
    char part[5];
    ASSERT_EQ(blob->Read(3, 5, part, 5), 5);  // a partial read decompresses in place
    EXPECT_EQ(std::string(part, 5), c.content.substr(3, 5));
    EXPECT_FALSE(blob->Compressed());
    blob->SetCompressed(true);
    EXPECT_EQ(blob->Data()->RawBytes(), raw);
    blob->SetCompressed(false);
    EXPECT_EQ(blob->Data()->RawBytes(), c.content);
  }
  TCompressedBlobData data;
  char byte = 0;  // content above INT32_MAX bytes is refused before it is read
  EXPECT_FALSE(data.CompressFrom(&byte, std::int64_t{1} << 31));
}

TEST(CompressedBlob, EditsOfCompressedContent) {
  auto blob = NewShared<TCompressedBlob>();
  std::string text(3000, 'q');
  Put(*blob, 0, text);
  ASSERT_TRUE(blob->Compressed());
  Put(*blob, 0, std::string(3000, 'r'));  // whole replacement: compressed again
  EXPECT_TRUE(blob->Compressed());
  EXPECT_EQ(Content(*blob), std::string(3000, 'r'));
  Put(*blob, 3000, "tail");  // any other write decompresses first
  EXPECT_FALSE(blob->Compressed());
  EXPECT_EQ(Content(*blob), std::string(3000, 'r') + "tail");
  blob->SetCompressed(true);
  blob->SetSize(3004);  // same size: stays compressed
  EXPECT_TRUE(blob->Compressed());
  blob->Truncate(10);
  EXPECT_EQ(Content(*blob), std::string(10, 'r'));
}

TEST(CompressedBlob, ValuesThatLookCompressedKeepTheirMeaning) {
  const std::string payload(5000, 'z');
  const std::string image = Header(5000) + Zlib(payload);
  auto fetched = NewShared<TCompressedBlob>();
  Put(*fetched, 0, image);  // written bytes are taken as the stored form
  EXPECT_EQ(Content(*fetched), payload);

  auto plain = NewShared<TBlob>();
  Put(*plain, 0, image);
  auto copy = NewShared<TCompressedBlob>();
  copy->Assign(*plain);  // a copied value stays the value
  EXPECT_EQ(Content(*copy), image);
  copy->SetCompressed(false);  // cannot be stored plain without changing meaning
  EXPECT_TRUE(copy->Compressed());
  char part[4];
  ASSERT_EQ(copy->Read(2, 4, part, 4), 4);
  EXPECT_EQ(std::string(part, 4), image.substr(2, 4));
  Put(*copy, 30, "edit");
  copy->SetSize(static_cast<std::int64_t>(image.size()) + 2);
  EXPECT_EQ(Content(*copy), image.substr(0, 30) + "edit" + image.substr(34) + std::string(2, '\0'));
  copy->Truncate(25);
  EXPECT_EQ(Content(*copy), image.substr(0, 25));
}

TEST(CompressedBlob, HostileHeadersStayPlainOrFailClearly) {
  const std::string payload = std::string(5000, 'z');
  const std::string stream = Zlib(payload);
  const auto L = static_cast<std::uint32_t>(stream.size());
  enum Expect { Plain, Ok, DataError, SizeError };
  const struct {
    const char* name;
    std::string raw;
    Expect expect, withHook;  // a replaced hook cannot tell a long stream from a bad one
  } cases[] = {
      {"valid", Header(5000) + stream, Ok, Ok},
      {"huge size", Header(0x7FFFFFFF) + stream, Plain, Plain},
      {"negative", Header(0xFFFFFFFF) + stream, Plain, Plain},
      {"implausible ratio", Header(L * 1032 + 1) + stream, Plain, Plain},
      {"short header", Header(5000), Plain, Plain},
      {"plausible but bigger", Header(L * 1032) + stream, SizeError, SizeError},
      {"announced smaller", Header(4999) + stream, SizeError, DataError},
      {"announced empty", Header(0) + stream, SizeError, DataError},
      {"truncated stream", Header(5000) + stream.substr(0, stream.size() - 5), DataError, DataError},
      {"garbage stream", Header(5000) + std::string(40, '\x55'), DataError, DataError},
      {"trailing garbage", Header(5000) + stream + "junk", DataError, Ok},
  };
  for (int pass = 0; pass < 2; ++pass) {
    // Second pass: a replaced uncompressor hook (one call, bounded capacity).
    if (pass == 1)
      SetUncompressProc([](void* d, std::uint64_t& dl, const void* s, std::uint64_t sl) { ZLibUncompress(d, dl, s, sl); });
    for (const auto& c : cases) {
      const Expect expect = pass == 0 ? c.expect : c.withHook;
      SCOPED_TRACE(std::string(c.name) + (pass ? " (hook)" : ""));
      auto blob = NewShared<TCompressedBlob>();
      auto* data = static_cast<TCompressedBlobData*>(blob->Data());
      SetRaw(*data, c.raw, 1000);
      std::string out(payload.size() + 10, '\0');
      std::int64_t len = static_cast<std::int64_t>(out.size());
      switch (expect) {
        case Plain:
          EXPECT_FALSE(blob->Compressed());
          EXPECT_EQ(Content(*blob), c.raw);
          blob->SetCompressed(false);  // nothing to do
          EXPECT_THROW(data->UncompressTo(out.data(), len), EBlobError);
          break;
        case Ok:
          EXPECT_TRUE(blob->Compressed());
          EXPECT_EQ(Content(*blob), payload);
          len = static_cast<std::int64_t>(out.size());
          data->UncompressTo(out.data(), len);
          EXPECT_EQ(len, 5000);
          len = 4999;
          EXPECT_THROW(data->UncompressTo(out.data(), len), EBlobError);  // bounded by the capacity
          blob->SetCompressed(false);
          EXPECT_EQ(data->RawBytes(), payload);
          break;
        case DataError:
        case SizeError: {
          const char* message =
              expect == DataError ? "Invalid compressed blob data" : "Invalid uncompressed blob size";
          EXPECT_TRUE(blob->Compressed());
          try {
            blob->SetCompressed(false);
            ADD_FAILURE() << "no error";
          } catch (const EBlobError& e) {
            EXPECT_STREQ(e.what(), message);
          }
          EXPECT_EQ(data->RawBytes(), c.raw);  // left as it was
          EXPECT_THROW(Content(*blob), EBlobError);
          char part[4];
          if (blob->Size() > 1) {
            EXPECT_THROW(blob->Read(1, 4, part, 4), EBlobError);
          }
          EXPECT_EQ(data->RawBytes(), c.raw);
        }
      }
    }
  }
  SetUncompressProc(&ZLibUncompress);
  TCompressedBlobData tiny;
  SetRaw(tiny, Header(1));
  char c;
  std::int64_t len = 1;
  try {
    tiny.UncompressTo(&c, len);
    ADD_FAILURE();
  } catch (const EBlobError& e) {
    EXPECT_STREQ(e.what(), "Invalid compressed blob size");
  }
}

// ---- rollback --------------------------------------------------------------------

TEST(BlobRollback, CancelRestoresCommitKeeps) {
  for (bool compressed : {false, true}) {
    SCOPED_TRACE(compressed);
    TSharedRef<TBlob> blob = compressed ? TSharedRef<TBlob>(NewShared<TCompressedBlob>()) : NewShared<TBlob>();
    const std::string v1(400, 'a'), v2 = "edited";
    Put(*blob, 0, v1);
    EXPECT_THROW(blob->SaveToRollback(), EBlobError);
    blob->EnableRollback();
    blob->Clear();
    Put(*blob, 0, v2);
    ASSERT_TRUE(blob->CanRollback());
    blob->SetUseRollback(true);  // reads see the old value, writes still change the new one
    EXPECT_EQ(Content(*blob), v1);
    Put(*blob, 6, "!");
    blob->SetUseRollback(false);
    EXPECT_EQ(Content(*blob), v2 + "!");
    blob->Cancel();
    EXPECT_EQ(Content(*blob), v1);
    EXPECT_FALSE(blob->CanRollback());
    Put(*blob, 0, "b");
    blob->Commit();
    EXPECT_FALSE(blob->CanRollback());
    EXPECT_EQ(Content(*blob), "b" + v1.substr(1));
    blob->Cancel();  // nothing to restore after a commit
    EXPECT_EQ(Content(*blob), "b" + v1.substr(1));
  }
}

TEST(BlobRollback, ClonesShareUntilOneChanges) {
  auto blob = NewShared<TBlob>();
  Put(*blob, 0, "shared");
  TSharedRef<TBlob> clone = blob->Clone();
  EXPECT_EQ(clone->Data(), blob->Data());
  Put(*blob, 0, "S");
  EXPECT_EQ(Content(*blob), "Shared");
  EXPECT_EQ(Content(*clone), "shared");
  EXPECT_TRUE(blob->Clone(false, false)->IsEmpty());
  EXPECT_THROW(blob->SetData(NewShared<TCompressedBlobData>()), EArgumentError);
  auto wide = NewShared<TBlob>(true);
  EXPECT_THROW(blob->SetIsUnicode(true), EBlobError);
  wide->Assign(*blob);  // takes the source's text form
  EXPECT_FALSE(wide->IsUnicode());
  EXPECT_EQ(Content(*wide), "Shared");
}

// ---- line ends -------------------------------------------------------------------

TEST(BlobLineEnds, AddAndRemoveAcrossPieces) {
  const struct {
    std::string in, added, removed;
  } cases[] = {
      {"a\nb", "a\r\nb", "a\nb"},
      {"a\r\nb", "a\r\nb", "a\nb"},
      {"\n\n", "\r\n\r\n", "\n\n"},
      {"a\r", "a\r\n", "a\r"},  // a carriage return at the end becomes a pair
      {"a\rb\r\r\n", "a\rb\r\r\n", "a\rb\r\n"},
      {"", "", ""},
  };
  for (bool unicode : {false, true})
    for (bool compressed : {false, true})
      for (std::int64_t pieceSize : {2, 3, 4096})
        for (const auto& c : cases) {
          SCOPED_TRACE(c.in + (unicode ? " unicode" : "") + (compressed ? " compressed" : ""));
          const std::string prefix = compressed ? std::string(200, 'x') : "";
          TSharedRef<TBlob> blob =
              compressed ? TSharedRef<TBlob>(NewShared<TCompressedBlob>(unicode)) : NewShared<TBlob>(unicode);
          blob->SetPieceSize(pieceSize);
          blob->SetAsAnsiString(prefix + c.in);
          if (compressed) {
            ASSERT_TRUE(static_cast<TCompressedBlob&>(*blob).Compressed());
          }
          blob->AddCR();
          EXPECT_EQ(blob->AsAnsiString(), prefix + c.added);
          blob->SetAsAnsiString(prefix + c.in);
          blob->RemoveCR();
          EXPECT_EQ(blob->AsAnsiString(), prefix + c.removed);
        }
}

// ---- text views ------------------------------------------------------------------

TEST(BlobText, Utf16ViewRoundTripWithSurrogates) {
  TCodePageOverride page(CP_UTF8);
  const std::u16string text = u"a\u00e9\U0001F600b\u20ac";  // 1, 2, 4, 1, 3 bytes in UTF-8
  for (std::int64_t pieceSize : {1, 3, 65514}) {
    SCOPED_TRACE(pieceSize);
    auto narrow = NewShared<TBlob>();
    narrow->SetPieceSize(pieceSize);
    narrow->SetAsWideString(text);
    EXPECT_EQ(narrow->AsAnsiString(), Utf16ToUtf8(text));
    EXPECT_EQ(narrow->AsWideString(), text);
    EXPECT_EQ(narrow->GetSizeUni(), 12);
    // UTF-16 view byte position -> 8-bit byte position; inside a character raises.
    const std::pair<std::int64_t, std::int64_t> uni[] = {{0, 0}, {2, 1}, {4, 3}, {8, 7}, {10, 8}, {12, 11}};
    for (auto [from, to] : uni) EXPECT_EQ(narrow->TranslatePositionToUni(from), to);
    for (std::int64_t bad : {1, 6, 14}) EXPECT_THROW(narrow->TranslatePositionToUni(bad), EBlobError);

    auto wide = NewShared<TBlob>(true);
    wide->SetPieceSize(pieceSize);
    wide->SetAsAnsiString(Utf16ToUtf8(text));
    EXPECT_EQ(wide->AsWideString(), text);
    EXPECT_EQ(wide->Size(), 12);
    EXPECT_EQ(wide->GetSizeAnsi(), 11);
    const std::pair<std::int64_t, std::int64_t> ansi[] = {{0, 0}, {1, 2}, {3, 4}, {7, 8}, {8, 10}, {11, 12}};
    for (auto [from, to] : ansi) EXPECT_EQ(wide->TranslatePositionToAnsi(from), to);
    for (std::int64_t bad : {2, 4, 12}) EXPECT_THROW(wide->TranslatePositionToAnsi(bad), EBlobError);
  }
  auto lone = NewShared<TBlob>(true);
  lone->SetAsWideString(std::u16string(1, u'\xD800') + u"x");
  EXPECT_EQ(lone->GetSizeAnsi(), static_cast<std::int64_t>(lone->AsAnsiString().size()));
}

TEST(BlobText, SingleByteCodePage) {
  TCodePageOverride page(1252);
  auto wide = NewShared<TBlob>(true);
  wide->SetAsWideString(u"caf\u00e9\U0001F600");
  EXPECT_EQ(wide->AsAnsiString(), "caf\xe9?");
  EXPECT_EQ(wide->GetSizeAnsi(), 5);
  EXPECT_EQ(wide->TranslatePositionToAnsi(4), 8);
  auto narrow = NewShared<TBlob>();
  narrow->SetAsAnsiString("caf\xe9");
  EXPECT_EQ(narrow->AsWideString(), u"caf\u00e9");
  EXPECT_EQ(narrow->GetSizeUni(), 8);
  EXPECT_EQ(narrow->TranslatePositionToUni(6), 3);
  EXPECT_THROW(narrow->TranslatePositionToUni(10), EBlobError);
}

// ---- streams and files -------------------------------------------------------------

TEST(BlobStreams, SaveAndLoadInChunks) {
  const std::string content = Mixed(200000, 9, true);
  auto blob = NewShared<TCompressedBlob>();
  Put(*blob, 0, content);
  ASSERT_TRUE(blob->Compressed());
  TMemoryStream stream;
  stream.WriteBuffer("old content that is longer");
  blob->SaveToStream(stream);
  EXPECT_EQ(stream.View(), content);
  EXPECT_TRUE(blob->Compressed());  // saving streams the content out of the compressed form

  auto plain = NewShared<TBlob>();
  stream.Seek(0, TSeekOrigin::soEnd);
  plain->LoadFromStream(stream);  // from the start, whatever the position
  EXPECT_EQ(Content(*plain), content);
  EXPECT_EQ(plain->Data()->PieceCount(), 4);

  std::string dir = (std::filesystem::temp_directory_path() / "lumo-blob-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const std::string file = dir + "/blob.bin";
  blob->SaveToFile(file);
  auto loaded = NewShared<TBlob>();
  loaded->LoadFromFile(file);
  EXPECT_EQ(loaded->AsBytes(), std::vector<std::uint8_t>(content.begin(), content.end()));
  EXPECT_THROW(loaded->LoadFromFile(dir + "/missing"), EFOpenError);
  EXPECT_THROW(loaded->LoadFromFile(dir), EOSError);  // reading fails
  // A stream that ends before its size failed to read.
  struct ShortStream : TStringStream {
    using TStringStream::TStringStream;
    std::int64_t Read(void* buffer, std::int64_t count) override {
      return TStringStream::Read(buffer, std::min<std::int64_t>(count, 3000 - Position()));
    }
  } shortStream(content);
  EXPECT_THROW(loaded->LoadFromStream(shortStream), EStreamError);
  EXPECT_EQ(loaded->Size(), 200000);  // failed loads leave the content
  std::filesystem::remove_all(dir);
}

TEST(BlobStreams, WritesStayPlainWithoutACompressor) {
  SetCompressProc(nullptr);
  auto blob = NewShared<TCompressedBlob>();
  Put(*blob, 0, std::string(1000, 'a'));
  EXPECT_FALSE(blob->Compressed());
  EXPECT_THROW(blob->SetCompressed(true), ECompressionError);
  SetCompressProc(&ZLibCompress);
  blob->SetCompressed(true);
  EXPECT_TRUE(blob->Compressed());
}

}  // namespace
}  // namespace lumo
