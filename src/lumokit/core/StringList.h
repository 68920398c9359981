// String lists: TStrings, the base that gives every list of 8-bit/UTF-8
// lines its text forms (Text, CommaText, DelimitedText), Name=Value access
// and loading and saving, and TStringList, the stored list with sorting,
// duplicate handling and change events. SQL texts, option lines, header
// lines and parameter lists of the library are string lists.
//
// Decisions:
// - Text joins the lines with LineBreak (default "\r\n", the break the
//   system's generated SQL uses), each line followed by one, the last
//   included. Setting Text splits at CR LF, CR or LF; a final line without a
//   break is kept, so list -> Text -> list is exact for lines free of CR/LF.
// - Comparison (IndexOf, IndexOfName, Find, sorting) is byte-wise; with
//   CaseSensitive off (the default) the ASCII letters A-Z and a-z compare
//   equal, bytes >= 0x80 compare as they are (no locale, no Unicode folding).
// - Objects are std::any: a list holds whatever the caller puts there (a
//   non-owning pointer, a shared_ptr, a value) and ObjectAs<T>() gives it
//   back type-checked. The list never frees anything through them.
// - Change events: outside BeginUpdate/EndUpdate each modification fires
//   OnChanging before and OnChange after it. Inside an update the first
//   modification fires OnChanging and the outermost EndUpdate fires OnChange
//   once. Nothing fires when nothing changed: an empty update, Clear of an
//   empty list, Sort of a list already in order, putting a line equal to the
//   one there, or setting Text/CommaText/Assign to the lines already held.
// - SetValues(Name, "") deletes the Name=Value line (an empty value is read
//   back as "" either way). On a sorted list it deletes and adds again.
// - Duplicates is honoured on sorted lists only; Insert, Put, Move, Exchange
//   and CustomSort raise "Operation not allowed on sorted list" there.
// - All list errors are EStringListError (an EArgumentError), e.g.
//   "List index out of bounds (%d)". Files are read and written as UTF-8
//   bytes; a UTF-8 byte-order mark is skipped on load and written only when
//   WriteBOM is set.
#pragma once

#include <any>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

class TStream;

class EStringListError : public EArgumentError {
 public:
  using EArgumentError::EArgumentError;
};

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStrings {
 public:
  TStrings() = default;
  TStrings(const TStrings&) = delete;
  TStrings& operator=(const TStrings&) = delete;
  virtual ~TStrings() = default;

  // ---- storage, supplied by a subclass
  virtual int Count() const = 0;
  virtual const std::string& Get(int index) const = 0;
  virtual void Put(int index, std::string s) = 0;
  virtual const std::any& GetObject(int index) const = 0;
  virtual void PutObject(int index, std::any object) = 0;
  virtual void InsertObject(int index, std::string s, std::any object) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  // ---- operations with a general implementation
  // Returns the index of the new line (or, on a sorted list that ignores
  // duplicates, of the line already there).
  virtual int AddObject(std::string s, std::any object);
  virtual void Exchange(int index1, int index2);
  virtual void Move(int curIndex, int newIndex);
  virtual int IndexOf(std::string_view s) const;
  // <0, 0, >0 as `a` orders before, equal to or after `b`.
  virtual int CompareStrings(std::string_view a, std::string_view b) const;

  int Add(std::string s) { return AddObject(std::move(s), std::any()); }
  void Insert(int index, std::string s) { InsertObject(index, std::move(s), std::any()); }
  const std::string& operator[](int index) const { return Get(index); }
  const std::string& Strings(int index) const { return Get(index); }
  void SetStrings(int index, std::string s) { Put(index, std::move(s)); }
  const std::any& Objects(int index) const { return GetObject(index); }
  void SetObjects(int index, std::any object) { PutObject(index, std::move(object)); }
  // The object at `index` when it holds a T, else T{}.
  template <class T>
  T ObjectAs(int index) const {
    const T* p = std::any_cast<T>(&GetObject(index));
    return p ? *p : T{};
  }
  bool IsEmpty() const { return Count() == 0; }
  std::vector<std::string> ToVector() const;

  // ---- text forms
  std::string Text() const;
  void SetText(std::string_view text);
  // Items separated by ',', quoted with '"' when they are empty or contain a
  // blank or control byte, ',' or '"' (doubled inside quotes); reading
  // splits at ',' and at unquoted blanks.
  std::string CommaText() const;
  void SetCommaText(std::string_view text);
  // As CommaText with Delimiter, QuoteChar and StrictDelimiter (when set,
  // only the delimiter separates items and blanks are kept).
  std::string DelimitedText() const;
  void SetDelimitedText(std::string_view text);

  const std::string& LineBreak() const noexcept { return FLineBreak; }
  void SetLineBreak(std::string value) { FLineBreak = std::move(value); }
  char Delimiter() const noexcept { return FDelimiter; }
  void SetDelimiter(char value) noexcept { FDelimiter = value; }
  char QuoteChar() const noexcept { return FQuoteChar; }
  void SetQuoteChar(char value) noexcept { FQuoteChar = value; }
  bool StrictDelimiter() const noexcept { return FStrictDelimiter; }
  void SetStrictDelimiter(bool value) noexcept { FStrictDelimiter = value; }
  char NameValueSeparator() const noexcept { return FNameValueSeparator; }
  void SetNameValueSeparator(char value) noexcept { FNameValueSeparator = value; }
  bool WriteBOM() const noexcept { return FWriteBOM; }
  void SetWriteBOM(bool value) noexcept { FWriteBOM = value; }

  // ---- Name=Value lines (split at the first NameValueSeparator)
  // The name of the line, "" when it has no separator.
  std::string Names(int index) const;
  // The text after the first separator, "" when there is none.
  std::string ValueFromIndex(int index) const;
  void SetValueFromIndex(int index, std::string_view value);
  // -1 when no line with a separator has that name.
  int IndexOfName(std::string_view name) const;
  std::string Values(std::string_view name) const;
  void SetValues(std::string_view name, std::string_view value);

  // ---- whole lists
  // Replaces the lines and objects with those of `source`.
  void Assign(const TStrings& source);
  void Assign(const std::vector<std::string>& lines);
  void AddStrings(const TStrings& source);
  void AddStrings(const std::vector<std::string>& lines);
  // Same count and byte-equal lines (objects are not compared).
  bool Equals(const TStrings& other) const;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const noexcept { return FUpdateCount; }

  // Reads from the stream's position to its end and sets Text.
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  void LoadFromFile(const std::string& fileName);
  // Replaces the file safely (temporary file + rename).
  void SaveToFile(const std::string& fileName) const;

 protected:
  // Called when the outermost update begins (true) and ends (false).
  virtual void SetUpdateState(bool updating);
  // Replaces the line at `index` (used by the Name=Value setters); a sorted
  // list moves it to its place.
  virtual void PutKeepingOrder(int index, std::string s);
  // Replaces every line; does nothing when the list holds exactly `lines`
  // without objects.
  void ReplaceLines(std::vector<std::string> lines);
  [[noreturn]] static void ListIndexError(int index);

 private:
  std::string FLineBreak = "\r\n";
  char FDelimiter = ',';
  char FQuoteChar = '"';
  char FNameValueSeparator = '=';
  bool FStrictDelimiter = false;
  bool FWriteBOM = false;
  int FUpdateCount = 0;
};

