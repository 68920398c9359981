// Parameters and macros of the SQL components. TDAParam is the framework
// parameter with what a provider needs besides the value (large objects kept
// in a TBlob, provider subtype, national flag, encryptor); TDAParams is their
// collection, which remembers whether the user edited it. TMacro and TMacros
// are the "&name" pieces of SQL text: found in a text (Scan), substituted
// before the statement is sent (Expand), and read from the older stored form.
//
// Decisions:
// - Large-object parameters (ftBlob, ftMemo, ftGraphic, ftFmtMemo,
//   ftOraBlob, ftOraClob, ftWideMemo) keep their value in a TBlob (Unicode
//   for ftWideMemo) made when the type is set. Binary content (ftBlob,
//   ftGraphic, ftOraBlob) is never transcoded: Value and AsString give its
//   bytes as 8-bit text, text written to it is stored byte for byte.
// - Typed setters set the type, except that an 8-bit setter keeps
//   ftFixedChar, a UTF-16 setter ftFixedWideChar and a byte setter ftBytes;
//   on a large-object parameter every setter writes the blob. AsString
//   writes through the UTF-16 form unless ParamStringAsAnsiString is set.
// - Macro values are SQL text and are inserted as they are: a value set
//   through Value (or read from a stored form) is raw SQL by design, to be
//   used for table names, column lists or conditions the program builds
//   itself. The typed setters write literals: AsString through the owner's
//   literal writer (the provider's TSQLInfo::ToStringConst; standard SQL
//   quoting when the macros have no owner or the owner no provider), so a
//   text such as O'Brien\ cannot end the literal early; AsInteger and
//   AsFloat as locale-independent numbers ("." as decimal point, shortest
//   text that reads back to the same double; NaN and infinities raise
//   EConvertError); AsDateTime as a quoted ISO text ('YYYY-MM-DD' for a
//   whole day, else 'YYYY-MM-DD HH:NN:SS' with ".zzz" for milliseconds).
//   Reading AsString gives back exactly the text AsString wrote while the
//   value is unchanged; any other value is trimmed and one pair of single
//   quotes removed, a doubled quote inside read as one.
// - Scanning and expansion read the text with the owner's lexer, blanks and
//   comments kept: a macro character inside a string, a quoted name or a
//   comment is copied as it is. A text without the macro character is
//   neither read nor changed.
// - The older stored form of macros ("Data") is read in full: a value of
//   any stored length is read whole (never cut, so the reading never falls
//   out of step), and data that ends before every announced byte was read
//   raises "Stored macro data is truncated".
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/access/KxAccess.h>
#include <lumokit/access/KxParser.h>
#include <lumokit/data/KxBlob.h>
#include <lumokit/dataset/Params.h>

namespace lumo {

class TComponent;
class TField;
class TSQLInfo;
class TStream;

// ---- process-wide settings ----------------------------------------------------------

// The character that starts a macro reference ('&').
extern char MacroChar;
// New parameters start bound (true).
extern bool BoundParams;
// AsString writes through the 8-bit form instead of the UTF-16 one (false).
extern bool ParamStringAsAnsiString;

// ---- parameters ------------------------------------------------------------------------

class TDAParam : public TParam {
 public:
  TDAParam();
  ~TDAParam() override;

  // From a TDAParam: everything, the parameter object shared; from a
  // framework parameter: type, value, name, and its direction when this
  // one's is unknown.
  void Assign(const TParam& source) override;
  // The field's type and value (AssignFieldValue); the name becomes the
  // field's name.
  void AssignField(const TField& field);
  virtual void AssignFieldValue(const TField& field, const Variant& value);
  void Clear() override;

  void SetDataType(TFieldType value) override;
  Variant Value() const override;
  void SetValue(const Variant& value) override;
  bool IsNull() const override;

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  std::string AsAnsiString() const;
  virtual void SetAsAnsiString(const std::string& value);
  std::u16string AsWideString() const override;
  void SetAsWideString(const std::u16string& value) override;
  Variant::Bytes AsBytes() const override;
  void SetAsBytes(const Variant::Bytes& value) override;
  void SetAsMemo(const std::string& value) override;
  std::string AsMemo() const { return AsString(); }
  void SetAsWideMemo(const std::u16string& value);
  // ftBlob with these bytes.
  void SetAsBlob(const Variant::Bytes& value);
  Variant::Bytes AsBlob() const { return AsBytes(); }
  TSQLTimeStamp AsSQLTimeStamp() const;
  void SetAsSQLTimeStamp(const TSQLTimeStamp& value);
  // The blob itself (nullptr for other types).
  TBlob* AsBlobRef() const;
  // Makes the parameter ftBlob (ftMemo) over `blob` (shared).
  void SetAsBlobRef(TBlob* blob);
  TBlob* AsMemoRef() const { return AsBlobRef(); }
  void SetAsMemoRef(TBlob* blob);
  std::string Text() const { return AsString(); }
  void SetText(const std::string& value) { SetAsString(value); }

