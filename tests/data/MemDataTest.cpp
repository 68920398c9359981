// Record store: layout, names, field values, the string heap, navigation,
// record numbers and bookmarks.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <thread>

#include "data/MemDataTestUtil.h"

namespace lumo {
namespace {

using test::Append;
using test::Column;
using test::OpenData;
using test::TFieldSpec;

// ---- layout -------------------------------------------------------------------------

struct TLayoutCase {
  std::vector<TFieldSpec> Fields;
  std::vector<int> Offsets;
  int DataSize, RecordSize, CalcRecordSize;
};

class TEncryptedData : public TMemData {
 public:
  int GetEncryptStateSize() override { return 1; }
  int GetEncryptState(int fieldNo) override { return fieldNo == 1 ? 0x0001 : -1; }
};

TEST(MemDataLayout, OffsetsAndRecordSize) {
  const TLayoutCase cases[] = {
      {{{"A", dtInt32}, {"W", dtWideString, 3}, {"B", dtInt8}}, {0, 4, 12}, 13, 17, 0},
      {{{"A", dtInt32}}, {0}, 4, 5, 0},
      {{{"A", dtInt32}, {"B", dtInt32}}, {0, 4}, 8, 11, 0},
      {{{"S", dtString, 2}, {"W", dtWideString, 1}}, {0, 4}, 8, 11, 0},
      {{{"X", dtExtString}, {"V", dtVariant}}, {0, 8}, 16, 19, 0},
      // Calculated fields follow the record; a wide one at an even offset.
      {{{"A", dtInt32}, {"C", dtInt16, 0, false, fdkCalculated}, {"W", dtWideString, 1, false, fdkCalculated}},
       {0, 7, 10},
       4,
       7,
       7},
  };
  for (const TLayoutCase& c : cases) {
    auto data = OpenData(c.Fields);
    for (std::size_t i = 0; i < c.Offsets.size(); ++i) EXPECT_EQ(data->Fields()[int(i)]->Offset(), c.Offsets[i]);
    EXPECT_EQ(data->DataSize(), c.DataSize);
    EXPECT_EQ(data->RecordSize(), c.RecordSize);
    EXPECT_EQ(data->RecordSize() % 2, 1);
    EXPECT_EQ(data->CalcRecordSize(), c.CalcRecordSize);
  }
  // Encryption state bytes count into the record; the bit follows null-ness.
  auto enc = OpenData<TEncryptedData>({{"A", dtInt32}, {"B", dtInt32}});
  EXPECT_EQ(enc->RecordSize(), 8 + 2 + 1 + 0);
  TRecBuf buf = enc->AllocRecBuf();
  enc->InitRecord(buf.get());
  enc->PutFieldAsVariant(1, buf.get(), Variant(5));
  EXPECT_EQ(buf[10] & 1, 1);
  enc->PutFieldAsVariant(1, buf.get(), Variant::Null());
  EXPECT_EQ(buf[10] & 1, 0);
}

class TNamedData : public TMemData {
 public:
  std::vector<std::string> Names;
  void InternalInitFields() override { test::AddFields(*this, ToSpecs()); }

