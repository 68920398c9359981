#include <lumokit/lumo/LumoProviderOptions.h>

#include <algorithm>

#include <lumokit/core/Ascii.h>
#include <lumokit/core/FormatSettings.h>

namespace lumo {

void InvalidOptionValue(std::string_view text, std::string_view optionName) {
  throw Exception("Invalid value: " + std::string(text) + " for option " + std::string(optionName));
}

// ---- TOption ------------------------------------------------------------------------------

TOption::TOption(std::string name, int internalIndex, std::vector<TClassId> classes, Variant defaultValue,
                 bool isUsedInConnectString)
    : FOptionName(std::move(name)),
      FInternalIndex(internalIndex),
      FInternalClasses(std::move(classes)),
      FDefaultValue(std::move(defaultValue)),
      FIsUsedInConnectString(isUsedInConnectString) {}

TOption::~TOption() = default;

void TOption::Validate(const std::string& text) const {
  if (!FOnGetValuesList) {
    if (!CheckValue(text)) InvalidOptionValue(text, FOptionName);
    return;
  }
  TStringList allowed;
  GetValuesList(allowed);
  const std::string_view trimmed = TrimView(text);
  for (int i = 0; i < allowed.Count(); ++i)
    if (SameTextAscii(trimmed, allowed[i])) return;
  InvalidOptionValue(text, FOptionName);
}

void TOption::GetValuesList(TStrings& list) const {
  list.Clear();
  if (FOnGetValuesList)
    FOnGetValuesList(list);
  else
    InternalGetValuesList(list);
}

void TOption::InternalGetValuesList(TStrings&) const {}

bool TOption::HasClass(const std::type_info& cls) const noexcept {
  return std::any_of(FInternalClasses.begin(), FInternalClasses.end(),
                     [&cls](const TClassId& id) { return id.Matches(cls); });
}

// ---- option kinds ---------------------------------------------------------------------------

std::string TStringOption::GetAsString(const Variant& value) const { return VarToStr(value); }

Variant TStringOption::GetAsNative(const std::string& text) const { return text; }

bool TStringOption::CheckValue(const std::string&) const { return true; }

std::string TIntegerOption::GetAsString(const Variant& value) const { return std::to_string(value.AsInt32()); }

Variant TIntegerOption::GetAsNative(const std::string& text) const {
  std::int32_t value = 0;
  if (!TryStrToInt(TrimView(text), value)) InvalidOptionValue(text, OptionName());
  return value;
}

bool TIntegerOption::CheckValue(const std::string& text) const {
  std::int32_t value = 0;
  return TryStrToInt(TrimView(text), value);
}

std::string TBooleanOption::GetAsString(const Variant& value) const { return value.AsBoolean() ? "True" : "False"; }

Variant TBooleanOption::GetAsNative(const std::string& text) const { return SameTextAscii(TrimView(text), "True"); }

bool TBooleanOption::CheckValue(const std::string& text) const {
  const std::string_view trimmed = TrimView(text);
  return SameTextAscii(trimmed, "True") || SameTextAscii(trimmed, "False");
}

void TBooleanOption::InternalGetValuesList(TStrings& list) const {
  list.Add("False");
  list.Add("True");
}

TEnumeratorOption::TEnumeratorOption(std::string name, int internalIndex, std::vector<TClassId> classes,
                                     Variant defaultValue, TEnumTypeInfo typeInfo, bool isUsedInConnectString)
    : TOption(std::move(name), internalIndex, std::move(classes), std::move(defaultValue), isUsedInConnectString),
      FTypeInfo(std::move(typeInfo)),
      FHideFirstChar(!FTypeInfo.TypeName.empty() && FTypeInfo.TypeName[0] == '_') {
  if (FTypeInfo.Names.empty() || FTypeInfo.Names.size() >= 256)
    AssertionFailure(__FILE__, __LINE__, "Enumeration options need 1 to 255 value names");
  for (const std::string& n : FTypeInfo.Names)
    if (FHideFirstChar && n.empty()) AssertionFailure(__FILE__, __LINE__, "Empty enumeration value name");
}

std::string_view TEnumeratorOption::ValueName(int value) const {
  if (value < MinValue() || value > MaxValue()) InvalidOptionValue(std::to_string(value), OptionName());
  std::string_view n = FTypeInfo.Names[static_cast<std::size_t>(value - MinValue())];
  if (FHideFirstChar) n.remove_prefix(1);
  return n;
}

int TEnumeratorOption::IndexOfName(const std::string& text) const {
  const std::string_view trimmed = TrimView(text);
  for (std::size_t i = 0; i < FTypeInfo.Names.size(); ++i)
    if (SameTextAscii(trimmed, ValueName(MinValue() + static_cast<int>(i)))) return static_cast<int>(i);
  return -1;
}

std::string TEnumeratorOption::GetAsString(const Variant& value) const { return std::string(ValueName(value.AsInt32())); }

Variant TEnumeratorOption::GetAsNative(const std::string& text) const {
  const int index = IndexOfName(text);
  if (index < 0) InvalidOptionValue(text, OptionName());
  return static_cast<std::int32_t>(MinValue() + index);
}

bool TEnumeratorOption::CheckValue(const std::string& text) const { return IndexOfName(text) >= 0; }

void TEnumeratorOption::InternalGetValuesList(TStrings& list) const {
  for (int v = MinValue(); v <= MaxValue(); ++v) list.Add(std::string(ValueName(v)));
}

// ---- option lines ---------------------------------------------------------------------------

bool ExtractOption(std::string_view line, std::string& prefix, std::string& name, std::string& value) {
  const std::size_t e = line.find('=');
  if (e == std::string_view::npos) return false;
  const std::size_t d = line.substr(0, e).find('.');
  const std::size_t nameBegin = d == std::string_view::npos ? 0 : d + 1;
  prefix = d == std::string_view::npos ? std::string() : std::string(TrimView(line.substr(0, d)));
  name = std::string(TrimView(line.substr(nameBegin, e - nameBegin)));
  value = std::string(line.substr(e + 1));
  return true;
}

// ---- TOptionsList ---------------------------------------------------------------------------

TOptionsList::TOptionsList(std::string prefix) : FPrefix(std::move(prefix)) {}

TOptionsList::~TOptionsList() = default;

TOption& TOptionsList::Add(std::unique_ptr<TOption> option) {
  LUMO_ASSERT(option);
  auto at = std::lower_bound(FOptions.begin(), FOptions.end(), option->OptionName(),
                             [](const std::unique_ptr<TOption>& o, const std::string& name) {
                               return CompareTextAscii(o->OptionName(), name) < 0;
                             });
  if (at != FOptions.end() && CompareTextAscii((*at)->OptionName(), option->OptionName()) == 0)
    AssertionFailure(__FILE__, __LINE__, "Duplicate option " + option->OptionName());
  return **FOptions.insert(at, std::move(option));
}

TOption* TOptionsList::OptionByName(std::string_view name) const {
  auto at = std::lower_bound(FOptions.begin(), FOptions.end(), name,
                             [](const std::unique_ptr<TOption>& o, std::string_view n) {
                               return CompareTextAscii(o->OptionName(), n) < 0;
                             });
  return at != FOptions.end() && CompareTextAscii((*at)->OptionName(), name) == 0 ? at->get() : nullptr;
}

TOption& TOptionsList::Items(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError("List index out of bounds (" + std::to_string(index) + ")");
  return *FOptions[static_cast<std::size_t>(index)];
}

Variant TOptionsList::ValueFrom(const TStrings& source, const TOption& option) const {
  std::string prefix, name, value;
  for (int i = 0; i < source.Count(); ++i) {
    if (!ExtractOption(source[i], prefix, name, value)) continue;
    if (!prefix.empty() && !SameTextAscii(prefix, FPrefix)) continue;
    if (!SameTextAscii(name, option.OptionName())) continue;
    option.Validate(value);
    return option.GetAsNative(value);
  }
  return option.DefaultValue();
}

void TOptionsList::ImportOptions(const TStrings& source, const TOptionTarget& target) const {
  std::vector<std::pair<const TOption*, Variant>> values;
  for (const auto& option : FOptions)
    if (option->HasClass(target.Class())) values.emplace_back(option.get(), ValueFrom(source, *option));
  for (const auto& [option, value] : values) {
    if (option->OnAssignValue())
      option->OnAssignValue()(target, value);
    else
      target.SetProp(option->InternalIndex(), value);
  }
}

void TOptionsList::ExportDefOptions(TStrings& dest) const {
  for (const auto& option : FOptions)
    dest.Add(FPrefix + "." + option->OptionName() + "=" + option->GetAsString(option->DefaultValue()));
}

Variant TOptionsList::GetValueByName(const TStrings& source, std::string_view name) const {
  const TOption* option = OptionByName(name);
  return option ? ValueFrom(source, *option) : Variant();
}

}  // namespace lumo
