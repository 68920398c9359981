// Provider-specific options: the typed options a provider declares (string,
// integer, boolean, enumeration), the option lists that turn text lines such
// as "MySQL.UseUnicode=True" into property settings on provider objects, and
// the class references with which options name the classes they apply to.
//
// Decisions:
// - Options name their classes by class references (ClassRef.h); the exact
//   class test is typeid equality, so an option lists every concrete class
//   it applies to.
// - Options name their classes by TClassId (type and name); the factory is
//   not needed there, so classes of any role can share one list.
// - The object an option list imports into is a TOptionTarget: the exact
//   class tested, and the property call used. The two may differ (a record
//   set's options are set on its command through the command's target).
// - Option lines: ExtractOption trims the prefix and the name; the value is
//   kept as written (string options keep their blanks, the other kinds trim
//   what they read).
// - ImportOptions validates and converts every option first and assigns
//   afterwards, so a rejected line leaves the object as it was.
// - Integer options accept every 32-bit integer, -2147483647 included.
// - GetAsNative and GetAsString raise the invalid-value error for a text or
//   value the option does not know; GetValuesList clears the list first.
// - Enumeration options take an explicit name table (TEnumTypeInfo). The
//   names are the value names as the enumeration declares them; when its
//   type name starts with "_", every name is shown and read without its
//   first character ("_dkIgnore" is "dkIgnore"). 256 names or more, or none,
//   are a programming error.
// - Failures are plain errors (lumo::Exception) with the messages below;
//   a duplicate option name in one list is a programming error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include <lumokit/core/ClassRef.h>
#include <lumokit/core/StringList.h>
#include <lumokit/core/SysUtils.h>
#include <lumokit/core/Variant.h>

namespace lumo {

// ---- option targets -----------------------------------------------------------------------

// The object an option list imports into: its exact class and its property
// call. Holds references; it lives no longer than the call it is made for.
class TOptionTarget {
 public:
  using TSetPropFunc = std::function<void(int prop, const Variant& value)>;

  // Any polymorphic object with SetProp(int, const Variant&).
  template <class T>
  explicit TOptionTarget(T& object)
      : FClass(&typeid(object)),
        FObject(dynamic_cast<void*>(&object)),
        FSetProp([&object](int prop, const Variant& value) { object.SetProp(prop, value); }) {
    static_assert(std::is_polymorphic_v<T>, "option targets are tested by their dynamic class");
  }
  // An object tested as class `cls` whose properties go to `setProp`.
  TOptionTarget(const std::type_info& cls, TSetPropFunc setProp)
      : FClass(&cls), FSetProp(std::move(setProp)) {}

  const std::type_info& Class() const noexcept { return *FClass; }
  void SetProp(int prop, const Variant& value) const { FSetProp(prop, value); }
  // The object when it is exactly of class T, else nullptr.
  template <class T>
  T* As() const noexcept {
    return FObject && *FClass == typeid(T) ? static_cast<T*>(FObject) : nullptr;
  }

 private:
  const std::type_info* FClass;
  void* FObject = nullptr;  // the complete object, when known
  TSetPropFunc FSetProp;
};

// ---- options ----------------------------------------------------------------------------

using TGetValuesListEvent = std::function<void(TStrings& list)>;
using TAssignValueEvent = std::function<void(const TOptionTarget& target, const Variant& value)>;

// Raises "Invalid value: " + text + " for option " + name.
[[noreturn]] void InvalidOptionValue(std::string_view text, std::string_view optionName);

class TOption {
 public:
  TOption(std::string name, int internalIndex, std::vector<TClassId> classes, Variant defaultValue,
          bool isUsedInConnectString = false);
  TOption(const TOption&) = delete;
  TOption& operator=(const TOption&) = delete;
  virtual ~TOption();

  // The value as text, and the text as value.
  virtual std::string GetAsString(const Variant& value) const = 0;
  virtual Variant GetAsNative(const std::string& text) const = 0;
  // Whether the kind accepts `text`.
  virtual bool CheckValue(const std::string& text) const = 0;
  // Raises the invalid-value error unless `text` is allowed: one of the
  // values the values-list handler yields (ignoring case and surrounding
  // blanks) when there is a handler, else what CheckValue accepts.
  virtual void Validate(const std::string& text) const;
  // The allowed values: the handler's when there is one, else the kind's.
  virtual void GetValuesList(TStrings& list) const;

  // Whether the option applies to objects of exactly class `cls`.
  bool HasClass(const std::type_info& cls) const noexcept;

  const std::string& OptionName() const noexcept { return FOptionName; }
  int InternalIndex() const noexcept { return FInternalIndex; }
  const std::vector<TClassId>& InternalClasses() const noexcept { return FInternalClasses; }
  const Variant& DefaultValue() const noexcept { return FDefaultValue; }
  bool IsUsedInConnectString() const noexcept { return FIsUsedInConnectString; }
  const TGetValuesListEvent& OnGetValuesList() const noexcept { return FOnGetValuesList; }
  void SetOnGetValuesList(TGetValuesListEvent value) { FOnGetValuesList = std::move(value); }
  const TAssignValueEvent& OnAssignValue() const noexcept { return FOnAssignValue; }
  void SetOnAssignValue(TAssignValueEvent value) { FOnAssignValue = std::move(value); }