 private:
  std::vector<TFieldSpec> ToSpecs() const {
    std::vector<TFieldSpec> specs;
    for (const std::string& n : Names) specs.push_back({n, dtInt32});
    return specs;
  }
};

TEST(MemDataLayout, UniqueNames) {
  const struct {
    std::vector<std::string> In, Out;
  } cases[] = {
      {{"ID", "ID", "ID"}, {"ID", "ID_1", "ID_2"}},
      {{"ID", "ID", "ID", "ID_1"}, {"ID", "ID_2", "ID_3", "ID_1"}},
      {{""}, {"_0"}},
      {{"", ""}, {"_0", "_1"}},
      {{"Id", "ID", "X"}, {"Id", "ID_1", "X"}},
      {{"A", "B", "A", "B"}, {"A", "B", "A_1", "B_1"}},
  };
  for (const auto& c : cases) {
    TNamedData data;
    data.Names = c.In;
    data.InitFields();
    std::vector<std::string> got;
    for (int i = 0; i < data.FieldCount(); ++i) got.push_back(data.Fields()[i]->Name());
    EXPECT_EQ(got, c.Out);
  }
}

// ---- field values -------------------------------------------------------------------

TEST(MemDataFields, VariantRoundTrips) {
  TBcd bcd = StrToBcd("123.4500");
  const struct {
    TFieldSpec Field;
    Variant In, Out;
  } cases[] = {
      {{"F", dtInt8}, Variant(std::int8_t(-5)), Variant(std::int8_t(-5))},
      {{"F", dtUInt8}, Variant(200u), Variant(std::uint8_t(200))},
      {{"F", dtInt16}, Variant(-300), Variant(std::int16_t(-300))},
      {{"F", dtUInt16}, Variant(60000), Variant(std::uint16_t(60000))},
      {{"F", dtInt32}, Variant("42"), Variant(42)},
      {{"F", dtUInt32}, Variant(std::uint32_t(4000000000u)), Variant(std::uint32_t(4000000000u))},
      {{"F", dtInt64}, Variant(std::int64_t(1) << 40), Variant(std::int64_t(1) << 40)},
      {{"F", dtFloat}, Variant("2.5"), Variant(2.5)},
      {{"F", dtBoolean}, Variant(true), Variant(true)},
      {{"F", dtBCD}, Variant(Currency::FromScaled(12345)), Variant(Currency::FromScaled(12345))},
      {{"F", dtFMTBCD}, Variant(bcd), Variant(bcd)},
      {{"F", dtString, 5}, Variant("abcdefg"), Variant("abcde")},
      {{"F", dtExtString}, Variant(std::string(3000, 'x')), Variant(std::string(3000, 'x'))},
      {{"F", dtWideString, 3}, Variant(u"wxyz"), Variant(u"wxy")},
      {{"F", dtExtWideString}, Variant(u"long wide"), Variant(u"long wide")},
      {{"F", dtVarBytes, 4}, Variant::FromBytes("ab", 2), Variant::FromBytes("ab", 2)},
      {{"F", dtExtVarBytes},
       Variant::FromBytes(std::string(70, 'q').data(), 70),
       Variant::FromBytes(std::string(70, 'q').data(), 70)},
      {{"F", dtDate},
       Variant::FromDate(EncodeDateTime(2024, 2, 29, 13, 0, 0, 0)),
       Variant::FromDate(EncodeDate(2024, 2, 29))},
      {{"F", dtDateTime}, Variant("9999-12-31 23:59:59.999999"),
       Variant::FromDateMicros(Variant("9999-12-31 23:59:59.999999").AsDateMicros())},
      {{"F", dtVariant}, Variant(u"any"), Variant(u"any")},
  };
  for (const auto& c : cases) {
    auto data = OpenData({c.Field});
    TRecBuf buf = data->AllocRecBuf();
    data->InitRecord(buf.get());
    EXPECT_TRUE(data->GetNull(1, buf.get()));
    data->PutFieldAsVariant(1, buf.get(), c.In);
    const Variant out = data->GetFieldAsVariant(1, buf.get());
    EXPECT_TRUE(VarStrictEqual(out, c.Out)) << "type " << c.Field.Type << ": " << VarToStr(out);
    data->FreeComplexFields(buf.get(), true);
  }
}

TEST(MemDataFields, RejectedValues) {
  const struct {
    TFieldSpec Field;
    Variant Value;
    const char* Message;
  } cases[] = {
      {{"F", dtInt16}, Variant(40000), nullptr},  // range error of the conversion
      {{"F", dtUInt16}, Variant(-1), nullptr},
      {{"F", dtInt64}, Variant(true), "Cannot convert type"},
      {{"F", dtInt16}, Variant(1.5), "Cannot convert type"},
      {{"F", dtBoolean}, Variant(1), "Cannot convert type"},
      {{"F", dtBytes, 3}, Variant::FromBytes("ab", 2), "Cannot convert type"},
      {{"F", dtVarBytes, 1}, Variant::FromBytes("ab", 2), "Cannot convert type"},
      {{"F", dtExtVarBytes}, Variant::FromBytes(std::vector<std::uint8_t>(70000, 1)), "Value is too long"},
      {{"F", dtCursor}, Variant(1), "Cannot convert type 32"},
  };
  for (const auto& c : cases) {
    auto data = OpenData({c.Field});
    TRecBuf buf = data->AllocRecBuf();
    data->InitRecord(buf.get());
    try {
      data->PutFieldAsVariant(1, buf.get(), c.Value);
      ADD_FAILURE() << "type " << c.Field.Type << " accepted " << VarToStr(c.Value);
    } catch (const EConvertError& e) {
      if (c.Message) {
        EXPECT_EQ(e.Message(), c.Message);
      }
    }
    EXPECT_TRUE(data->GetNull(1, buf.get())) << "a rejected value leaves the field as it was";
  }
  // The raw form of a long value is refused too.
  auto data = OpenData({{"F", dtExtVarBytes}});
  TRecBuf buf = data->AllocRecBuf();
  data->InitRecord(buf.get());
  std::vector<std::uint8_t> big(65536, 7);
  EXPECT_THROW(data->PutFieldValue(1, buf.get(), big.data(), 65536), EConvertError);
  data->PutFieldValue(1, buf.get(), big.data(), 65535);
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsBytes().size(), 65535u);
  data->FreeComplexFields(buf.get(), true);
}

TEST(MemDataFields, IntegerFieldsTakeEveryIntegerKind) {
  const Variant kinds[] = {Variant(std::int8_t(7)),  Variant(std::int16_t(7)),  Variant(std::int32_t(7)),
                           Variant(std::int64_t(7)), Variant(std::uint8_t(7)),  Variant(std::uint16_t(7)),
                           Variant(std::uint32_t(7)), Variant(std::uint64_t(7))};
  for (std::uint16_t type : {dtInt8, dtUInt8, dtInt16, dtUInt16, dtInt32, dtUInt32, dtInt64, dtUInt64}) {
    auto data = OpenData({{"F", type}});
    TRecBuf buf = data->AllocRecBuf();
    data->InitRecord(buf.get());
    for (const Variant& v : kinds) {
      data->PutFieldAsVariant(1, buf.get(), v);
      EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsInt64(), 7) << "type " << type << " from " << v.VarType();
    }
  }
  // A value outside the field's range is refused, never cut.
  const struct {
    std::uint16_t Type;
    Variant Value;
  } outOfRange[] = {
      {dtInt64, Variant(std::numeric_limits<std::uint64_t>::max())},
      {dtInt16, Variant(std::int64_t(40000))},
      {dtUInt16, Variant(std::int8_t(-1))},
      {dtUInt32, Variant(std::int64_t(1) << 32)},
      {dtUInt64, Variant(std::int8_t(-1))},
      {dtInt8, Variant(std::uint64_t(128))},
  };
  for (const auto& c : outOfRange) {
    auto data = OpenData({{"F", c.Type}});
    TRecBuf buf = data->AllocRecBuf();
    data->InitRecord(buf.get());
    EXPECT_THROW(data->PutFieldAsVariant(1, buf.get(), c.Value), EVariantOverflowError) << "type " << c.Type;
    EXPECT_TRUE(data->GetNull(1, buf.get()));
  }
}

