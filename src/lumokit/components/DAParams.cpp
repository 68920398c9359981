#include <lumokit/components/DAParams.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <lumokit/access/KxAccessSQLInfo.h>
#include <lumokit/core/CodePages.h>
#include <lumokit/core/Collation.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>
#include <lumokit/dataset/Field.h>
#include <lumokit/dataset/FieldTypes.h>

namespace lumo {

char MacroChar = '&';
bool BoundParams = true;
bool ParamStringAsAnsiString = false;

// ---- TDAParam ------------------------------------------------------------------------------

TDAParam::TDAParam() { SetBound(BoundParams); }

TDAParam::~TDAParam() = default;

bool TDAParam::IsBlobDataType(TFieldType type) noexcept {
  switch (type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftOraBlob:
    case ftOraClob:
    case ftWideMemo:
      return true;
    default:
      return false;
  }
}

bool TDAParam::IsBinaryBlobDataType(TFieldType type) noexcept {
  return type == ftBlob || type == ftGraphic || type == ftOraBlob;
}

bool TDAParam::IsObjectDataType() const noexcept {
  switch (DataType()) {
    case ftCursor:
    case ftADT:
    case ftArray:
    case ftReference:
    case ftDataSet:
      return true;
    default:
      return IsBlobDataType();
  }
}

TBlob* TDAParam::Blob() const noexcept {
  return IsBlobDataType() ? dynamic_cast<TBlob*>(FParamObject.Get()) : nullptr;
}

TBlob& TDAParam::CheckBlob() {
  if (!Blob()) FParamObject = CreateObject();
  TBlob* blob = Blob();
  if (!blob) AssertionFailure(__FILE__, __LINE__, "A large-object parameter has no blob");
  return *blob;
}

TSharedRef<TSharedObject> TDAParam::CreateObject() {
  if (!IsBlobDataType()) return {};
  return TSharedRef<TSharedObject>::Adopt(new TBlob(DataType() == ftWideMemo));
}

void TDAParam::FreeObject() { FParamObject.Reset(); }

void TDAParam::SetDataType(TFieldType value) {
  if (value == DataType()) return;
  FreeObject();
  FSubDataType = 0;
  TParam::SetDataType(value);
  if (IsObjectDataType()) FParamObject = CreateObject();
}

void TDAParam::SetParamObject(TSharedObject* value) {
  if (value == FParamObject.Get()) return;
  FreeObject();
  FParamObject = TSharedRef<TSharedObject>::Share(value);
  // The framework value only says that an object is there.
  if (!IsBlobDataType()) TParam::SetValue(Variant("Object"));
  SetBound(true);
}

void TDAParam::Assign(const TParam& source) {
  if (&source == this) return;
  const auto* da = dynamic_cast<const TDAParam*>(&source);
  if (!da) {
    const TParamType direction = ParamType();
    SetName(source.Name());
    SetDataType(source.DataType());
    if (direction == ptUnknown) SetParamType(source.ParamType());
    if (source.IsNull())
      Clear();
    else
      SetValue(source.Value());
    SetBound(source.Bound());
    return;
  }
  SetName(da->Name());
  SetDataType(da->DataType());
  SetParamType(da->ParamType());
  if (da->IsObjectDataType() && da->FParamObject) {
    FParamObject = da->FParamObject;
  } else {
    FreeObject();
    if (IsBlobDataType()) FParamObject = CreateObject();
    if (da->IsNull())
      TParam::Clear();
    else
      TParam::SetValue(da->TParam::Value());
  }
  SetSize(da->Size());
  SetPrecision(da->Precision());
  SetNumericScale(da->NumericScale());
  FSubDataType = da->FSubDataType;
  FNational = da->FNational;
  FEncryptor = da->FEncryptor;
  SetBound(da->Bound());
}

void TDAParam::AssignField(const TField& field) {
  AssignFieldValue(field, field.Value());
  SetName(field.FieldName());
}

void TDAParam::AssignFieldValue(const TField& field, const Variant& value) {
  TFieldType type = field.DataType();
  const auto* text = dynamic_cast<const TStringField*>(&field);
  const bool fixed = text && text->FixedChar();
  if (type == ftString && fixed)
    type = ftFixedChar;
  else if (type == ftWideString && fixed)
    type = ftFixedWideChar;
  else if (type == ftMemo && field.Size() > 255)
    type = ftString;
  else if (type == ftWideMemo && field.Size() > 255)
    type = ftWideString;
  SetDataType(type);
  if (value.IsNullOrEmpty())
    Clear();
  else
    SetValue(value);
}

void TDAParam::Clear() {
  if (TBlob* blob = Blob()) {
    blob->Clear();
    return;
  }
  TParam::Clear();
}

Variant TDAParam::Value() const {
  if (IsBlobDataType()) {
    TBlob* blob = Blob();
    if (!blob || blob->Size() == 0) return Variant::Null();
    if (blob->IsUnicode()) return Variant(blob->AsWideString());
    return Variant(blob->AsAnsiString());
  }
  return TParam::Value();
}

void TDAParam::SetValue(const Variant& value) {
  if (DataType() == ftUnknown || !IsBlobDataType()) {
    if (value.VarType() == varSharedObject && DataType() != ftUnknown) {
      SetParamObject(value.AsSharedObject().Get());
      return;
    }
    TParam::SetValue(value);
    if (IsBlobDataType() && !Blob()) FParamObject = CreateObject();
    if (!IsBlobDataType()) return;
  }
  TBlob& blob = CheckBlob();
  if (value.VarType() == varSharedObject) {
    if (auto* other = dynamic_cast<TBlob*>(value.AsSharedObject().Get())) {
      SetParamObject(other);
      return;
    }
  }
  if (value.IsNullOrEmpty()) {
    blob.Clear();
  } else if (value.IsByteArray()) {
    blob.SetAsBytes(value.AsBytes());
  } else if (const std::u16string* wide = value.WideStringPtr()) {
    if (blob.IsUnicode())
      blob.SetAsWideString(*wide);
    else
      blob.SetAsAnsiString(IsBinaryBlobDataType(DataType()) ? Utf16ToUtf8(*wide) : UnicodeToAnsi(*wide));
  } else {
    blob.SetAsAnsiString(value.AsString());
  }
  SetBound(true);
}

bool TDAParam::IsNull() const {
  if (IsBlobDataType()) {
    TBlob* blob = Blob();
    return !blob || blob->Size() == 0;
  }
  if (IsObjectDataType() && FParamObject) return false;
  return TParam::IsNull();
}

std::string TDAParam::AsString() const {
  if (TBlob* blob = Blob()) return blob->AsAnsiString();
  if (IsNull()) return {};
  if (DataType() == ftDate || DataType() == ftDateTime) return DateToStr(TParam::Value().AsDate());
  const Variant value = TParam::Value();
  if (const std::string* s = value.StringPtr()) return *s;
  return UnicodeToAnsi(AsWideString());
}

void TDAParam::SetAsString(const std::string& value) {
  if (IsBlobDataType()) {
    TBlob& blob = CheckBlob();
    if (blob.IsUnicode())
      blob.SetAsWideString(AnsiToUnicode(value));
    else
      blob.SetAsAnsiString(value);
    SetBound(true);
    return;
  }
  if (ParamStringAsAnsiString)
    SetAsAnsiString(value);
  else
    SetAsWideString(AnsiToUnicode(value));
}

std::string TDAParam::AsAnsiString() const { return AsString(); }

void TDAParam::SetAsAnsiString(const std::string& value) {
  if (IsBlobDataType()) {
    SetValue(Variant(value));
    return;
  }
  SetTypedValue(DataType() == ftFixedChar ? ftFixedChar : ftString, Variant(value));
}

std::u16string TDAParam::AsWideString() const {
  if (TBlob* blob = Blob()) return blob->AsWideString();
  if (IsNull()) return {};
  if (DataType() == ftDate || DataType() == ftDateTime) return AnsiToUnicode(AsString());
  return TParam::Value().AsWideString();
}

void TDAParam::SetAsWideString(const std::u16string& value) {
  if (IsBlobDataType()) {
    SetValue(Variant(value));
    return;
  }
  SetTypedValue(DataType() == ftFixedWideChar ? ftFixedWideChar : ftWideString, Variant(value));
}

Variant::Bytes TDAParam::AsBytes() const {
  if (TBlob* blob = Blob()) return blob->AsBytes();
  return TParam::AsBytes();
}

void TDAParam::SetAsBytes(const Variant::Bytes& value) {
  if (IsBlobDataType()) {
    SetValue(Variant::FromBytes(value));
    return;
  }
  SetTypedValue(DataType() == ftBytes ? ftBytes : ftVarBytes, Variant::FromBytes(value));
}

void TDAParam::SetAsMemo(const std::string& value) {
  SetDataType(ftMemo);
  SetAsString(value);
}

void TDAParam::SetAsWideMemo(const std::u16string& value) {
  SetDataType(ftWideMemo);
  SetValue(Variant(value));
}

void TDAParam::SetAsBlob(const Variant::Bytes& value) {
  SetDataType(ftBlob);
  SetValue(Variant::FromBytes(value));
}

TSQLTimeStamp TDAParam::AsSQLTimeStamp() const {
  if (IsNull()) return {};
  return TParam::Value().AsSQLTimeStamp();
}

void TDAParam::SetAsSQLTimeStamp(const TSQLTimeStamp& value) { SetTypedValue(ftTimeStamp, Variant(value)); }

TBlob* TDAParam::AsBlobRef() const { return Blob(); }

void TDAParam::SetAsBlobRef(TBlob* blob) {
  SetDataType(ftBlob);
  SetParamObject(blob);
}

void TDAParam::SetAsMemoRef(TBlob* blob) {
  SetDataType(blob && blob->IsUnicode() ? ftWideMemo : ftMemo);
  SetParamObject(blob);
}

void TDAParam::LoadFromStream(TStream& stream, TFieldType blobType) {
  if (!IsBlobDataType(blobType)) DatabaseError("Data type is not supported");
  SetDataType(blobType);
  CheckBlob().LoadFromStream(stream);
  SetBound(true);
}

void TDAParam::LoadFromFile(const std::string& fileName, TFieldType blobType) {
  TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream, blobType);
}