  // The blob of a large-object parameter or another object (a cursor).
  TSharedObject* ParamObject() const noexcept { return FParamObject.Get(); }
  // Frees the old object and shares `value`; the value reads "Object".
  void SetParamObject(TSharedObject* value);
  std::uint16_t SubDataType() const noexcept { return FSubDataType; }
  void SetSubDataType(std::uint16_t value) noexcept { FSubDataType = value; }
  bool National() const noexcept { return FNational; }
  virtual void SetNational(bool value) { FNational = value; }
  const TEncryptionMethod& Encryptor() const noexcept { return FEncryptor; }
  void SetEncryptor(TEncryptionMethod value) { FEncryptor = std::move(value); }

  bool IsBlobDataType() const noexcept { return IsBlobDataType(DataType()); }
  static bool IsBlobDataType(TFieldType type) noexcept;
  // Large objects whose content is bytes, not text.
  static bool IsBinaryBlobDataType(TFieldType type) noexcept;
  virtual bool IsObjectDataType() const noexcept;

  // Loads the whole stream (from position 0) into the blob; `blobType`
  // must be a large-object type ("Data type is not supported").
  virtual void LoadFromStream(TStream& stream, TFieldType blobType);
  void LoadFromFile(const std::string& fileName, TFieldType blobType);
  void SetBlobData(const void* buffer, std::size_t size);

 protected:
  // The object a large-object or object type keeps its value in (none for
  // the object types here).
  virtual TSharedRef<TSharedObject> CreateObject();
  virtual void FreeObject();
  TBlob* Blob() const noexcept;

 private:
  TBlob& CheckBlob();

  std::uint16_t FSubDataType = 0;
  TSharedRef<TSharedObject> FParamObject;
  bool FNational = false;
  TEncryptionMethod FEncryptor;
};

// Whether the list was built from the SQL text or edited by the user.
enum TParamsChangeType : std::uint8_t { ctGenerated = 0, ctUsers = 1, ctUserChecked = 2 };

class TDAParams : public TParams {
 public:
  explicit TDAParams(TComponent* owner = nullptr) : FOwner(owner) {}

  TDAParam& Items(int index) const;
  TDAParam& operator[](int index) const { return Items(index); }
  TDAParam* FindParam(std::string_view name) const;
  // The framework's "Parameter '%s' not found" when missing.
  TDAParam& ParamByName(std::string_view name) const;
  TDAParam& CreateParam(TFieldType dataType, const std::string& name, TParamType paramType);
  // Every parameter object drops its server references.
  void Disconnect();

  TComponent* Owner() const noexcept { return FOwner; }
  TParamsChangeType ParamsChangeType() const noexcept { return FParamsChangeType; }
  void SetParamsChangeType(TParamsChangeType value) noexcept { FParamsChangeType = value; }
  // While false, changes of the list do not count as the user's.
  bool NeedsUpdateItem() const noexcept { return FNeedsUpdateItem; }
  void SetNeedsUpdateItem(bool value) noexcept { FNeedsUpdateItem = value; }

 protected:
  std::unique_ptr<TParam> CreateItem() override { return std::make_unique<TDAParam>(); }
  void Update() override {
    if (FNeedsUpdateItem) FParamsChangeType = ctUsers;
  }

 private:
  TComponent* FOwner;
  bool FNeedsUpdateItem = true;
  TParamsChangeType FParamsChangeType = ctGenerated;
};

// Rebuilds a list without the change counting as the user's.
class TDAParamsRebuild {
 public:
  explicit TDAParamsRebuild(TDAParams& params) : FParams(params), FOld(params.NeedsUpdateItem()) {
    params.SetNeedsUpdateItem(false);
  }
  ~TDAParamsRebuild() { FParams.SetNeedsUpdateItem(FOld); }
  TDAParamsRebuild(const TDAParamsRebuild&) = delete;
  TDAParamsRebuild& operator=(const TDAParamsRebuild&) = delete;

