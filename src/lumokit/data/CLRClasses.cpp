#include <lumokit/data/CLRClasses.h>

#include <map>
#include <memory>
#include <mutex>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>

namespace lumo {

void RaiseRangeError(std::size_t index, std::size_t count, std::size_t size) {
  throw ArgumentException(Format("Index %u and count %u are outside the buffer of %u elements", {index, count, size}));
}

// ---- Encoding ----------------------------------------------------------------

Encoding::Encoding(int codePage) : FCodePage(codePage) {
  if (codePage != CP_ACP) CheckCodePage(codePage);
}

const Encoding& Encoding::Default() {
  static const Encoding e(CP_ACP);
  return e;
}

const Encoding& Encoding::ASCII() {
  static const Encoding e(CP_ASCII);
  return e;
}

const Encoding& Encoding::Unicode() {
  static const Encoding e(CP_UTF16LE);
  return e;
}

const Encoding& Encoding::BigEndianUnicode() {
  static const Encoding e(CP_UTF16BE);
  return e;
}

const Encoding& Encoding::UTF8() {
  static const Encoding e(CP_UTF8);
  return e;
}

const Encoding& Encoding::GetEncoding(int CodePage) {
  if (CodePage == CP_ACP) return Default();
  static std::mutex lock;
  static std::map<int, std::unique_ptr<Encoding>> cache;
  std::lock_guard<std::mutex> guard(lock);
  auto& slot = cache[CodePage];
  if (!slot) {
    try {
      slot = std::make_unique<Encoding>(CodePage);
    } catch (...) {
      cache.erase(CodePage);
      throw;
    }
  }
  return *slot;
}

int Encoding::CodePage() const { return ResolveCodePage(FCodePage); }

namespace {

TBytes ToBytes(const std::string& s) { return TBytes(s.begin(), s.end()); }

std::string_view AsView(const TBytes& b, std::size_t index, std::size_t count) {
  CheckRange(index, count, b.size());
  return std::string_view(reinterpret_cast<const char*>(b.data()) + index, count);
}

bool IsUnicodePage(int cp) { return cp == 1200 || cp == 1201 || cp == 12000 || cp == 12001; }

}  // namespace

TBytes Encoding::GetBytes(std::u16string_view chars) const { return ToBytes(UnicodeToCodePage(chars, CodePage())); }

TBytes Encoding::GetBytes(std::string_view ansiText) const {
  return ToBytes(ConvertCodePage(ansiText, DefaultCodePage(), CodePage()));
}

std::u16string Encoding::GetWideString(const TBytes& bytes) const {
  return GetWideString(AsView(bytes, 0, bytes.size()));
}

std::u16string Encoding::GetWideString(const TBytes& bytes, std::size_t index, std::size_t count) const {
  return GetWideString(AsView(bytes, index, count));
}

std::u16string Encoding::GetWideString(std::string_view bytes) const { return CodePageToUnicode(bytes, CodePage()); }

std::string Encoding::GetAnsiString(const TBytes& bytes) const {
  return GetAnsiString(AsView(bytes, 0, bytes.size()));
}

std::string Encoding::GetAnsiString(const TBytes& bytes, std::size_t index, std::size_t count) const {
  return GetAnsiString(AsView(bytes, index, count));
}

std::string Encoding::GetAnsiString(std::string_view bytes) const {
  return ConvertCodePage(bytes, CodePage(), DefaultCodePage());
}

std::size_t Encoding::GetMaxByteCount(std::size_t charCount) const {
  auto perChar = static_cast<std::size_t>(CodePageMaxBytesPerChar(CodePage()));
  if (charCount > SIZE_MAX / perChar) throw ArgumentException("Character count too large");
  return charCount * perChar;
}

std::size_t Encoding::GetMaxCharCount(std::size_t byteCount) const {
  // UTF-16 and UTF-32 take at least two bytes per unit (a dangling byte makes
  // one U+FFFD); every other page yields at most one unit per byte.
  return IsUnicodePage(CodePage()) ? byteCount / 2 + (byteCount & 1) : byteCount;
}

TBytes Encoding::Convert(const Encoding& srcEncoding, const Encoding& dstEncoding, const TBytes& bytes) {
  return Convert(srcEncoding, dstEncoding, bytes, 0, bytes.size());
}

TBytes Encoding::Convert(const Encoding& srcEncoding, const Encoding& dstEncoding, const TBytes& bytes,
                         std::size_t index, std::size_t count) {
  return ToBytes(ConvertCodePage(AsView(bytes, index, count), srcEncoding.CodePage(), dstEncoding.CodePage()));
}

// ---- Marshal, BitConverter, Buffer -------------------------------------------

namespace Marshal {

std::string PtrToStringAnsi(const char* p) { return p ? std::string(p) : std::string(); }

std::string PtrToStringAnsi(const char* p, std::size_t len) { return p ? std::string(p, len) : std::string(); }

std::u16string PtrToStringUni(const char16_t* p) { return p ? std::u16string(p) : std::u16string(); }

std::u16string PtrToStringUni(const char16_t* p, std::size_t len) {
  return p ? std::u16string(p, len) : std::u16string();
}

void Copy(const TBytes& source, std::size_t startIndex, void* destination, std::size_t count) {
  CheckRange(startIndex, count, source.size());
  if (count) std::memmove(destination, source.data() + startIndex, count);
}

void Copy(const void* source, TBytes& destination, std::size_t startIndex, std::size_t count) {
  CheckRange(startIndex, count, destination.size());
  if (count) std::memmove(destination.data() + startIndex, source, count);
}

}  // namespace Marshal

namespace BitConverter {

std::int64_t DoubleToInt64Bits(double value) noexcept {
  std::int64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double Int64BitsToDouble(std::int64_t value) noexcept {
  double d;
  std::memcpy(&d, &value, sizeof d);
  return d;
}

}  // namespace BitConverter

namespace Buffer {

void BlockCopy(const TBytes& src, std::size_t srcOffset, TBytes& dst, std::size_t dstOffset, std::size_t count) {
  CheckRange(srcOffset, count, src.size());
  CheckRange(dstOffset, count, dst.size());
  if (count) std::memmove(dst.data() + dstOffset, src.data() + srcOffset, count);
}

std::uint8_t GetByte(const TBytes& array, std::size_t index) {
  CheckRange(index, 1, array.size());
  return array[index];
}

void SetByte(TBytes& array, std::size_t index, std::uint8_t value) {
  CheckRange(index, 1, array.size());
  array[index] = value;
}

}  // namespace Buffer

// ---- TStringBuilderT -----------------------------------------------------------

template <typename CharT>
TStringBuilderT<CharT>::TStringBuilderT(std::size_t capacity) : FString(capacity, CharT()) {}

template <typename CharT>
TStringBuilderT<CharT>::TStringBuilderT(view_type value) : FString(value), FActualLength(value.size()) {}

template <typename CharT>
void TStringBuilderT<CharT>::Grow(std::size_t needed) {
  if (needed <= FString.size()) return;
  if (needed > FString.max_size() / 2) throw ArgumentException("Text builder too large");
  FString.resize(needed + FActualLength + FString.size() / 2);
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Append(view_type value) {
  if (value.empty()) return *this;
  // `value` may point into this builder: copy it before the buffer moves.
  if (FActualLength + value.size() > FString.size()) {
    string_type copy(value);
    Grow(FActualLength + copy.size());
    copy.copy(FString.data() + FActualLength, copy.size());
    FActualLength += copy.size();
    return *this;
  }
  std::char_traits<CharT>::move(FString.data() + FActualLength, value.data(), value.size());
  FActualLength += value.size();
  return *this;
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Append(view_type value, std::size_t startIndex, std::size_t count) {
  CheckRange(startIndex, count, value.size());
  return Append(value.substr(startIndex, count));
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Append(CharT value) {
  Grow(FActualLength + 1);
  FString[FActualLength++] = value;
  return *this;
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Append(CharT value, std::size_t repeatCount) {
  if (repeatCount > FString.max_size() - FActualLength) throw ArgumentException("Text builder too large");
  Grow(FActualLength + repeatCount);
  std::char_traits<CharT>::assign(FString.data() + FActualLength, repeatCount, value);
  FActualLength += repeatCount;
  return *this;
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Append(const TStringBuilderT& value) {
  return Append(value.View());
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Insert(std::size_t index, view_type value) {
  CheckRange(index, 0, FActualLength);
  if (value.empty()) return *this;
  string_type copy(value);
  Grow(FActualLength + copy.size());
  CharT* d = FString.data();
  std::char_traits<CharT>::move(d + index + copy.size(), d + index, FActualLength - index);
  std::char_traits<CharT>::copy(d + index, copy.data(), copy.size());
  FActualLength += copy.size();
  return *this;
}

template <typename CharT>
TStringBuilderT<CharT>& TStringBuilderT<CharT>::Replace(view_type oldValue, view_type newValue) {
  if (oldValue.empty()) throw ArgumentException("String cannot be of zero length.");
  view_type text = View();
  std::size_t pos = text.find(oldValue);
  if (pos == view_type::npos) return *this;
  string_type result;
  result.reserve(FActualLength);
  std::size_t from = 0;
  while (pos != view_type::npos) {
    result.append(text.substr(from, pos - from));
    result.append(newValue);
    from = pos + oldValue.size();
    pos = text.find(oldValue, from);
  }
  result.append(text.substr(from));
  std::size_t len = result.size();
  if (len > FString.size()) result.resize(len + len / 2);
  else result.resize(FString.size());
  FString = std::move(result);
  FActualLength = len;
  return *this;
}

template <typename CharT>
void TStringBuilderT<CharT>::SetLength(std::size_t value) {
  if (value > FActualLength) {
    Grow(value);
    std::char_traits<CharT>::assign(FString.data() + FActualLength, value - FActualLength, CharT());
  }
  FActualLength = value;
}

template <typename CharT>
CharT TStringBuilderT<CharT>::operator[](std::size_t index) const {
  CheckRange(index, 1, FActualLength);
  return FString[index];
}

template class TStringBuilderT<char>;
template class TStringBuilderT<char16_t>;

}  // namespace lumo