class TEolData : public TMemData {
 public:
  bool NeedConvertEOL() override { return true; }
};

TEST(MemDataFields, TextRules) {
  auto data = OpenData({{"FIX", dtString, 4, true}, {"VAR", dtExtString}, {"U", dtString, 3}});
  TRecBuf buf = data->AllocRecBuf();
  data->InitRecord(buf.get());
  data->PutFieldAsVariant(1, buf.get(), Variant("AB  "));
  data->PutFieldAsVariant(2, buf.get(), Variant("x  "));
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsString(), "AB  ");
  data->SetTrimFixedChar(true);
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsString(), "AB");
  EXPECT_EQ(data->GetFieldAsVariant(2, buf.get()).AsString(), "x  ");
  data->SetTrimVarChar(true);
  EXPECT_EQ(data->GetFieldAsVariant(2, buf.get()).AsString(), "x");
  char raw[8] = {};
  bool blank = true;
  data->GetField(1, buf.get(), raw, blank);
  EXPECT_FALSE(blank);
  EXPECT_STREQ(raw, "AB");
  // A UTF-8 character that does not fit whole is left out.
  data->PutFieldAsVariant(3, buf.get(), Variant("a\xC3\xA9z"));
  EXPECT_EQ(data->GetFieldAsVariant(3, buf.get()).AsString(), "a\xC3\xA9");
  data->PutFieldAsVariant(3, buf.get(), Variant("ab\xC3\xA9"));
  EXPECT_EQ(data->GetFieldAsVariant(3, buf.get()).AsString(), "ab");
  // Empty text becomes null when asked.
  data->PutFieldAsVariant(2, buf.get(), Variant(""));
  EXPECT_FALSE(data->GetNull(2, buf.get()));
  data->SetSetEmptyStrToNull(true);
  data->PutFieldAsVariant(2, buf.get(), Variant(""));
  EXPECT_TRUE(data->GetNull(2, buf.get()));
  data->FreeComplexFields(buf.get(), true);

  // Line feeds become pairs when the store asks for it; pairs stay.
  auto eol = OpenData<TEolData>({{"S", dtString, 6}});
  TRecBuf b2 = eol->AllocRecBuf();
  eol->InitRecord(b2.get());
  eol->PutFieldAsVariant(1, b2.get(), Variant("a\nb\r\nc"));
  char out[7] = {};
  eol->GetField(1, b2.get(), out, blank);
  EXPECT_STREQ(out, "a\r\nb\r\n");

  // Rounding of non-database floats to the scale.
  auto flt = OpenData({{"F", dtFloat}});
  flt->Fields()[0]->SetScale(2);
  TRecBuf b3 = flt->AllocRecBuf();
  flt->InitRecord(b3.get());
  flt->PutFieldAsVariant(1, b3.get(), Variant(1.23456));
  EXPECT_DOUBLE_EQ(flt->GetFieldAsVariant(1, b3.get()).AsDouble(), 1.23);
  flt->PutFieldAsVariant(1, b3.get(), Variant(1.23456), true);
  EXPECT_DOUBLE_EQ(flt->GetFieldAsVariant(1, b3.get()).AsDouble(), 1.23456);
}