void TDAParam::SetBlobData(const void* buffer, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  SetAsBlob(Variant::Bytes(p, p + size));
}

// ---- TDAParams -----------------------------------------------------------------------------

TDAParam& TDAParams::Items(int index) const {
  TParam& p = TParams::Items(index);
  auto* da = dynamic_cast<TDAParam*>(&p);
  if (!da) AssertionFailure(__FILE__, __LINE__, "A parameter of the list is not a TDAParam");
  return *da;
}

TDAParam* TDAParams::FindParam(std::string_view name) const {
  return dynamic_cast<TDAParam*>(TParams::FindParam(name));
}

TDAParam& TDAParams::ParamByName(std::string_view name) const {
  TParam& p = TParams::ParamByName(name);
  auto* da = dynamic_cast<TDAParam*>(&p);
  if (!da) AssertionFailure(__FILE__, __LINE__, "A parameter of the list is not a TDAParam");
  return *da;
}

TDAParam& TDAParams::CreateParam(TFieldType dataType, const std::string& name, TParamType paramType) {
  return static_cast<TDAParam&>(TParams::CreateParam(dataType, name, paramType));
}

void TDAParams::Disconnect() {
  for (int i = 0; i < Count(); ++i)
    if (TSharedObject* obj = Items(i).ParamObject()) obj->Disconnect();
}

