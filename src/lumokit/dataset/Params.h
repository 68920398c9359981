// The dataset framework's statement parameters: TParam holds one named
// value with its field type and direction, TParams is the ordered
// collection a command or data set keeps, found by name ignoring case.
// The component layer derives its own parameter and collection from these
// (large objects, provider subtypes) through the virtual accessors and the
// item factory CreateItem.
//
// Decisions:
// - Value is a Variant; an unassigned or Null value is null. Assigning a
//   value (through Value or any As... setter) makes the parameter bound.
// - The typed setters also set DataType (AsInteger -> ftInteger, AsString
//   -> ftString, AsFloat -> ftFloat ...); SetValue leaves a known DataType
//   alone and derives an unknown one from the variant's type.
// - The typed getters convert the value with the Variant rules; a null
//   parameter reads as 0, 0.0, false or "" (never raises).
// - Names compare ignoring case (AnsiSameText, as the provider's parameter
//   descriptors do); ParamByName raises EDatabaseError
//   "Parameter '%s' not found".
// - Assign copies name, data type, direction, value, Bound, size,
//   precision and scale; TParams::Assign makes items of this collection's
//   own class (CreateItem) and assigns each source item to one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Variant.h>
#include <lumokit/dataset/DB.h>

namespace lumo {

class TParams;

enum TParamType : std::uint8_t { ptUnknown = 0, ptInput = 1, ptOutput = 2, ptInputOutput = 3, ptResult = 4 };

// The field type a value of this variant type is given by default
// (ftUnknown for Empty, Null and arrays).
TFieldType FieldTypeOfVariant(const Variant& value) noexcept;

class TParam {
 public:
  TParam();
  TParam(const TParam&) = delete;
  TParam& operator=(const TParam&) = delete;
  virtual ~TParam();

  // Copies everything but the collection it belongs to.
  virtual void Assign(const TParam& source);
  // The value is cleared (null); type and name stay.
  virtual void Clear();

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  TFieldType DataType() const noexcept { return FDataType; }
  virtual void SetDataType(TFieldType value) { FDataType = value; }
  TParamType ParamType() const noexcept { return FParamType; }
  void SetParamType(TParamType value) noexcept { FParamType = value; }
  bool Bound() const noexcept { return FBound; }
  void SetBound(bool value) noexcept { FBound = value; }
  std::int32_t Size() const noexcept { return FSize; }
  void SetSize(std::int32_t value) noexcept { FSize = value; }
  std::int32_t Precision() const noexcept { return FPrecision; }
  void SetPrecision(std::int32_t value) noexcept { FPrecision = value; }
  std::int32_t NumericScale() const noexcept { return FNumericScale; }
  void SetNumericScale(std::int32_t value) noexcept { FNumericScale = value; }

  virtual Variant Value() const { return FValue; }
  virtual void SetValue(const Variant& value);
  virtual bool IsNull() const { return FValue.IsNullOrEmpty(); }

  virtual std::string AsString() const;
  virtual void SetAsString(const std::string& value);
  virtual std::u16string AsWideString() const;
  virtual void SetAsWideString(const std::u16string& value);
  virtual std::int32_t AsInteger() const;
  virtual void SetAsInteger(std::int32_t value);
  virtual void SetAsSmallInt(std::int16_t value);
  virtual void SetAsWord(std::uint16_t value);
  virtual std::int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(std::int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual Currency AsCurrency() const;
  virtual void SetAsCurrency(Currency value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);
  virtual void SetAsDate(TDateTime value);
  virtual void SetAsTime(TDateTime value);
  virtual Variant::Bytes AsBytes() const;
  virtual void SetAsBytes(const Variant::Bytes& value);
  virtual void SetAsMemo(const std::string& value);

  // The collection the parameter is in (nullptr when free-standing).
  TParams* Collection() const noexcept { return FCollection; }
  // Position in the collection, -1 when free-standing.
  int Index() const;

 protected:
  // Stores `value` with `type` and marks the parameter bound.
  void SetTypedValue(TFieldType type, Variant value);

 private:
  friend class TParams;

  TParams* FCollection = nullptr;
  std::string FName;
  TFieldType FDataType = ftUnknown;
  TParamType FParamType = ptUnknown;
  Variant FValue;
  bool FBound = false;
  std::int32_t FSize = 0;
  std::int32_t FPrecision = 0;
  std::int32_t FNumericScale = 0;
};

class TParams {
 public:
  TParams();
  TParams(const TParams&) = delete;
  TParams& operator=(const TParams&) = delete;
  virtual ~TParams();

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TParam& Items(int index) const;
  TParam& operator[](int index) const { return Items(index); }

  // A new item of this collection's class, appended.
  TParam& Add();
  TParam& CreateParam(TFieldType dataType, const std::string& name, TParamType paramType);
  // Takes ownership of `param` (which must not be in a collection).
  TParam& AddParam(std::unique_ptr<TParam> param);
  // Gives up ownership of `param`; the caller now owns it.
  std::unique_ptr<TParam> RemoveParam(TParam& param);
  void Delete(int index);
  void Clear();

  // The first parameter of that name, ignoring case; nullptr when none.
  TParam* FindParam(std::string_view name) const;
  TParam& ParamByName(std::string_view name) const;
  int IndexOf(const TParam* param) const noexcept;

  // Replaces the items with copies of the source's.
  virtual void Assign(const TParams& source);
  // Gives each parameter the value and type of the source's parameter of
  // the same name (those without one keep theirs).
  void AssignValues(const TParams& source);
  // Same count, and at each position the same name, type and value.
  bool IsEqual(const TParams& other) const;

 protected:
  // The item class of this collection.
  virtual std::unique_ptr<TParam> CreateItem();
  // Called after the list changed (items added, removed or replaced).
  virtual void Update() {}

 private:
  std::vector<std::unique_ptr<TParam>> FItems;
};

}  // namespace lumo