// A store of one field whose slot is `size` bytes (more than its length needs).
template <class T = TMemData>
std::unique_ptr<T> OpenSized(TFieldSpec field, int size) {
  auto data = std::make_unique<T>();
  data->SetAutoInitFields(false);
  test::AddFields(*data, {field});
  data->Fields()[0]->SetSize(size);
  data->InitFields();
  data->Open();
  return data;
}

TEST(MemDataFields, TimeSpansKeepSignAndDays) {
  auto data = OpenData({{"T", dtTime}});
  TRecBuf buf = data->AllocRecBuf();
  data->InitRecord(buf.get());
  std::uint8_t* slot = buf.get() + data->Fields()[0]->Offset();
  const struct {
    std::int64_t Micros;  // as a time column's reader stores it
    double MSecs;         // the signed 32-bit dfTime form; < 0 with Micros > 0: too large
  } cases[] = {
      {-5400 * USecsPerSec, -5400000},                          // -01:30:00
      {93600 * USecsPerSec, 93600000},                          // 26:00:00
      {-(360059 * USecsPerSec + 250), -360059000},              // -100:00:59.000250
      {45000 * USecsPerSec, 45000000},                          // 12:30:00
      {MaxTimeSpanMicros, -1},                                  // 838:59:59.999999
  };
  for (const auto& c : cases) {
    std::memcpy(slot, &c.Micros, 8);
    data->SetNull(1, buf.get(), false);
    const Variant v = data->GetFieldAsVariant(1, buf.get());
    EXPECT_EQ(v.VarType(), varDate);
    EXPECT_EQ(v.AsDateMicros(), c.Micros);
    EXPECT_NEAR(v.AsDate(), static_cast<double>(c.Micros) / USecsPerDay, 1e-15);
    // Written back as a variant, the span stays as it was.
    data->PutFieldAsVariant(1, buf.get(), v);
    std::int64_t stored = 0;
    std::memcpy(&stored, slot, 8);
    EXPECT_EQ(stored, c.Micros);
    // The store's exchange form carries every digit.
    std::int64_t exchanged = 0;
    bool blank = true;
    data->GetField(1, buf.get(), &exchanged, blank);
    EXPECT_EQ(exchanged, c.Micros);
    data->PutField(1, buf.get(), &exchanged);
    EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsDateMicros(), c.Micros);
    std::int32_t ms = 0;
    if (c.MSecs < 0 && c.Micros > 0) {
      EXPECT_THROW(GetDateFromBuf(slot, &ms, dfTime), EConvertError);
      continue;
    }
    GetDateFromBuf(slot, &ms, dfTime);
    EXPECT_EQ(ms, c.MSecs) << c.Micros;
  }
  // A calendar date-time keeps only its time of day, as before.
  data->PutFieldAsVariant(1, buf.get(), Variant::FromDate(EncodeDateTime(2024, 3, 1, 13, 15, 0, 0)));
  EXPECT_DOUBLE_EQ(data->GetFieldAsVariant(1, buf.get()).AsDate(), EncodeTime(13, 15, 0, 0));
}

