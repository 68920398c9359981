// Feeds arbitrary text to the record store's filter expressions and
// IndexFieldNames lists, and to the mask matcher. Text that does not parse
// must be refused with the store's own messages; text that parses must
// filter and sort a small store without a crash, and the record count must
// agree with a walk over the visible rows.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/data/MemData.h>

using namespace lumo;

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void AddField(TMemData& data, const char* name, std::uint16_t type, std::uint16_t length) {
  std::unique_ptr<TFieldDesc> f = data.GetFieldDescType();
  f->SetName(name);
  f->SetDataType(type);
  f->SetLength(length);
  f->SetSize(FieldTypeMinSize(type, length));
  data.Fields().Add(std::move(f));
}

TMemData& Store() {
  static std::unique_ptr<TMemData> data = [] {
    auto d = std::make_unique<TMemData>();
    d->SetAutoInitFields(false);
    AddField(*d, "ID", dtInt32, 0);
    AddField(*d, "NAME", dtString, 12);
    AddField(*d, "W", dtWideString, 6);
    AddField(*d, "F", dtFloat, 0);
    AddField(*d, "D", dtDateTime, 0);
    AddField(*d, "E", dtExtString, 0);
    AddField(*d, "B", dtBoolean, 0);
    AddField(*d, "ORDER DATE", dtDate, 0);
    d->InitFields();
    d->Open();
    const char* names[] = {"Anna", "ab%", "", "x_y", "Z*"};
    for (int i = 0; i < 12; ++i) {
      TRecBuf buf = d->AllocRecBuf();
      d->InitRecord(buf.get());
      d->PutFieldAsVariant(1, buf.get(), Variant(i * 7 - 20));
      if (i % 5 != 4) d->PutFieldAsVariant(2, buf.get(), Variant(names[i % 5]));
      d->PutFieldAsVariant(3, buf.get(), Variant(u"w\u00e9" + std::u16string(i % 3, u'z')));
      if (i % 4) d->PutFieldAsVariant(4, buf.get(), Variant(i * 0.75 - 3));
      d->PutFieldAsVariant(5, buf.get(), Variant::FromDate(EncodeDate(2020, 1 + i, 1 + i)));
      d->PutFieldAsVariant(6, buf.get(), Variant(std::string(i, 'e')));
      d->PutFieldAsVariant(7, buf.get(), Variant(i % 2 == 0));
      d->PutFieldAsVariant(8, buf.get(), Variant::FromDate(EncodeDate(1999, 12, 1 + i)));
      d->AppendRecord(buf.get());
    }
    return d;
  }();
  return *data;
}

int Walk(TMemData& data) {
  TRecBuf buf = data.AllocRecBuf();
  int n = 0;
  data.SetToBegin();
  for (;;) {
    data.GetNextRecord(buf.get());
    if (data.GetEOF()) break;
    Check(data.GetRecordNo() == ++n);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = bytes[0];
  const std::string_view text(reinterpret_cast<const char*>(bytes + 1), size - 1);
  TMemData& data = Store();
  data.SetFilterCaseInsensitive(flags & 1);
  data.SetFilterNoPartialCompare(flags & 2);

  try {
    data.SetFilterText(std::string(text));
  } catch (const Exception& e) {
    Check(e.Message() == "Illegal filter expression" || e.Message().rfind("Field ", 0) == 0);
    Check(data.FilterExpression() == nullptr);
    data.SetFilterText("");
  }
  data.FilterUpdated();
  Check(Walk(data) == data.GetRecordCount());

  try {
    data.SetIndexFieldNames(std::string(text));
  } catch (const Exception& e) {
    Check(e.Message() == "Invalid IndexFieldNames format!" || e.Message().rfind("Field ", 0) == 0);
  }
  Check(Walk(data) == data.GetRecordCount());
  data.SetIndexFieldNames("");
  data.SetFilterText("");
  data.FilterUpdated();
  Check(data.GetRecordCount() == 12);

  const std::size_t half = text.size() / 2;
  (void)MatchesMask(text.substr(0, half), text.substr(half));
  return 0;
}
