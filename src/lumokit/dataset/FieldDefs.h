// Field definitions: what a data set's cursor offers, column by column
// (name, type, size, precision, attributes, child definitions of
// structured columns), before any field object exists. A data set fills
// its TFieldDefs when it opens or is asked to, and creates its default
// fields from them.
//
// Decisions: definitions are owned by their list; Find compares names as
// fields do; "Updated" is cleared by any change to the list and set by the
// data set once the definitions match its cursor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/dataset/DB.h>

namespace lumo {

class TDataSet;
class TField;
class TFieldDefs;

enum TFieldAttribute : std::uint8_t { faHiddenCol, faReadonly, faRequired, faLink, faUnNamed, faFixed };
using TFieldAttributes = TEnumSet<TFieldAttribute>;

class TFieldDef {
 public:
  TFieldDef(TFieldDefs& owner, std::string name, TFieldType dataType, int size, bool required, int fieldNo);
  TFieldDef(const TFieldDef&) = delete;
  TFieldDef& operator=(const TFieldDef&) = delete;
  ~TFieldDef();

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value);
  TFieldType DataType() const noexcept { return FDataType; }
  void SetDataType(TFieldType value);
  int Size() const noexcept { return FSize; }
  void SetSize(int value);
  int Precision() const noexcept { return FPrecision; }
  void SetPrecision(int value);
  bool Required() const noexcept { return FAttributes.Contains(faRequired); }
  void SetRequired(bool value);
  TFieldAttributes Attributes() const noexcept { return FAttributes; }
  void SetAttributes(TFieldAttributes value);
  // 1-based number of the column in the cursor.
  int FieldNo() const noexcept { return FFieldNo; }
  void SetFieldNo(int value) noexcept { FFieldNo = value; }
  bool InternalCalcField() const noexcept { return FInternalCalcField; }
  void SetInternalCalcField(bool value) noexcept { FInternalCalcField = value; }
  // The parent definition of a child (nullptr at the top).
  TFieldDef* ParentDef() const noexcept;
  // Child definitions of ftADT/ftArray columns (created on first use).
  TFieldDefs& ChildDefs();
  bool HasChildDefs() const noexcept;
  TFieldDefs& Collection() const noexcept { return *FOwner; }

  // Creates the field this definition describes in `dataSet` (or as a
  // child of `parent`), with its children; returns it.
  TField& CreateField(TDataSet& dataSet, TField* parent = nullptr);

 private:
  friend class TFieldDefs;
  void Changed();

  TFieldDefs* FOwner;
  std::string FName;
  TFieldType FDataType;
  int FSize;
  int FPrecision = 0;
  int FFieldNo;
  TFieldAttributes FAttributes;
  bool FInternalCalcField = false;
  std::unique_ptr<TFieldDefs> FChildDefs;
};

class TFieldDefs {
 public:
  // `dataSet` owns the list; `parentDef` is set for child definitions.
  explicit TFieldDefs(TDataSet* dataSet, TFieldDef* parentDef = nullptr);
  TFieldDefs(const TFieldDefs&) = delete;
  TFieldDefs& operator=(const TFieldDefs&) = delete;
  ~TFieldDefs();

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  // Raises "List index out of bounds (%d)".
  TFieldDef& Items(int index) const;
  TFieldDef& operator[](int index) const { return Items(index); }
  // Appends a definition; field number = position unless given.
  TFieldDef& Add(std::string name, TFieldType dataType, int size = 0, bool required = false, int fieldNo = 0);
  TFieldDef& AddFieldDef();
  void Clear();
  void Delete(int index);
  TFieldDef* Find(std::string_view name) const;
  // Raises "Field '%s' not found".
  TFieldDef& FieldDefByName(std::string_view name) const;
  int IndexOf(std::string_view name) const;

  // Asks the data set to fill the definitions from its cursor when they
  // are not up to date.
  void Update();
  bool Updated() const noexcept { return FUpdated; }
  void SetUpdated(bool value) noexcept { FUpdated = value; }
  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate() noexcept;
  bool Updating() const noexcept { return FUpdateCount > 0; }

  TDataSet* DataSet() const noexcept { return FDataSet; }
  TFieldDef* ParentDef() const noexcept { return FParentDef; }

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

 private:
  friend class TFieldDef;
  void Changed() noexcept;

  TDataSet* FDataSet;
  TFieldDef* FParentDef;
  std::vector<std::unique_ptr<TFieldDef>> FItems;
  bool FUpdated = false;
  int FUpdateCount = 0;
};

}  // namespace lumo