TEST(MemDataFields, TextCopiesKeepWholeCharacters) {
  bool blank = true;
  // A wide slot with room for surrogate pairs: 2 characters, 4 units.
  auto wide = OpenSized({"W", dtWideString, 2}, 2 * 4 + 2);
  TRecBuf buf = wide->AllocRecBuf();
  wide->InitRecord(buf.get());
  const std::u16string two = u"\U0001F600\U0001F601";
  wide->PutFieldAsVariant(1, buf.get(), Variant(two));
  EXPECT_EQ(wide->GetFieldAsVariant(1, buf.get()).AsWideString(), two);
  char16_t out[6];
  std::fill(std::begin(out), std::end(out), u'#');
  wide->GetField(1, buf.get(), out, blank);
  EXPECT_EQ(std::u16string(out), two);
  EXPECT_EQ(out[5], u'#') << "nothing written past the slot's capacity";
  // The raw write form is bounded by the slot too, and never splits a pair.
  const std::u16string three = u"a\U0001F600\U0001F601";
  wide->PutField(1, buf.get(), three.c_str());
  EXPECT_EQ(wide->GetFieldAsVariant(1, buf.get()).AsWideString(), u"a\U0001F600");
  wide->GetField(1, buf.get(), out, blank);
  EXPECT_EQ(std::u16string(out), u"a\U0001F600");

  // A UTF-8 slot larger than its length in characters reads back whole.
  auto ansi = OpenSized({"S", dtString, 2}, 2 * 4 + 1);
  TRecBuf b2 = ansi->AllocRecBuf();
  ansi->InitRecord(b2.get());
  ansi->PutFieldAsVariant(1, b2.get(), Variant("\xC3\xA9\xF0\x9F\x98\x80"));
  char text[10] = {};
  ansi->GetField(1, b2.get(), text, blank);
  EXPECT_STREQ(text, "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(ansi->GetFieldAsVariant(1, b2.get()).AsString(), text);

  // A heap value longer than the declared length is cut before a character.
  auto ext = OpenData({{"E", dtExtString, 2}, {"X", dtExtWideString, 2}});
  TRecBuf b3 = ext->AllocRecBuf();
  ext->InitRecord(b3.get());
  ext->PutFieldAsVariant(1, b3.get(), Variant("a\xC3\xA9"));
  ext->PutFieldAsVariant(2, b3.get(), Variant(u"a\U0001F600"));
  ext->GetField(1, b3.get(), text, blank);
  EXPECT_STREQ(text, "a");
  ext->GetField(2, b3.get(), out, blank);
  EXPECT_EQ(std::u16string(out), u"a");
  ext->FreeComplexFields(b3.get(), true);

  // Line-feed conversion that fills the destination stops before a character.
  auto eol = OpenSized<TEolData>({"S", dtString, 4}, 5);
  TRecBuf b4 = eol->AllocRecBuf();
  eol->InitRecord(b4.get());
  eol->PutFieldAsVariant(1, b4.get(), Variant("a\n\xC3\xA9"));
  eol->GetField(1, b4.get(), text, blank);
  EXPECT_STREQ(text, "a\r\n");
  auto weol = OpenSized<TEolData>({"W", dtWideString, 4}, 2 * 4 + 2);
  TRecBuf b5 = weol->AllocRecBuf();
  weol->InitRecord(b5.get());
  weol->PutFieldAsVariant(1, b5.get(), Variant(u"a\n\U0001F600"));
  weol->GetField(1, b5.get(), out, blank);
  EXPECT_EQ(std::u16string(out), u"a\r\n");
}

// ---- string heap ----------------------------------------------------------------------

TEST(MemDataHeap, BuffersAndReferences) {
  TStringHeap heap;
  EXPECT_EQ(heap.NewBuf(0), nullptr);
  void* a = heap.NewBuf(5);
  EXPECT_EQ(TStringHeap::BufSize(a), 8);
  EXPECT_EQ(TStringHeap::RefMarker(a), TStringHeap::RefNull);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 8, 0u);
  // A buffer referenced twice survives the first dispose.
  EXPECT_EQ(heap.AddRef(a), a);
  EXPECT_FALSE(heap.DisposeBuf(a));
  EXPECT_TRUE(heap.DisposeBuf(a));
  // Freed buffers of a class are reused.
  EXPECT_EQ(heap.NewBuf(7), a);
  // A free buffer can be neither referenced nor disposed again.
  void* b = heap.NewBuf(16);
  heap.DisposeBuf(b);
  EXPECT_THROW((void)heap.AddRef(b), EAssertionFailed);
  EXPECT_THROW(heap.DisposeBuf(b), EAssertionFailed);
}

