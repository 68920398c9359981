// Helpers shared by the record-store tests: building a store from a field
// list, appending rows given as variants, and reading the visible rows back.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <lumokit/data/MemData.h>

namespace lumo::test {

struct TFieldSpec {
  std::string Name;
  std::uint16_t Type = dtInt32;
  std::uint16_t Length = 0;
  bool Fixed = false;
  TFieldDescKind Kind = fdkData;
};

inline void AddFields(TData& data, const std::vector<TFieldSpec>& specs) {
  for (const TFieldSpec& s : specs) {
    std::unique_ptr<TFieldDesc> f = data.GetFieldDescType();
    f->SetName(s.Name);
    f->SetDataType(s.Type);
    f->SetLength(s.Length);
    f->SetSize(FieldTypeMinSize(s.Type, s.Length));
    f->SetFixed(s.Fixed);
    f->SetFieldDescKind(s.Kind);
    data.Fields().Add(std::move(f));
  }
}

// A store with the given fields, laid out and open.
template <class T = TMemData>
std::unique_ptr<T> OpenData(const std::vector<TFieldSpec>& specs) {
  auto data = std::make_unique<T>();
  data->SetAutoInitFields(false);
  AddFields(*data, specs);
  data->InitFields();
  data->Open();
  return data;
}

// A new record buffer holding the values (an Empty variant leaves the field null).
inline TRecBuf MakeRow(TData& data, const std::vector<Variant>& values) {
  TRecBuf buf = data.AllocRecBuf(true);
  data.InitRecord(buf.get());
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!values[i].IsEmpty()) data.PutFieldAsVariant(static_cast<int>(i) + 1, buf.get(), values[i]);
  return buf;
}

inline void Append(TData& data, const std::vector<Variant>& values) {
  TRecBuf buf = MakeRow(data, values);
  data.AppendRecord(buf.get());
}

// The visible rows' values of one field, as text ("null" for null), in order.
inline std::vector<std::string> Column(TData& data, int fieldNo) {
  std::vector<std::string> out;
  TRecBuf buf = data.AllocRecBuf(true);
  data.SetToBegin();
  for (;;) {
    data.GetNextRecord(buf.get());
    if (data.GetEOF()) break;
    Variant v = data.GetFieldAsVariant(fieldNo, buf.get());
    out.push_back(v.IsNull() ? "null" : VarToStr(v));
  }
  return out;
}

// Moves to the visible row whose first field equals `id`.
inline bool Locate(TData& data, int id) {
  TRecBuf buf = data.AllocRecBuf(true);
  data.SetToBegin();
  for (;;) {
    data.GetNextRecord(buf.get());
    if (data.GetEOF()) return false;
    if (data.GetFieldAsVariant(1, buf.get()).AsInt32() == id) return true;
  }
}

}  // namespace lumo::test
