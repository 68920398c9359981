// The smallest cursor the dataset framework needs, for its own tests: rows
// are raw images of the fields' native forms (a has-value byte, then
// DataSize bytes, per field) held in a vector; a bookmark is the row index.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <lumokit/dataset/DataSet.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo::test {

class TVectorDataSet : public TDataSet {
 public:
  struct TColumn {
    std::string Name;
    TFieldType Type = ftInteger;
    int Size = 0;
    bool Required = false;
  };

  explicit TVectorDataSet(std::vector<TColumn> columns) : FColumns(std::move(columns)) {}
  ~TVectorDataSet() override {
    Destroying();
    Close();
  }

  int Rows() const noexcept { return static_cast<int>(FRows.size()); }
  int Cursor() const noexcept { return FCursor; }
  bool ReadOnlyData = false;

  bool GetFieldData(const TField& field, void* buffer) override {
    TRecordBuffer rec = StateBuffer();
    if (!rec) return false;
    const std::uint8_t* slot = rec + SlotOffset(field);
    if (!slot[0]) return false;
    if (buffer) std::memcpy(buffer, slot + 1, static_cast<std::size_t>(field.DataSize()));
    return true;
  }

  void SetFieldData(TField& field, const void* buffer) override {
    if (State() != dsEdit && State() != dsInsert && State() != dsCalcFields)
      DatabaseError("Dataset not in edit or insert mode");
    field.Validate(buffer);
    std::uint8_t* slot = StateBuffer() + SlotOffset(field);
    slot[0] = buffer != nullptr;
    if (buffer) std::memcpy(slot + 1, buffer, static_cast<std::size_t>(field.DataSize()));
    if (State() != dsCalcFields) DataEvent(deFieldChange, &field);
  }

 protected:
  struct TInfo {
    std::int32_t Row;
    TBookmarkFlag Flag;
  };

  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    for (const TColumn& c : FColumns) FieldDefs().Add(c.Name, c.Type, c.Size, c.Required);
    FieldDefs().SetUpdated(true);
  }
  void InternalOpen() override {
    InternalInitFieldDefs();
    if (FieldCount() == 0) CreateFields();
    BindFields(true);
    FOffsets.clear();
    std::size_t at = sizeof(TInfo);
    for (const auto& f : Fields()) {
      FOffsets.push_back(at);
      at += 1 + static_cast<std::size_t>(f->DataSize());
    }
    FSize = at;
    SetBookmarkSize(sizeof(std::int32_t));
    FCursor = -1;
    FOpen = true;
  }
  void InternalClose() override {
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    FOpen = false;
  }
  bool IsCursorOpen() override { return FOpen; }
  std::size_t RecordBufferSize() override { return FSize; }

  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool) override {
    const int n = Rows();
    if (mode == gmNext) FCursor = std::min(FCursor + 1, n);
    if (mode == gmPrior) FCursor = std::max(FCursor - 1, -1);
    if (FCursor < 0) return grBOF;
    if (FCursor >= n) return mode == gmCurrent ? grError : grEOF;
    std::memcpy(buffer + sizeof(TInfo), FRows[static_cast<std::size_t>(FCursor)].data(), FSize - sizeof(TInfo));
    Info(buffer) = TInfo{FCursor, bfCurrent};
    GetCalcFields(buffer);
    return grOK;
  }
  void InternalFirst() override { FCursor = -1; }
  void InternalLast() override { FCursor = Rows(); }
  void InternalGotoBookmark(const std::uint8_t* bookmark) override { std::memcpy(&FCursor, bookmark, 4); }
  void InternalSetToRecord(TRecordBuffer buffer) override { FCursor = Info(buffer).Row; }
  void GetBookmarkData(TRecordBuffer buffer, std::uint8_t* data) override { std::memcpy(data, &Info(buffer).Row, 4); }
  void SetBookmarkData(TRecordBuffer buffer, const std::uint8_t* data) override {
    std::memcpy(&Info(buffer).Row, data, 4);
  }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override { return Info(buffer).Flag; }
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value) override { Info(buffer).Flag = value; }
  void InternalInitRecord(TRecordBuffer buffer) override { std::memset(buffer, 0, FSize); }
  void InternalAddRecord(TRecordBuffer buffer, bool append) override {
    const int at = append || FCursor < 0 ? Rows() : std::min(FCursor, Rows());
    FRows.insert(FRows.begin() + at, Image(buffer));
    FCursor = at;
  }
  void InternalDelete() override { FRows.erase(FRows.begin() + FCursor); }
  void InternalPost() override {
    TDataSet::InternalPost();
    if (State() == dsEdit) {
      FRows[static_cast<std::size_t>(FCursor)] = Image(ActiveBuffer());
    } else {
      const bool append = Info(ActiveBuffer()).Flag == bfEOF;
      InternalAddRecord(ActiveBuffer(), append);
    }
  }
  int GetRecordCount() override { return Rows(); }
  int GetRecNo() override { return IsEmpty() ? 0 : Info(ActiveBuffer()).Row + 1; }
  void SetRecNoValue(int value) override {
    CheckBrowseMode();
    FCursor = value - 1;
    Resync({});
  }
  bool GetCanModify() override { return !ReadOnlyData; }
  void ClearCalcFields(TRecordBuffer buffer) override {
    for (const auto& f : Fields())
      if (f->FieldKind() != fkData) buffer[SlotOffset(*f)] = 0;
  }

 private:
  TRecordBuffer StateBuffer() {
    if (State() == dsCalcFields) return CalcBuffer();
    if (IsEmpty() && State() == dsBrowse) return nullptr;
    return ActiveBuffer();
  }
  std::size_t SlotOffset(const TField& field) const {
    return FOffsets[static_cast<std::size_t>(Fields().IndexOf(&field))];
  }
  static TInfo& Info(TRecordBuffer buffer) { return *reinterpret_cast<TInfo*>(buffer); }
  std::vector<std::uint8_t> Image(TRecordBuffer buffer) const {
    return std::vector<std::uint8_t>(buffer + sizeof(TInfo), buffer + FSize);
  }

  std::vector<TColumn> FColumns;
  std::vector<std::vector<std::uint8_t>> FRows;
  std::vector<std::size_t> FOffsets;
  std::size_t FSize = sizeof(TInfo);
  int FCursor = -1;
  bool FOpen = false;
};

}  // namespace lumo::test