// ---- TMacro --------------------------------------------------------------------------------

namespace {

std::string_view Trimmed(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

std::string ShortestDouble(double value) {
  if (!std::isfinite(value)) throw EConvertError("Invalid floating point value for a macro");
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  if (ec != std::errc()) throw EConvertError("Invalid floating point value for a macro");
  return std::string(buf, end);
}

std::string IsoDateTimeLiteral(TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(value, y, mo, d, h, mi, s, ms);
  char buf[48];
  if (h == 0 && mi == 0 && s == 0 && ms == 0)
    std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d'", y, mo, d);
  else if (ms == 0)
    std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d %02d:%02d:%02d'", y, mo, d, h, mi, s);
  else
    std::snprintf(buf, sizeof buf, "'%04d-%02d-%02d %02d:%02d:%02d.%03d'", y, mo, d, h, mi, s, ms);
  return buf;
}

bool ParseIsoDateTime(std::string_view text, TDateTime& value) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  const std::string t(text);
  char sep = 0;
  int n = std::sscanf(t.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3d", &y, &mo, &d, &sep, &h, &mi, &s, &ms);
  if (n < 3 || (n >= 4 && sep != ' ' && sep != 'T')) return false;
  if (n > 3 && n < 7) return false;
  return TryEncodeDateTime(y, mo, d, h, mi, s, ms, value);
}

}  // namespace

void TMacro::Assign(const TMacro& source) {
  if (&source == this) return;
  FName = source.FName;
  FValue = source.FValue;
  FActive = source.FActive;
  FStringValue = source.FStringValue;
  FHasStringValue = source.FHasStringValue;
}

bool TMacro::IsEqual(const TMacro& other) const {
  return AnsiSameText(FName, other.FName) && FValue == other.FValue && FActive == other.FActive;
}

void TMacro::Changed() {
  if (FCollection) FCollection->NotifyChanged(*this);
}

void TMacro::SetValue(const std::string& value) {
  FHasStringValue = false;
  if (value == FValue) return;
  FValue = value;
  Changed();
}

void TMacro::SetActive(bool value) {
  if (value == FActive) return;
  FActive = value;
  Changed();
}

void TMacro::SetLiteral(std::string literal) {
  if (literal == FValue) return;
  FValue = std::move(literal);
  Changed();
}

std::string TMacro::Unquoted() const {
  std::string_view v = Trimmed(FValue);
  if (v.size() < 2 || v.front() != '\'' || v.back() != '\'') return std::string(v);
  v = v.substr(1, v.size() - 2);
  std::string out;
  out.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    out.push_back(v[i]);
    if (v[i] == '\'' && i + 1 < v.size() && v[i + 1] == '\'') ++i;
  }
  return out;
}