using TNotifyStringsEvent = std::function<void(TStrings& sender)>;

class TStringList : public TStrings {
 public:
  TStringList() = default;
  ~TStringList() override = default;

  int Count() const override { return static_cast<int>(FList.size()); }
  const std::string& Get(int index) const override;
  void Put(int index, std::string s) override;
  const std::any& GetObject(int index) const override;
  void PutObject(int index, std::any object) override;
  void InsertObject(int index, std::string s, std::any object) override;
  void Delete(int index) override;
  void Clear() override;
  int AddObject(std::string s, std::any object) override;
  void Exchange(int index1, int index2) override;
  void Move(int curIndex, int newIndex) override;
  int IndexOf(std::string_view s) const override;
  int CompareStrings(std::string_view a, std::string_view b) const override;

  // True when `s` is in the list; `index` is then its (first) position, else
  // where it would be inserted. Binary search on a sorted list.
  bool Find(std::string_view s, int& index) const;
  // Sorts with CompareStrings (stable).
  virtual void Sort();
  // Sorts with `compare(list, i, j)` < 0 meaning line i goes before line j;
  // the list is unchanged while `compare` runs.
  void CustomSort(const std::function<int(const TStringList& list, int index1, int index2)>& compare);

  bool Sorted() const noexcept { return FSorted; }
  void SetSorted(bool value);
  TDuplicates Duplicates() const noexcept { return FDuplicates; }
  void SetDuplicates(TDuplicates value) noexcept { FDuplicates = value; }
  bool CaseSensitive() const noexcept { return FCaseSensitive; }
  void SetCaseSensitive(bool value);

  const TNotifyStringsEvent& OnChange() const noexcept { return FOnChange; }
  void SetOnChange(TNotifyStringsEvent handler) { FOnChange = std::move(handler); }
  const TNotifyStringsEvent& OnChanging() const noexcept { return FOnChanging; }
  void SetOnChanging(TNotifyStringsEvent handler) { FOnChanging = std::move(handler); }

 protected:
  // Announce a modification (before) and its completion (after); they fire
  // the events or, inside an update, remember that one is due.
  virtual void Changing();
  virtual void Changed();
  void SetUpdateState(bool updating) override;
  void PutKeepingOrder(int index, std::string s) override;

 private:
  struct TStringItem {
    std::string FString;
    std::any FObject;
  };

  void CheckIndex(int index) const;
  void CheckNotSorted() const;
  // Reorders by a stable sort of positions; no events when nothing moves.
  void SortPositions(const std::function<bool(int, int)>& less);

  std::vector<TStringItem> FList;
  bool FSorted = false;
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
  bool FCaseSensitive = false;
  bool FChangingSent = false;
  bool FChangePending = false;
  TNotifyStringsEvent FOnChange;
  TNotifyStringsEvent FOnChanging;
};

}  // namespace lumo