TEST(MemDataHeap, MarkerOverflowCopies) {
  TStringHeap heap;
  char* s = heap.AllocStr("shared");
  for (int i = TStringHeap::RefNull; i < TStringHeap::RefMax; ++i) ASSERT_EQ(heap.AddRef(s), s);
  EXPECT_EQ(TStringHeap::RefMarker(s), TStringHeap::RefMax);
  void* copy = heap.AddRef(s);
  ASSERT_NE(copy, s);
  EXPECT_STREQ(static_cast<char*>(copy), "shared");
  EXPECT_EQ(TStringHeap::RefMarker(copy), TStringHeap::RefNull);
  EXPECT_EQ(TStringHeap::RefMarker(s), TStringHeap::RefMax);
}

TEST(MemDataHeap, LargeBuffersAndClear) {
  TStringHeap heap;
  char* big = heap.AllocStr(std::string(5000, 'z').c_str());
  EXPECT_TRUE(heap.SysGetMem());
  EXPECT_EQ(std::strlen(big), 5000u);
  for (int i = 0; i < 3000; ++i) heap.NewBuf(1 + i % 2000);  // several blocks
  EXPECT_GT(heap.AllocatedBytes(), 3 * TStringHeap::BlockSize);
  heap.Clear();  // large buffers go too (the sanitizer build checks for leaks)
  EXPECT_TRUE(heap.Empty());
  EXPECT_EQ(heap.AllocatedBytes(), 0);
  char* trimmed = heap.AllocStr("ab  ", true);
  EXPECT_STREQ(trimmed, "ab");
}

TEST(MemDataHeap, ThreadSafety) {
  TStringHeap heap;
  heap.SetThreadSafety(true);
  void* shared = heap.AllocStr("x");
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      void* p = heap.NewBuf(1 + i % 300);
      void* r = heap.AddRef(shared);
      heap.DisposeBuf(r);
      heap.DisposeBuf(p);
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(TStringHeap::RefMarker(shared), TStringHeap::RefNull);
}

// ---- navigation, record numbers, bookmarks ----------------------------------------------

std::unique_ptr<TMemData> Numbers(int n) {
  auto data = OpenData({{"ID", dtInt32}});
  for (int i = 1; i <= n; ++i) Append(*data, {Variant(i)});
  return data;
}

TEST(MemDataNavigation, InsertDeleteAndRecordNumbers) {
  auto data = Numbers(5);
  data->SetRecordNo(3);
  TRecBuf buf = test::MakeRow(*data, {Variant(30)});
  data->InsertRecord(buf.get());  // before the third
  EXPECT_EQ(data->GetRecordNo(), 3);
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"1", "2", "30", "3", "4", "5"}));
  data->SetRecordNo(1);
  TRecBuf front = test::MakeRow(*data, {Variant(0)});
  data->InsertRecord(front.get());
  data->SetRecordNo(7);
  data->DeleteRecord();  // the last one: the position goes to its predecessor
  EXPECT_EQ(data->GetRecordCount(), 6);
  EXPECT_EQ(data->GetRecordNo(), 6);
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"0", "1", "2", "30", "3", "4"}));
  for (int i = 1; i <= 6; ++i) {
    data->SetRecordNo(i);
    EXPECT_EQ(data->GetRecordNo(), i);
  }
  data->SetToEnd();
  TRecBuf row = data->AllocRecBuf();
  data->GetPriorRecord(row.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, row.get()).AsInt32(), 4);
  data->SetToBegin();
  data->GetPriorRecord(row.get());
  EXPECT_TRUE(data->GetBOF());
}