std::string TMacro::AsString() const { return FHasStringValue ? FStringValue : Unquoted(); }

void TMacro::SetAsString(const std::string& value) {
  const TSQLInfo* info = FCollection ? FCollection->SQLInfo() : nullptr;
  std::string literal;
  if (info) {
    literal = info->ToStringConst(value);
  } else {
    static const TSQLInfo standard;
    literal = standard.ToStringConst(value);
  }
  SetLiteral(std::move(literal));
  FStringValue = value;
  FHasStringValue = true;
}

std::int32_t TMacro::AsInteger() const {
  const std::string text = Unquoted();
  std::string_view t = Trimmed(text);
  std::int32_t v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size() || t.empty())
    throw EConvertError(Format("'%s' is not a valid integer value", {std::string(t)}));
  return v;
}

void TMacro::SetAsInteger(std::int32_t value) {
  FHasStringValue = false;
  SetLiteral(std::to_string(value));
}

double TMacro::AsFloat() const {
  const std::string text = Unquoted();
  std::string_view t = Trimmed(text);
  double v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size() || t.empty())
    throw EConvertError(Format("'%s' is not a valid floating point value", {std::string(t)}));
  return v;
}

void TMacro::SetAsFloat(double value) {
  FHasStringValue = false;
  SetLiteral(ShortestDouble(value));
}

TDateTime TMacro::AsDateTime() const {
  const std::string text = Unquoted();
  TDateTime v = 0;
  if (ParseIsoDateTime(Trimmed(text), v) || TryStrToDateTime(Trimmed(text), v)) return v;
  throw EConvertError(Format("'%s' is not a valid date and time", {text}));
}

void TMacro::SetAsDateTime(TDateTime value) {
  FHasStringValue = false;
  SetLiteral(IsoDateTimeLiteral(value));
}

// ---- TMacros -------------------------------------------------------------------------------

TMacros::TMacros(IDAMacrosOwner* owner) : FOwner(owner), FParserClass(ParserClassOf<TSQLParser>()) {}

TMacros::~TMacros() = default;

TMacro& TMacros::Items(int index) const {
  if (index < 0 || index >= Count()) throw EArgumentError(Format("List index out of bounds (%d)", {index}));
  return *FItems[static_cast<std::size_t>(index)];
}