 protected:
  // The kind's own values (none in the base).
  virtual void InternalGetValuesList(TStrings& list) const;

 private:
  std::string FOptionName;
  std::int32_t FInternalIndex;
  std::vector<TClassId> FInternalClasses;
  Variant FDefaultValue;
  TGetValuesListEvent FOnGetValuesList;
  TAssignValueEvent FOnAssignValue;
  bool FIsUsedInConnectString;
};

// Any text, taken as it is.
class TStringOption : public TOption {
 public:
  using TOption::TOption;
  std::string GetAsString(const Variant& value) const override;
  Variant GetAsNative(const std::string& text) const override;
  bool CheckValue(const std::string& text) const override;
};

// A 32-bit integer (the text trimmed).
class TIntegerOption : public TOption {
 public:
  using TOption::TOption;
  std::string GetAsString(const Variant& value) const override;
  Variant GetAsNative(const std::string& text) const override;
  bool CheckValue(const std::string& text) const override;
};

// "True" or "False", ignoring case and surrounding blanks.
class TBooleanOption : public TOption {
 public:
  using TOption::TOption;
  std::string GetAsString(const Variant& value) const override;
  Variant GetAsNative(const std::string& text) const override;
  bool CheckValue(const std::string& text) const override;

 protected:
  void InternalGetValuesList(TStrings& list) const override;
};

// The description of an enumeration: its type name as written and the names
// of its values from the lowest (MinValue) up.
struct TEnumTypeInfo {
  std::string TypeName;
  std::vector<std::string> Names;
  int MinValue = 0;
};

// One value of an enumeration, by name (ignoring case); the value is the
// 32-bit integer of the enumeration value.
class TEnumeratorOption : public TOption {
 public:
  TEnumeratorOption(std::string name, int internalIndex, std::vector<TClassId> classes, Variant defaultValue,
                    TEnumTypeInfo typeInfo, bool isUsedInConnectString = false);

  std::string GetAsString(const Variant& value) const override;
  Variant GetAsNative(const std::string& text) const override;
  bool CheckValue(const std::string& text) const override;

  const TEnumTypeInfo& TypeInfo() const noexcept { return FTypeInfo; }
  int MinValue() const noexcept { return FTypeInfo.MinValue; }
  int MaxValue() const noexcept { return FTypeInfo.MinValue + static_cast<int>(FTypeInfo.Names.size()) - 1; }
  // The name as shown and read (without the first character for a type
  // whose name starts with "_").
  std::string_view ValueName(int value) const;

 protected:
  void InternalGetValuesList(TStrings& list) const override;

 private:
  // The index of the name `text` (trimmed, ignoring case), or -1.
  int IndexOfName(const std::string& text) const;

  TEnumTypeInfo FTypeInfo;
  bool FHideFirstChar;
};

// ---- option lines ---------------------------------------------------------------------

// Splits "Prefix.Name=Value". False (and nothing set) for a line without
// "="; a "." after the "=" belongs to the value; without a usable "." the
// prefix is empty.
bool ExtractOption(std::string_view line, std::string& prefix, std::string& name, std::string& value);

// ---- option lists ----------------------------------------------------------------------

// The options of one kind of provider object, sorted by name (ignoring
// case), with the provider name as prefix. Owns its options. Read-only use
// (import, lookup, export) may come from several threads at once.
class TOptionsList {
 public:
  explicit TOptionsList(std::string prefix);
  TOptionsList(const TOptionsList&) = delete;
  TOptionsList& operator=(const TOptionsList&) = delete;
  ~TOptionsList();

  // Adds an option and returns it.
  TOption& Add(std::unique_ptr<TOption> option);
  template <class TKind, class... Args>
  TKind& AddNew(Args&&... args) {
    auto option = std::make_unique<TKind>(std::forward<Args>(args)...);
    TKind& ref = *option;
    Add(std::move(option));
    return ref;
  }
  // nullptr when there is no option of that name.
  TOption* OptionByName(std::string_view name) const;

  // Sets every option whose classes contain exactly the target's class:
  // from the first line of `source` whose prefix is empty or the list's and
  // whose name is the option's (both ignoring case), else to its default.
  // Through the option's OnAssignValue when set, else the target's SetProp.
  void ImportOptions(const TStrings& source, const TOptionTarget& target) const;
  // One line "Prefix.Name=Default" per option.
  void ExportDefOptions(TStrings& dest) const;
  // The value of the option `name` in `source` (validated), else its
  // default; unassigned for an unknown option name.
  Variant GetValueByName(const TStrings& source, std::string_view name) const;

  const std::string& Prefix() const noexcept { return FPrefix; }
  void SetPrefix(std::string value) { FPrefix = std::move(value); }
  int Count() const noexcept { return static_cast<int>(FOptions.size()); }
  TOption& Items(int index) const;

 private:
  // The value for `option` from `source`, or its default.
  Variant ValueFrom(const TStrings& source, const TOption& option) const;

  std::string FPrefix;
  std::vector<std::unique_ptr<TOption>> FOptions;
};

}  // namespace lumo