TEST(MemDataNavigation, RecordNumberCache) {
  auto data = Numbers(2000);
  data->SetRecordNo(1700);
  EXPECT_TRUE(data->RecordNoCacheBuilt());
  EXPECT_EQ(data->GetRecordNo(), 1700);
  data->DeleteRecord();  // the array follows deletes and inserts
  EXPECT_TRUE(data->RecordNoCacheBuilt());
  data->SetRecordNo(10);
  TRecBuf mid = test::MakeRow(*data, {Variant(-1)});
  data->InsertRecord(mid.get());
  EXPECT_TRUE(data->RecordNoCacheBuilt());
  data->SetRecordNo(1900);
  TRecBuf row = data->AllocRecBuf();
  data->GetRecord(row.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, row.get()).AsInt32(), 1900);
  data->SetRecordNo(10);
  data->GetRecord(row.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, row.get()).AsInt32(), -1);
  data->SetRecordNo(5000);  // beyond the end: the last record
  EXPECT_EQ(data->GetRecordNo(), 2000);
}

TEST(MemDataNavigation, Bookmarks) {
  auto data = Numbers(30);
  data->SetRecordNo(25);
  TRecBuf buf = data->AllocRecBuf();
  TRecBookmark b25, b5, none;
  data->GetBookmark(b25);
  data->SetRecordNo(5);
  data->GetBookmark(b5);
  EXPECT_EQ(data->CompareBookmarks(&b5, &b25), -1);
  EXPECT_EQ(data->CompareBookmarks(&b25, &b25), 0);
  EXPECT_EQ(data->CompareBookmarks(nullptr, &b5), 1);
  ASSERT_TRUE(data->SetToBookmark(b25));
  EXPECT_EQ(data->GetRecordNo(), 25);

  // The bookmarked record and its whole block are freed: the bookmark is
  // not read through, it falls back to its record number.
  for (int i = 0; i < 10; ++i) {
    data->SetRecordNo(21);
    data->DeleteRecord();
  }
  EXPECT_EQ(data->BlockMan().BlockCount(), 2u);
  data->SetRecordNo(3);
  EXPECT_FALSE(data->SetToBookmark(b25)) << "record number 25 no longer exists";
  EXPECT_EQ(data->GetRecordNo(), 3);
  EXPECT_TRUE(data->BookmarkValid(&b5));
  EXPECT_FALSE(data->BookmarkValid(&b25));

  // A reused item with another serial is not taken for the old one.
  data->SetRecordNo(5);
  data->DeleteRecord();
  Append(*data, {Variant(99)});
  ASSERT_TRUE(data->SetToBookmark(b5));
  data->GetRecord(buf.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsInt32(), 6);

  // Close and open: found again through the record number only.
  data->GetBookmark(b5);
  data->Close();
  data->Open();
  EXPECT_FALSE(data->SetToBookmark(b5)) << "an empty store has no record 5";
  for (int i = 1; i <= 10; ++i) Append(*data, {Variant(i)});
  ASSERT_TRUE(data->SetToBookmark(b5));
  EXPECT_EQ(data->GetRecordNo(), 5);
  data->GetBookmark(none);
  EXPECT_FALSE(data->SetToBookmark(TRecBookmark{}));
}

TEST(MemDataNavigation, BookmarksOfHiddenRecords) {
  auto data = Numbers(10);
  data->SetCachedUpdates(true);
  TRecBookmark b5, b7, b9;
  data->SetRecordNo(7);
  data->GetBookmark(b7);
  data->SetRecordNo(9);
  data->GetBookmark(b9);
  data->SetRecordNo(5);
  data->GetBookmark(b5);
  data->DeleteRecord();  // cached: the record stays, hidden

  // Without a filter a hidden record's bookmark stays valid and leads to
  // the record after it.
  EXPECT_TRUE(data->BookmarkValid(&b5));
  ASSERT_TRUE(data->SetToBookmark(b5));
  TRecBuf buf = data->AllocRecBuf();
  data->GetRecord(buf.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsInt32(), 6);

  // While a filter is set the bookmarked record must also pass it.
  data->SetFilterFunc([&](void* rec) { return data->GetFieldAsVariant(1, rec).AsInt32() != 7; });
  data->FilterUpdated();
  EXPECT_FALSE(data->BookmarkValid(&b7)) << "filtered out, although record number 7 exists";
  EXPECT_FALSE(data->BookmarkValid(&b5));
  EXPECT_TRUE(data->BookmarkValid(&b9));
}