 private:
  TDAParams& FParams;
  bool FOld;
};

// ---- macros ---------------------------------------------------------------------------

class TMacro;
class TMacros;

// What a collection of macros asks of the component it belongs to.
class IDAMacrosOwner {
 public:
  virtual ~IDAMacrosOwner() = default;
  // A macro's value or state changed (not while the collection updates).
  virtual void MacroChanged(TMacro& macro) = 0;
  // The dialect whose literal writer quotes AsString values (nullptr: none).
  virtual const TSQLInfo* MacroSQLInfo() = 0;
};

class TMacro {
 public:
  TMacro() = default;
  TMacro(const TMacro&) = delete;
  TMacro& operator=(const TMacro&) = delete;

  void Assign(const TMacro& source);
  // Same name (ignoring case), value and state.
  bool IsEqual(const TMacro& other) const;

  const std::string& Name() const noexcept { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  // The SQL text the macro stands for.
  const std::string& Value() const noexcept { return FValue; }
  void SetValue(const std::string& value);
  bool Active() const noexcept { return FActive; }
  void SetActive(bool value);

  std::string AsString() const;
  void SetAsString(const std::string& value);
  std::int32_t AsInteger() const;
  void SetAsInteger(std::int32_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime value);

  TMacros* Collection() const noexcept { return FCollection; }

 private:
  friend class TMacros;
  // The value without one pair of surrounding quotes.
  std::string Unquoted() const;
  void SetLiteral(std::string literal);
  void Changed();

  TMacros* FCollection = nullptr;
  std::string FName;
  std::string FValue;
  bool FActive = true;
  // What SetAsString was given, while FValue still holds its literal.
  std::string FStringValue;
  bool FHasStringValue = false;
};

class TMacros {
 public:
  explicit TMacros(IDAMacrosOwner* owner = nullptr);
  TMacros(const TMacros&) = delete;
  TMacros& operator=(const TMacros&) = delete;
  virtual ~TMacros();

  int Count() const noexcept { return static_cast<int>(FItems.size()); }
  TMacro& Items(int index) const;
  TMacro& operator[](int index) const { return Items(index); }
  TMacro& Add(const std::string& name = {});
  void Delete(int index);
  void Clear();

  // The macro of that name (ignoring case), or nullptr.
  TMacro* FindMacro(std::string_view name) const;
  // "Macro %s not found" when missing.
  TMacro& MacroByName(std::string_view name) const;

  // Rebuilds the list from the references in `sql`, keeping the value and
  // state of macros that stay; returns whether the list changed.
  bool Scan(const std::string& sql);
  // Replaces every reference in `sql` by its macro's text.
  void Expand(std::string& sql) const;
  // The text a reference is replaced by: the value of an active macro,
  // nothing for an inactive one.
  virtual std::string GetMacroValue(const TMacro& macro) const;
  // Whether `sql` refers to the macro `name`.
  bool IsReferenced(const std::string& sql, std::string_view name) const;
  static bool HasMacroChar(std::string_view sql) noexcept;

  // Copies the lists; gives each macro the value and state of the source's
  // macro of the same name.
  void Assign(const TMacros& source);
  void AssignValues(const TMacros& source);
  bool IsEqual(const TMacros& other) const;

  // Reads the older binary form of the macros held (see the unit comment).
  void ReadBinaryData(std::span<const std::uint8_t> data);
  // The older binary form (with the active flags).
  std::vector<std::uint8_t> WriteBinaryData() const;

  TSQLParserClass ParserClass() const noexcept { return FParserClass; }
  void SetParserClass(TSQLParserClass value) { FParserClass = value; }
  IDAMacrosOwner* Owner() const noexcept { return FOwner; }
  void SetOwner(IDAMacrosOwner* value) noexcept { FOwner = value; }

  // While updating, changes of macros notify nobody.
  void BeginUpdate() noexcept { ++FUpdateCount; }
  void EndUpdate() noexcept {
    if (FUpdateCount > 0) --FUpdateCount;
  }
  bool Updating() const noexcept { return FUpdateCount > 0; }

 private:
  friend class TMacro;

  // One reference: its byte span and the macro name.
  struct TReference {
    std::size_t Begin;
    std::size_t End;
    std::string Name;
  };
  // Calls `found` for each macro reference of `sql`, in order.
  template <class Fn>
  void ForEachReference(const std::string& sql, Fn&& found) const;
  void NotifyChanged(TMacro& macro);
  const TSQLInfo* SQLInfo() const;

  IDAMacrosOwner* FOwner;
  TSQLParserClass FParserClass;
  std::vector<std::unique_ptr<TMacro>> FItems;
  int FUpdateCount = 0;
};

}  // namespace lumo