TMacro& TMacros::Add(const std::string& name) {
  auto m = std::make_unique<TMacro>();
  m->FCollection = this;
  m->FName = name;
  FItems.push_back(std::move(m));
  return *FItems.back();
}

void TMacros::Delete(int index) {
  Items(index);
  FItems.erase(FItems.begin() + index);
}

void TMacros::Clear() { FItems.clear(); }

TMacro* TMacros::FindMacro(std::string_view name) const {
  for (const auto& m : FItems)
    if (AnsiSameText(m->FName, name)) return m.get();
  return nullptr;
}

TMacro& TMacros::MacroByName(std::string_view name) const {
  TMacro* m = FindMacro(name);
  if (!m) throw EDatabaseError(Format("Macro %s not found", {name}));
  return *m;
}

void TMacros::NotifyChanged(TMacro& macro) {
  if (FOwner && !Updating()) FOwner->MacroChanged(macro);
}

const TSQLInfo* TMacros::SQLInfo() const { return FOwner ? FOwner->MacroSQLInfo() : nullptr; }

bool TMacros::HasMacroChar(std::string_view sql) noexcept { return sql.find(MacroChar) != std::string_view::npos; }

namespace {

bool IsNameCode(TSQLParser& parser, int code) {
  return code == lcIdent || code >= lxSQLFirst || (code > 0 && !parser.IsSymbolCode(code));
}

}  // namespace

template <class Fn>
void TMacros::ForEachReference(const std::string& sql, Fn&& found) const {
  if (!HasMacroChar(sql)) return;
  std::unique_ptr<TSQLParser> parser = FParserClass.Create(sql);
  parser->SetOmitBlank(false);
  parser->SetOmitComment(false);
  parser->SetUppered(false);
  const std::string_view macroChar(&MacroChar, 1);
  for (int code = parser->GetNextToken(); code != lcEnd;) {
    if (code == lcString || code == lcComment || code == lcBlank || parser->LexemView() != macroChar) {
      code = parser->GetNextToken();
      continue;
    }
    const auto begin = static_cast<std::size_t>(parser->PrevPos());
    code = parser->GetNextToken();
    if (code == lcEnd || !parser->IsMacroAllowed(code)) continue;
    std::string name;
    if (IsNameCode(*parser, code)) {
      name = parser->Lexem();
    } else if (code == lcNumber && parser->IsNumericMacroNameAllowed()) {
      name = parser->Lexem();
      const std::int64_t numberEnd = parser->CurrPos();
      const int next = parser->GetNextToken();
      if (next != lcEnd && IsNameCode(*parser, next) && parser->PrevPos() == numberEnd)
        name += parser->Lexem();
      else
        parser->Back();
    } else {
      // Not a reference: the lexeme after the macro character is ordinary
      // text (and may itself be a macro character).
      continue;
    }
    found(TReference{begin, static_cast<std::size_t>(parser->CurrPos()), std::move(name)});
    code = parser->GetNextToken();
  }
}

bool TMacros::Scan(const std::string& sql) {
  std::vector<std::unique_ptr<TMacro>> items;
  ForEachReference(sql, [&](TReference&& ref) {
    for (const auto& m : items)
      if (AnsiSameText(m->FName, ref.Name)) return;
    auto m = std::make_unique<TMacro>();
    m->FCollection = this;
    if (TMacro* old = FindMacro(ref.Name)) {
      m->Assign(*old);
    } else {
      m->FName = ref.Name;
    }
    items.push_back(std::move(m));
  });
  bool same = items.size() == FItems.size();
  for (std::size_t i = 0; same && i < items.size(); ++i)
    same = items[i]->IsEqual(*FItems[i]) && items[i]->FName == FItems[i]->FName;
  if (same) return false;
  FItems = std::move(items);
  return true;
}

std::string TMacros::GetMacroValue(const TMacro& macro) const { return macro.Active() ? macro.Value() : std::string(); }

void TMacros::Expand(std::string& sql) const {
  if (!HasMacroChar(sql)) return;
  std::string out;
  std::size_t copied = 0;
  ForEachReference(sql, [&](TReference&& ref) {
    out.append(sql, copied, ref.Begin - copied);
    if (const TMacro* m = FindMacro(ref.Name)) out += GetMacroValue(*m);
    copied = ref.End;
  });
  if (copied == 0 && out.empty()) return;
  out.append(sql, copied, std::string::npos);
  sql = std::move(out);
}