// A store that hands out its rows in blocks of four, as a provider does.
class TFetchingData : public TMemData {
 public:
  int Available = 10;
  int Fetched = 0;
  bool Fetch(bool) override {
    if (Fetched >= Available) return false;
    const auto rows = static_cast<std::uint32_t>(std::min(4, Available - Fetched));
    TBlockHeader* block = AllocFetchBlock(4);
    for (std::uint32_t i = 0; i < rows; ++i) {
      std::uint8_t* rec = TBlockManager::GetRecordPtr(BlockMan().BlockItem(block, i));
      InitRecord(rec);
      PutFieldAsVariant(1, rec, Variant(++Fetched));
    }
    LinkFetchedItems(block, rows, false);
    return true;
  }
};

TEST(MemDataNavigation, FetchingOnDemand) {
  auto data = OpenData<TFetchingData>({{"ID", dtInt32}});
  EXPECT_EQ(data->GetRecordCount(), 0);
  data->SetRecordNo(6);  // fetches until record 6 exists
  EXPECT_EQ(data->Fetched, 8);
  EXPECT_EQ(data->GetRecordNo(), 6);
  data->SetFilterText("ID <> 7");
  data->FilterUpdated();
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "8", "9", "10"}));
  EXPECT_EQ(data->GetRecordCount(), 9);
  EXPECT_EQ(data->BlockMan().BlockCount(), 3u);  // the unused items of the last block went back
  // Rows fetched backward go before the first one, nearest first.
  TBlockHeader* block = data->AllocFetchBlock(3);
  for (std::uint32_t i = 0; i < 2; ++i) {
    std::uint8_t* rec = TBlockManager::GetRecordPtr(data->BlockMan().BlockItem(block, i));
    data->InitRecord(rec);
    data->PutFieldAsVariant(1, rec, Variant(-static_cast<int>(i)));
  }
  data->LinkFetchedItems(block, 2, true);
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"-1", "0", "1", "2", "3", "4", "5", "6", "8", "9", "10"}));
  for (int i = 1; i <= 11; ++i) {
    data->SetRecordNo(i);
    EXPECT_EQ(data->GetRecordNo(), i);
  }
}

TEST(MemDataNavigation, CalculatedFieldsInFilterAndSort) {
  auto data = OpenData({{"ID", dtInt32}, {"CALC", dtInt32, 0, false, fdkCalculated}});
  TData& d = *data;
  data->OnGetCachedBuffer = [&d](void* buf) {
    const Variant id = d.GetFieldAsVariant(1, buf);
    d.PutFieldAsVariant(2, buf, Variant(id.AsInt32() % 3 * 10 - id.AsInt32()));
  };
  for (int i = 1; i <= 6; ++i) Append(*data, {Variant(i)});
  data->SetIndexFieldNames("CALC DESC");  // 9, 18, -3, 6, 15, -6
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"2", "5", "1", "4", "3", "6"}));
  data->SetFilterText("CALC > 10");
  data->FilterUpdated();
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"2", "5"}));
}

class TFailingOpen : public TMemData {
 public:
  int Closes = 0;
  void InternalClose() override { ++Closes; }
};

TEST(MemDataLifecycle, OpenFailureAndReopen) {
  auto data = OpenData<TFailingOpen>({{"ID", dtInt32}});
  Append(*data, {Variant(1)});
  data->Close();
  data->SetFilterText("NOPE = 1");
  EXPECT_THROW(data->Open(), Exception);
  EXPECT_FALSE(data->Active());
  EXPECT_EQ(data->Closes, 2) << "closed again after the failed parse";
  EXPECT_EQ(data->FilterExpression(), nullptr);
  data->SetFilterText("ID > 1");
  data->Open();
  for (int i = 1; i <= 3; ++i) Append(*data, {Variant(i)});
  data->FilterUpdated();
  data->SetIndexFieldNames("ID DESC");
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"3", "2"}));
  data->Reopen();  // rows gone; the filter and the sort order stay
  EXPECT_EQ(data->GetRecordCount(), 0);
  for (int i = 1; i <= 3; ++i) Append(*data, {Variant(i)});
  EXPECT_EQ(Column(*data, 1), (std::vector<std::string>{"3", "2"}));
}

}  // namespace
}  // namespace lumo