bool TMacros::IsReferenced(const std::string& sql, std::string_view name) const {
  bool found = false;
  ForEachReference(sql, [&](TReference&& ref) {
    if (AnsiSameText(ref.Name, name)) found = true;
  });
  return found;
}

void TMacros::Assign(const TMacros& source) {
  if (&source == this) return;
  std::vector<std::unique_ptr<TMacro>> items;
  for (const auto& s : source.FItems) {
    auto m = std::make_unique<TMacro>();
    m->Assign(*s);
    m->FCollection = this;
    items.push_back(std::move(m));
  }
  FItems = std::move(items);
}

void TMacros::AssignValues(const TMacros& source) {
  for (const auto& m : FItems) {
    if (const TMacro* s = source.FindMacro(m->FName)) {
      m->FValue = s->FValue;
      m->FActive = s->FActive;
      m->FStringValue = s->FStringValue;
      m->FHasStringValue = s->FHasStringValue;
    }
  }
}

bool TMacros::IsEqual(const TMacros& other) const {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (!Items(i).IsEqual(other.Items(i))) return false;
  return true;
}

namespace {

constexpr std::uint8_t MacroDataMarkWithActive = 'd';

class TMacroDataReader {
 public:
  explicit TMacroDataReader(std::span<const std::uint8_t> data) : FData(data) {}
  std::uint8_t Byte() {
    Need(1);
    return FData[FPos++];
  }
  std::uint16_t Word() {
    Need(2);
    const std::uint16_t v = static_cast<std::uint16_t>(FData[FPos] | (FData[FPos + 1] << 8));
    FPos += 2;
    return v;
  }
  std::string Text(std::size_t n) {
    Need(n);
    std::string s(reinterpret_cast<const char*>(FData.data() + FPos), n);
    FPos += n;
    return s;
  }

 private:
  void Need(std::size_t n) const {
    if (FData.size() - FPos < n) throw EDatabaseError("Stored macro data is truncated");
  }
  std::span<const std::uint8_t> FData;
  std::size_t FPos = 0;
};

}  // namespace

void TMacros::ReadBinaryData(std::span<const std::uint8_t> data) {
  TMacroDataReader reader(data);
  const std::uint8_t mark = reader.Byte();
  const bool withActive = mark == MacroDataMarkWithActive;
  if (withActive) reader.Byte();
  struct TStored {
    std::string Name, Value;
    bool Active;
  };
  // Everything is read before anything is changed: a damaged form leaves
  // the macros as they were.
  std::vector<TStored> stored;
  for (int i = 0; i < Count(); ++i) {
    TStored s;
    s.Name = reader.Text(reader.Byte());
    s.Value = reader.Text(reader.Word());
    s.Active = withActive ? reader.Byte() != 0 : true;
    stored.push_back(std::move(s));
  }
  for (const TStored& s : stored) MacroByName(s.Name);
  for (TStored& s : stored) {
    TMacro& m = MacroByName(s.Name);
    m.FValue = std::move(s.Value);
    m.FActive = s.Active;
    m.FHasStringValue = false;
  }
}

std::vector<std::uint8_t> TMacros::WriteBinaryData() const {
  std::vector<std::uint8_t> out{MacroDataMarkWithActive, 0};
  for (const auto& m : FItems) {
    if (m->FName.size() > 255 || m->FValue.size() > 65535)
      throw EDatabaseError(Format("Macro %s is too long for the stored form", {m->FName}));
    out.push_back(static_cast<std::uint8_t>(m->FName.size()));
    out.insert(out.end(), m->FName.begin(), m->FName.end());
    out.push_back(static_cast<std::uint8_t>(m->FValue.size() & 0xFF));
    out.push_back(static_cast<std::uint8_t>(m->FValue.size() >> 8));
    out.insert(out.end(), m->FValue.begin(), m->FValue.end());
    out.push_back(m->FActive ? 1 : 0);
  }
  return out;
}

}  // namespace lumo
