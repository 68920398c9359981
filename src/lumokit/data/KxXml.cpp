#include <lumokit/data/KxXml.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/Format.h>
#include <lumokit/core/Streams.h>

namespace lumo {

namespace {

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/";
constexpr std::size_t kFlushSize = 64 * 1024;

bool IsXmlChar(char32_t c) noexcept {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsNameStartChar(char32_t c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 0xC0 && c <= 0xD6) ||
         (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
         (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
         (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) noexcept {
  return IsNameStartChar(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A name without a colon (element, attribute or prefix name).
bool IsNCName(std::string_view name) {
  if (name.empty()) return false;
  const char* p = name.data();
  const char* end = p + name.size();
  bool first = true;
  while (p < end) {
    char32_t c;
    p += DecodeUtf8Char(p, end, c);
    if (c == kInvalidUtf8 || !(first ? IsNameStartChar(c) : IsNameChar(c))) return false;
    first = false;
  }
  return true;
}

// Names from a document in error messages are cut to a readable length.
std::string Clip(std::string_view s) {
  constexpr std::size_t kMax = 200;
  if (s.size() <= kMax) return std::string(s);
  std::size_t n = kMax;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;  // whole characters only
  return std::string(s.substr(0, n)) + "...";
}

enum class Escape { Encode, Text, Attribute, None };

// Appends text with the escapes of `mode`, dropping characters XML forbids
// (surrogate code points included) and replacing malformed UTF-8 by U+FFFD.
void AppendEscaped(std::string& out, std::string_view text, Escape mode) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* run = p;
    while (p < end) {
      auto b = static_cast<unsigned char>(*p);
      if (b < 0x20 || b >= 0x80 || b == '&' || b == '<' || b == '>' || b == '"' || b == '\'') break;
      ++p;
    }
    out.append(run, static_cast<std::size_t>(p - run));
    if (p == end) break;
    auto b = static_cast<unsigned char>(*p);
    if (b >= 0x80) {
      // A surrogate code point written as three bytes (ED A0..BF xx) is dropped.
      if (b == 0xED && end - p >= 3 && (static_cast<unsigned char>(p[1]) & 0xE0) == 0xA0 &&
          (static_cast<unsigned char>(p[2]) & 0xC0) == 0x80) {
        p += 3;
        continue;
      }
      char32_t c;
      std::size_t n = DecodeUtf8Char(p, end, c);
      if (c == kInvalidUtf8) out.append("\xEF\xBF\xBD");
      else if (IsXmlChar(c)) out.append(p, n);
      p += n;
      continue;
    }
    ++p;
    if (mode == Escape::None) {
      if (IsXmlChar(b)) out.push_back(static_cast<char>(b));
      continue;
    }
    switch (b) {
      case '"': out.append("&#x22;"); break;
      case '&': out.append("&#x26;"); break;
      case '\'': out.append("&#x27;"); break;
      case '<': out.append("&#x3c;"); break;
      case '>': out.append("&#x3e;"); break;
      case '\t':
        if (mode == Escape::Attribute) out.append("&#x9;");
        else out.push_back('\t');
        break;
      case '\n':
        if (mode == Escape::Attribute) out.append("&#xA;");
        else out.push_back('\n');
        break;
      case '\r':
        if (mode == Escape::Encode) out.push_back('\r');
        else out.append("&#xD;");
        break;
      default:
        break;  // other control characters are not allowed in XML 1.0
    }
  }
}

void CheckName(std::string_view name) {
  if (name.empty()) throw XmlException("The empty string '' is not a valid local name.");
  if (!IsNCName(name)) throw XmlException("Invalid name character in '" + Clip(name) + "'.");
}

const char* StateName(WriteState s) {
  switch (s) {
    case WriteState::Start: return "Start";
    case WriteState::Prolog: return "Prolog";
    case WriteState::Element: return "Element";
    case WriteState::Content: return "Content";
    case WriteState::Epilog: return "Epilog";
    case WriteState::Closed: return "Closed";
  }
  return "Error";
}

}  // namespace

std::string XMLEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, Escape::Encode);
  return out;
}

// ---- XmlTextWriter -------------------------------------------------------------

XmlTextWriter::XmlTextWriter(TStream& stream)
    : FSink([&stream](std::string_view s) {
        const char* p = s.data();
        auto left = static_cast<std::int64_t>(s.size());
        while (left > 0) {
          std::int64_t n = stream.Write(p, left);
          if (n <= 0) throw EStreamError("Stream write error");
          p += n;
          left -= n;
        }
      }) {}

XmlTextWriter::XmlTextWriter(std::string& output) : FOutput(&output) {}

XmlTextWriter::XmlTextWriter(TSink sink) : FSink(std::move(sink)) {}

XmlTextWriter::~XmlTextWriter() {
  try {
    Flush();
  } catch (...) {
    // a destructor must not throw; Flush and Close report errors
  }
}

void XmlTextWriter::Out(std::string_view s) {
  if (FOutput) {
    FOutput->append(s);
    return;
  }
  FBuffer.append(s);
  if (FBuffer.size() >= kFlushSize) Flush();
}

void XmlTextWriter::Flush() {
  if (FBuffer.empty() || !FSink) return;
  std::string data;
  data.swap(FBuffer);
  FSink(data);
}

void XmlTextWriter::InvalidToken(const char* token) const {
  throw XmlException(
      Format("Token %s in state %s would result in an invalid XML document.", {token, StateName(FState)}));
}

void XmlTextWriter::Indent(std::size_t level) {
  Out("\n");
  Out(std::string(level * static_cast<std::size_t>(FIndentation), FIndentChar));
}

void XmlTextWriter::WriteStartDocument() {
  if (FState != WriteState::Start) InvalidToken("StartDocument");
  Out("<?xml version=\"1.0\" encoding=\"utf-8\"?>");
  FState = WriteState::Prolog;
}

void XmlTextWriter::WriteStartDocument(bool standalone) {
  if (FState != WriteState::Start) InvalidToken("StartDocument");
  Out(standalone ? "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>"
                 : "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>");
  FState = WriteState::Prolog;
}

void XmlTextWriter::WriteEndDocument() {
  if (FState == WriteState::Closed) InvalidToken("EndDocument");
  if (FElements.empty() && FState != WriteState::Epilog) throw XmlException("Document does not have a root element.");
  while (!FElements.empty()) EndElement(false);
}

const std::string* XmlTextWriter::LookupNamespace(std::string_view prefix) const {
  for (auto it = FBindings.rbegin(); it != FBindings.rend(); ++it)
    if (it->prefix == prefix) return &it->ns;
  return nullptr;
}

const std::string* XmlTextWriter::LookupPrefix(std::string_view ns) const {
  for (auto it = FBindings.rbegin(); it != FBindings.rend(); ++it) {
    if (it->ns != ns || it->prefix.empty()) continue;
    const std::string* bound = LookupNamespace(it->prefix);  // not shadowed further in
    if (bound && *bound == ns) return &it->prefix;
  }
  return nullptr;
}

void XmlTextWriter::WriteAttr(std::string_view qname, std::string_view value) {
  for (const auto& name : FTagAttributes)
    if (name == qname) throw XmlException("'" + Clip(qname) + "' is a duplicate attribute name.");
  FTagAttributes.emplace_back(qname);
  Out(" ");
  Out(qname);
  const char quote[2] = {FQuoteChar, '\0'};
  Out("=");
  Out(quote);
  std::string escaped;
  AppendEscaped(escaped, value, Escape::Attribute);
  Out(escaped);
  Out(quote);
}

void XmlTextWriter::SetQuoteChar(char value) {
  if (value != '"' && value != '\'') throw XmlException("Invalid XML attribute quote character.");
  FQuoteChar = value;
}

void XmlTextWriter::Declare(std::string_view prefix, std::string_view ns) {
  WriteAttr(prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(prefix), ns);
  FBindings.push_back({std::string(prefix), std::string(ns)});
}

void XmlTextWriter::CloseStartTag() {
  Out(">");
  FTagAttributes.clear();
  FState = WriteState::Content;
}

void XmlTextWriter::StartElement(std::string_view prefix, std::string_view localName,
                                 std::optional<std::string_view> ns) {
  if (FState == WriteState::Epilog || FState == WriteState::Closed) InvalidToken("StartElement");
  CheckName(localName);
  if (!prefix.empty()) {
    CheckName(prefix);
    if (prefix == "xmlns") throw XmlException("Prefix \"xmlns\" is reserved for use by XML.");
    if (ns && ns->empty()) throw XmlException("Cannot use a prefix with an empty namespace.");
  }

  if (FState == WriteState::Element) CloseStartTag();
  if (!FElements.empty()) FElements.back().hasChildren = true;
  if (FFormatting == XmlFormatting::Indented) {
    if (!FElements.empty() && !FElements.back().hasText) Indent(FElements.size());
    else if (FElements.empty() && FState == WriteState::Prolog) Out("\n");
  }

  std::string usePrefix(prefix);
  bool declare = false;
  if (ns) {
    if (prefix.empty()) {
      const std::string* current = LookupNamespace("");
      std::string_view inScope = current ? std::string_view(*current) : std::string_view();
      if (inScope != *ns) {
        const std::string* bound = ns->empty() ? nullptr : LookupPrefix(*ns);
        if (bound) usePrefix = *bound;
        else declare = true;
      }
    } else if (prefix != "xml") {
      const std::string* current = LookupNamespace(prefix);
      declare = !current || *current != *ns;
    }
  }

  std::string qname = usePrefix.empty() ? std::string(localName) : usePrefix + ":" + std::string(localName);
  Out("<");
  Out(qname);
  FElements.push_back({std::move(qname), FBindings.size()});
  FTagAttributes.clear();
  FState = WriteState::Element;
  if (declare) Declare(usePrefix, *ns);
}

void XmlTextWriter::WriteStartElement(std::string_view localName) { StartElement({}, localName, std::nullopt); }

void XmlTextWriter::WriteStartElement(std::string_view localName, std::string_view ns) {
  StartElement({}, localName, ns);
}

void XmlTextWriter::WriteStartElement(std::string_view prefix, std::string_view localName, std::string_view ns) {
  StartElement(prefix, localName, ns);
}

void XmlTextWriter::Attribute(std::string_view prefix, std::string_view localName,
                              std::optional<std::string_view> ns, std::string_view value) {
  if (FState != WriteState::Element) InvalidToken("WriteAttributeString");
  CheckName(localName);
  if (!prefix.empty()) CheckName(prefix);

  if (prefix == "xmlns" || (prefix.empty() && localName == "xmlns")) {
    if (ns && !ns->empty() && *ns != kXmlnsNamespace)
      throw XmlException("The 'xmlns' attribute is bound to the reserved namespace 'http://www.w3.org/2000/xmlns/'.");
    std::string_view declared = prefix.empty() ? std::string_view() : localName;
    if (!declared.empty() && value.empty()) throw XmlException("Cannot use a prefix with an empty namespace.");
    // Already declared on this tag (by WriteStartElement, say)?
    for (std::size_t i = FElements.back().nsMark; i < FBindings.size(); ++i) {
      if (FBindings[i].prefix != declared) continue;
      if (FBindings[i].ns == value) return;
      throw XmlException("The prefix '" + Clip(declared) + "' cannot be redefined from '" + Clip(FBindings[i].ns) +
                         "' to '" + Clip(value) + "' within the same start element tag.");
    }
    Declare(declared, value);
    return;
  }

  std::string usePrefix(prefix);
  bool declare = false;
  if (prefix == "xml") {
    if (ns && !ns->empty() && *ns != kXmlNamespace)
      throw XmlException("The prefix 'xml' is bound to the namespace 'http://www.w3.org/XML/1998/namespace'.");
  } else if (ns && !ns->empty()) {
    if (prefix.empty()) {
      const std::string* bound = LookupPrefix(*ns);
      if (bound) {
        usePrefix = *bound;
      } else {
        usePrefix = Format("d%dp%d", {static_cast<int>(FElements.size()), ++FPrefixCounter});
        declare = true;
      }
    } else {
      const std::string* current = LookupNamespace(prefix);
      declare = !current || *current != *ns;
    }
  } else if (!prefix.empty()) {
    throw XmlException("Cannot use a prefix with an empty namespace.");
  }

  WriteAttr(usePrefix.empty() ? std::string(localName) : usePrefix + ":" + std::string(localName), value);
  if (declare) Declare(usePrefix, *ns);
}

void XmlTextWriter::WriteAttributeString(std::string_view localName, std::string_view value) {
  Attribute({}, localName, std::nullopt, value);
}

void XmlTextWriter::WriteAttributeString(std::string_view localName, std::string_view ns, std::string_view value) {
  Attribute({}, localName, ns, value);
}

void XmlTextWriter::WriteAttributeString(std::string_view prefix, std::string_view localName, std::string_view ns,
                                         std::string_view value) {
  Attribute(prefix, localName, ns, value);
}

void XmlTextWriter::BeginContent(const char* token) {
  if (FState == WriteState::Element) CloseStartTag();
  else if (FState != WriteState::Content) InvalidToken(token);
  FElements.back().hasText = true;
}

void XmlTextWriter::WriteString(std::string_view text) {
  BeginContent("Content");
  std::string escaped;
  escaped.reserve(text.size());
  AppendEscaped(escaped, text, Escape::Text);
  Out(escaped);
}

void XmlTextWriter::WriteElementString(std::string_view localName, std::string_view value) {
  WriteStartElement(localName);
  if (!value.empty()) WriteString(value);
  WriteEndElement();
}

void XmlTextWriter::WriteCData(std::string_view text) {
  BeginContent("CData");
  std::string clean;
  AppendEscaped(clean, text, Escape::None);
  Out("<![CDATA[");
  std::size_t from = 0, pos;
  while ((pos = clean.find("]]>", from)) != std::string::npos) {  // split the terminator
    Out(std::string_view(clean).substr(from, pos + 2 - from));
    Out("]]><![CDATA[");
    from = pos + 2;
  }
  Out(std::string_view(clean).substr(from));
  Out("]]>");
}

void XmlTextWriter::WriteComment(std::string_view text) {
  if (FState == WriteState::Closed) InvalidToken("Comment");
  if (text.find("--") != std::string_view::npos || (!text.empty() && text.back() == '-'))
    throw XmlException("An XML comment cannot contain '--', and '-' cannot be the last character.");
  if (FState == WriteState::Element) CloseStartTag();
  if (FState == WriteState::Start) FState = WriteState::Prolog;
  if (!FElements.empty()) FElements.back().hasChildren = true;
  if (FFormatting == XmlFormatting::Indented && !FElements.empty() && !FElements.back().hasText)
    Indent(FElements.size());
  std::string clean;
  AppendEscaped(clean, text, Escape::None);
  Out("<!--");
  Out(clean);
  Out("-->");
}

void XmlTextWriter::WriteRaw(std::string_view data) {
  if (FState == WriteState::Closed) InvalidToken("RawData");
  if (FState == WriteState::Element) CloseStartTag();
  if (FState == WriteState::Start) FState = WriteState::Prolog;
  if (!FElements.empty()) FElements.back().hasText = true;
  Out(data);
}

void XmlTextWriter::EndElement(bool full) {
  if (FElements.empty()) throw XmlException("There was no XML start tag open.");
  OpenElement& e = FElements.back();
  if (FState == WriteState::Element) {
    if (full) {
      Out("></");
      Out(e.qname);
      Out(">");
    } else {
      Out(" />");
    }
    FTagAttributes.clear();
  } else {
    if (FFormatting == XmlFormatting::Indented && e.hasChildren && !e.hasText) Indent(FElements.size() - 1);
    Out("</");
    Out(e.qname);
    Out(">");
  }
  FBindings.resize(e.nsMark);
  FElements.pop_back();
  FState = FElements.empty() ? WriteState::Epilog : WriteState::Content;
}

void XmlTextWriter::WriteEndElement() {
  if (FState == WriteState::Closed) InvalidToken("EndElement");
  EndElement(false);
}

void XmlTextWriter::WriteFullEndElement() {
  if (FState == WriteState::Closed) InvalidToken("EndElement");
  EndElement(true);
}

void XmlTextWriter::Close() {
  if (FState == WriteState::Closed) return;
  while (!FElements.empty()) EndElement(false);
  Flush();
  FState = WriteState::Closed;
}

// ---- XmlTextReader -------------------------------------------------------------

XmlTextReader::XmlTextReader(std::string document) : FData(std::move(document)) {}

XmlTextReader::XmlTextReader(TStream& stream, std::int64_t maxSize) {
  char chunk[64 * 1024];
  for (;;) {
    std::int64_t n = stream.Read(chunk, static_cast<std::int64_t>(sizeof chunk));
    if (n <= 0) break;
    if (static_cast<std::int64_t>(FData.size()) + n > maxSize) throw XmlException("The XML document is too large.");
    FData.append(chunk, static_cast<std::size_t>(n));
  }
}

void XmlTextReader::PositionOf(std::size_t pos, int& line, int& column) const {
  pos = std::min(pos, FData.size());
  if (pos < FLineCachePos) {
    FLineCachePos = 0;
    FLineCacheLine = 1;
    FLineCacheStart = 0;
  }
  for (std::size_t i = FLineCachePos; i < pos; ++i)
    if (FData[i] == '\n') {
      ++FLineCacheLine;
      FLineCacheStart = i + 1;
    }
  FLineCachePos = pos;
  line = FLineCacheLine;
  column = static_cast<int>(pos - FLineCacheStart + 1);
}

void XmlTextReader::Fail(const std::string& message, std::size_t pos) const {
  int line, column;
  PositionOf(pos, line, column);
  throw XmlException(message + Format(" Line %d, position %d.", {line, column}), line, column);
}

int XmlTextReader::LineNumber() const {
  int line, column;
  PositionOf(FNodePos, line, column);
  return line;
}

int XmlTextReader::LinePosition() const {
  int line, column;
  PositionOf(FNodePos, line, column);
  return column;
}

const XmlAttribute& XmlTextReader::Attribute(int index) const {
  if (index < 0 || index >= AttributeCount())
    throw EArgumentError(Format("Attribute index out of bounds (%d)", {index}));
  return FAttributes[static_cast<std::size_t>(index)];
}

std::optional<std::string> XmlTextReader::GetAttribute(std::string_view name) const {
  for (const auto& a : FAttributes)
    if (a.Name == name) return a.Value;
  return std::nullopt;
}

std::optional<std::string> XmlTextReader::GetAttribute(std::string_view localName,
                                                       std::string_view namespaceURI) const {
  for (const auto& a : FAttributes)
    if (a.LocalName == localName && a.NamespaceURI == namespaceURI) return a.Value;
  return std::nullopt;
}

void XmlTextReader::ResetNode() {
  FNodeType = XmlNodeType::None;
  FName.clear();
  FLocalName.clear();
  FPrefix.clear();
  FNamespaceURI.clear();
  FValue.clear();
  FIsEmptyElement = false;
  FAttributes.clear();
  FDepth = static_cast<int>(FScopes.size());
}

// Checks the whole input once: it must be UTF-8 made of XML characters.
void XmlTextReader::CheckDocument() {
  FChecked = true;
  if (FData.size() >= 2 && ((FData[0] == '\xFE' && FData[1] == '\xFF') || (FData[0] == '\xFF' && FData[1] == '\xFE')))
    Fail("Unsupported document encoding: only UTF-8 documents can be read.", 0);
  if (FData.compare(0, 3, "\xEF\xBB\xBF") == 0) FPos = 3;
  const char* begin = FData.data();
  const char* p = begin + FPos;
  const char* end = begin + FData.size();
  while (p < end) {
    auto b = static_cast<unsigned char>(*p);
    if (b >= 0x20 && b < 0x80) {
      ++p;
      continue;
    }
    char32_t c;
    std::size_t n = DecodeUtf8Char(p, end, c);
    if (c == kInvalidUtf8) Fail("Invalid character in the given encoding.", static_cast<std::size_t>(p - begin));
    if (!IsXmlChar(c))
      Fail(Format("Hexadecimal value 0x%.2X is an invalid character.", {static_cast<unsigned>(c)}),
           static_cast<std::size_t>(p - begin));
    p += n;
  }
}

bool XmlTextReader::StartsWith(std::string_view s) const {
  return FData.size() - FPos >= s.size() && std::string_view(FData).substr(FPos, s.size()) == s;
}

void XmlTextReader::SkipSpaces() {
  while (FPos < FData.size() && IsSpace(FData[FPos])) ++FPos;
}

std::size_t XmlTextReader::FindOrFail(std::string_view what, const char* construct) {
  std::size_t at = FData.find(what, FPos);
  if (at == std::string::npos)
    Fail(Format("Unexpected end of file while parsing %s has occurred.", {construct}), FData.size());
  return at;
}

// Reads a name that may contain colons (split later by Resolve).
void XmlTextReader::ReadName(std::string& out) {
  const char* begin = FData.data();
  const char* end = begin + FData.size();
  const char* p = begin + FPos;
  if (p >= end) Fail("Unexpected end of file while parsing Name has occurred.", FData.size());
  char32_t c;
  std::size_t n = DecodeUtf8Char(p, end, c);
  if (!IsNameStartChar(c))
    Fail(Format("Name cannot begin with the character 0x%.2X.", {static_cast<unsigned>(c)}), FPos);
  p += n;
  while (p < end) {
    n = DecodeUtf8Char(p, end, c);
    if (!IsNameChar(c) && c != ':') break;
    p += n;
  }
  out.assign(begin + FPos, p);
  FPos = static_cast<std::size_t>(p - begin);
}

// Decodes the reference at FPos ('&') into out.
void XmlTextReader::AppendReference(std::string& out) {
  std::size_t start = FPos;
  // Names and character references are short: look for ';' nearby only.
  std::size_t limit = std::min(FData.size(), FPos + 42);
  std::size_t semi = FPos + 1;
  while (semi < limit && FData[semi] != ';') ++semi;
  if (semi >= limit) Fail("An error occurred while parsing EntityName.", start);
  std::string_view name(FData.data() + FPos + 1, semi - FPos - 1);
  FPos = semi + 1;
  if (!name.empty() && name[0] == '#') {
    bool hex = name.size() > 1 && name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    char32_t value = 0;
    bool ok = !digits.empty();
    for (char ch : digits) {
      int d;
      if (ch >= '0' && ch <= '9') d = ch - '0';
      else if (hex && ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
      else if (hex && ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
      else {
        ok = false;
        break;
      }
      value = value * (hex ? 16 : 10) + static_cast<char32_t>(d);
      if (value > 0x10FFFF) {
        ok = false;
        break;
      }
    }
    if (!ok || !IsXmlChar(value)) Fail("Invalid character reference '&" + std::string(name) + ";'.", start);
    char buf[4];
    out.append(buf, EncodeUtf8Char(value, buf));
    return;
  }
  if (name == "lt") out.push_back('<');
  else if (name == "gt") out.push_back('>');
  else if (name == "amp") out.push_back('&');
  else if (name == "apos") out.push_back('\'');
  else if (name == "quot") out.push_back('"');
  else Fail("Reference to undeclared entity '" + std::string(name) + "'.", start);
}

void XmlTextReader::Resolve(std::string_view qname, bool isAttribute, std::string& prefix, std::string& local,
                            std::string& ns, std::size_t pos) const {
  std::size_t colon = qname.find(':');
  if (colon == std::string_view::npos) {
    prefix.clear();
    local.assign(qname);
    ns.clear();
    if (!isAttribute) {
      const std::string* bound = LookupNamespace({});
      if (bound) ns = *bound;
    }
    return;
  }
  std::string_view p = qname.substr(0, colon), l = qname.substr(colon + 1);
  if (!IsNCName(p) || !IsNCName(l)) Fail("Invalid qualified name '" + Clip(qname) + "'.", pos);
  prefix.assign(p);
  local.assign(l);
  if (p == "xml") {
    ns.assign(kXmlNamespace);
    return;
  }
  if (p == "xmlns") Fail("Prefix \"xmlns\" is reserved for use by XML.", pos);
  const std::string* bound = LookupNamespace(p);
  if (!bound) Fail("'" + Clip(p) + "' is an undeclared prefix.", pos);
  ns = *bound;
}

const std::string* XmlTextReader::LookupNamespace(std::string_view prefix) const {
  auto it = FNamespaces.find(std::string(prefix));
  return it == FNamespaces.end() || it->second.empty() ? nullptr : &it->second.back();
}

void XmlTextReader::Bind(std::string prefix, std::string ns) {
  FNamespaces[prefix].push_back(std::move(ns));
  FBindingLog.push_back(std::move(prefix));
}

void XmlTextReader::PopScope() {
  std::size_t mark = FScopes.back().nsMark;
  while (FBindingLog.size() > mark) {
    FNamespaces[FBindingLog.back()].pop_back();
    FBindingLog.pop_back();
  }
  FScopes.pop_back();
}

void XmlTextReader::ParseStartTag() {
  ++FPos;
  std::string qname;
  ReadName(qname);
  if (FScopes.empty() && FRootSeen) Fail("There are multiple root elements.", FNodePos + 1);
  if (static_cast<int>(FScopes.size()) >= FMaxDepth)
    Fail(Format("The XML document exceeds the maximum nesting depth of %d.", {FMaxDepth}), FNodePos + 1);

  struct RawAttr {
    std::string name, value;
    std::size_t pos;
  };
  std::vector<RawAttr> raw;
  bool empty = false;
  for (;;) {
    std::size_t before = FPos;
    SkipSpaces();
    bool spaced = FPos > before;
    if (FPos >= FData.size()) Fail("Unexpected end of file has occurred.", FData.size());
    char c = FData[FPos];
    if (c == '>') {
      ++FPos;
      break;
    }
    if (c == '/') {
      if (FPos + 1 >= FData.size() || FData[FPos + 1] != '>') Fail("Expected '>'.", FPos + 1);
      FPos += 2;
      empty = true;
      break;
    }
    if (!spaced) Fail("Whitespace is required between attributes.", FPos);
    RawAttr a;
    a.pos = FPos;
    ReadName(a.name);
    SkipSpaces();
    if (FPos >= FData.size() || FData[FPos] != '=') Fail("'=' is expected after an attribute name.", FPos);
    ++FPos;
    SkipSpaces();
    if (FPos >= FData.size() || (FData[FPos] != '"' && FData[FPos] != '\''))
      Fail("Attribute values must be enclosed in quotes.", FPos);
    char quote = FData[FPos++];
    for (;;) {
      if (FPos >= FData.size()) Fail("Unexpected end of file has occurred.", FData.size());
      char ch = FData[FPos];
      if (ch == quote) {
        ++FPos;
        break;
      }
      if (ch == '<') Fail("'<', hexadecimal value 0x3C, is an invalid attribute character.", FPos);
      if (ch == '&') {
        AppendReference(a.value);
        continue;
      }
      if (ch == '\r' && FPos + 1 < FData.size() && FData[FPos + 1] == '\n') ++FPos;  // CR LF is one break
      a.value.push_back(ch == '\t' || ch == '\n' || ch == '\r' ? ' ' : ch);
      ++FPos;
    }
    raw.push_back(std::move(a));
  }

  // Duplicate names, checked in document order with a hash set so that a
  // tag with very many attributes stays linear.
  if (raw.size() > 1) {
    std::unordered_set<std::string_view> names;
    names.reserve(raw.size() * 2);
    for (const auto& a : raw)
      if (!names.insert(a.name).second) Fail("'" + Clip(a.name) + "' is a duplicate attribute name.", a.pos);
  }

  FScopes.push_back({qname, FBindingLog.size(), FNodePos + 1});
  FRootSeen = true;
  for (const auto& a : raw) {
    if (a.name == "xmlns") {
      if (a.value == kXmlNamespace || a.value == kXmlnsNamespace)
        Fail("The namespace '" + Clip(a.value) + "' cannot be the default namespace.", a.pos);
      Bind(std::string(), a.value);
    } else if (a.name.compare(0, 6, "xmlns:") == 0) {
      std::string_view p = std::string_view(a.name).substr(6);
      if (!IsNCName(p)) Fail("Invalid qualified name '" + Clip(a.name) + "'.", a.pos);
      if (p == "xmlns" || (p == "xml" && a.value != kXmlNamespace))
        Fail("The prefix '" + Clip(p) + "' is reserved.", a.pos);
      if (a.value.empty()) Fail("Cannot use a prefix with an empty namespace.", a.pos);
      Bind(std::string(p), a.value);
    }
  }

  FNodeType = XmlNodeType::Element;
  FName = qname;
  Resolve(FName, false, FPrefix, FLocalName, FNamespaceURI, FNodePos + 1);
  FDepth = static_cast<int>(FScopes.size()) - 1;
  FIsEmptyElement = empty;
  FAttributes.reserve(raw.size());  // no reallocation: `expanded` points into it
  std::unordered_set<std::string> expanded;
  for (auto& a : raw) {
    XmlAttribute attr;
    if (a.name == "xmlns" || a.name.compare(0, 6, "xmlns:") == 0) {
      attr.Prefix = a.name == "xmlns" ? "" : "xmlns";
      attr.LocalName = a.name == "xmlns" ? "xmlns" : a.name.substr(6);
      attr.NamespaceURI.assign(kXmlnsNamespace);
    } else {
      Resolve(a.name, true, attr.Prefix, attr.LocalName, attr.NamespaceURI, a.pos);
      // Two attributes may not share a namespace and local name either.
      if (!attr.NamespaceURI.empty() && !expanded.insert(attr.NamespaceURI + '\n' + attr.LocalName).second)
        Fail("'" + Clip(a.name) + "' is a duplicate attribute name.", a.pos);
    }
    attr.Name = std::move(a.name);
    attr.Value = std::move(a.value);
    FAttributes.push_back(std::move(attr));
  }
  FPopPending = empty;
}

void XmlTextReader::ParseEndTag() {
  FPos += 2;
  std::string qname;
  ReadName(qname);
  SkipSpaces();
  if (FPos >= FData.size() || FData[FPos] != '>') Fail("Expected '>'.", FPos);
  ++FPos;
  if (FScopes.empty()) Fail("Unexpected end tag.", FNodePos + 2);
  const Scope& open = FScopes.back();
  if (qname != open.qname) {
    int line, column;
    PositionOf(open.startPos, line, column);
    Fail(Format("The '%s' start tag on line %d position %d does not match the end tag of '%s'.",
                {Clip(open.qname), line, column, Clip(qname)}),
         FNodePos + 2);
  }
  FNodeType = XmlNodeType::EndElement;
  FName = std::move(qname);
  Resolve(FName, false, FPrefix, FLocalName, FNamespaceURI, FNodePos + 2);
  FDepth = static_cast<int>(FScopes.size()) - 1;
  FPopPending = true;
}

namespace {

// CR LF and lone CR become LF, as in every XML processor.
std::string NormalizeBreaks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace

void XmlTextReader::ParseComment() {
  FPos += 4;
  std::size_t dashes = FindOrFail("--", "Comment");
  if (dashes + 2 >= FData.size() || FData[dashes + 2] != '>')
    Fail("An XML comment cannot contain '--', and '-' cannot be the last character.", dashes);
  FNodeType = XmlNodeType::Comment;
  FValue = NormalizeBreaks(std::string_view(FData).substr(FPos, dashes - FPos));
  FPos = dashes + 3;
}

void XmlTextReader::ParseCData() {
  if (FScopes.empty()) Fail("Data at the root level is invalid.", FPos);
  FPos += 9;
  std::size_t end = FindOrFail("]]>", "CDATA");
  FNodeType = XmlNodeType::CDATA;
  FValue = NormalizeBreaks(std::string_view(FData).substr(FPos, end - FPos));
  FPos = end + 3;
}

void XmlTextReader::ParseProcessingInstruction() {
  std::size_t bom = FData.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  FPos += 2;
  std::string target;
  ReadName(target);
  bool isDecl = target == "xml";
  if (!isDecl && target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' &&
      (target[2] | 0x20) == 'l')
    Fail("'" + target + "' is an invalid name for processing instructions.", FPos - 3);
  if (isDecl && FNodePos != bom)
    Fail("Unexpected XML declaration. The XML declaration must be the first node in the document.", FNodePos);
  std::size_t end = FindOrFail("?>", isDecl ? "XmlDeclaration" : "PI");
  if (FPos < end && !IsSpace(FData[FPos])) Fail("Whitespace is required after the processing instruction target.", FPos);
  SkipSpaces();
  FName = target;
  FValue.assign(FData, std::min(FPos, end), end - std::min(FPos, end));
  if (!isDecl) {
    FNodeType = XmlNodeType::ProcessingInstruction;
    FValue = NormalizeBreaks(FValue);
    FPos = end + 2;
    return;
  }

  // version="1.0" [encoding="..."] [standalone="yes|no"]
  FNodeType = XmlNodeType::XmlDeclaration;
  static const char* const kNames[] = {"version", "encoding", "standalone"};
  std::size_t next = 0;
  while (FPos < end) {
    std::size_t at = FPos;
    XmlAttribute a;
    ReadName(a.Name);
    SkipSpaces();
    if (FPos >= end || FData[FPos] != '=') Fail("Invalid syntax in the XML declaration.", FPos);
    ++FPos;
    SkipSpaces();
    if (FPos >= end || (FData[FPos] != '"' && FData[FPos] != '\'')) Fail("Invalid syntax in the XML declaration.", FPos);
    char quote = FData[FPos++];
    std::size_t close = FData.find(quote, FPos);
    if (close == std::string::npos || close > end) Fail("Invalid syntax in the XML declaration.", FPos);
    a.Value.assign(FData, FPos, close - FPos);
    FPos = close + 1;
    while (next < 3 && a.Name != kNames[next]) ++next;
    if (next == 3 || (FAttributes.empty() && a.Name != "version")) Fail("Invalid syntax in the XML declaration.", at);
    ++next;
    a.LocalName = a.Name;
    if (a.Name == "version" && a.Value.compare(0, 2, "1.") != 0)
      Fail("Version number '" + Clip(a.Value) + "' is invalid.", at);
    if (a.Name == "encoding") {
      std::string enc = a.Value;
      for (char& ch : enc) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
      if (enc != "utf-8" && enc != "utf8" && enc != "us-ascii" && enc != "ascii")
        Fail("System does not support '" + Clip(a.Value) + "' encoding.", at);
    }
    if (a.Name == "standalone" && a.Value != "yes" && a.Value != "no")
      Fail("Invalid value of the standalone attribute.", at);
    FAttributes.push_back(std::move(a));
    std::size_t before = FPos;
    SkipSpaces();
    if (FPos < end && FPos == before) Fail("Invalid syntax in the XML declaration.", FPos);
  }
  if (FAttributes.empty()) Fail("Invalid syntax in the XML declaration.", FPos);
  FPos = end + 2;
}

void XmlTextReader::ParseText() {
  std::size_t start = FPos;
  std::size_t lt = FData.find('<', FPos);
  std::size_t end = lt == std::string::npos ? FData.size() : lt;
  if (FScopes.empty()) {
    for (std::size_t i = FPos; i < end; ++i)
      if (!IsSpace(FData[i])) Fail("Data at the root level is invalid.", i);
    FNodeType = XmlNodeType::Whitespace;
    FValue = NormalizeBreaks(std::string_view(FData).substr(FPos, end - FPos));
    FPos = end;
    return;
  }
  bool allSpace = true;
  FValue.reserve(end - start);
  while (FPos < end) {
    char ch = FData[FPos];
    if (ch == '&') {
      AppendReference(FValue);
      allSpace = false;
      continue;
    }
    if (ch == '>' && FPos >= start + 2 && FData[FPos - 1] == ']' && FData[FPos - 2] == ']')
      Fail("']]>' is not allowed in character data.", FPos - 2);
    if (ch == '\r') {
      FValue.push_back('\n');
      if (FPos + 1 < end && FData[FPos + 1] == '\n') ++FPos;
    } else {
      if (!IsSpace(ch)) allSpace = false;
      FValue.push_back(ch);
    }
    ++FPos;
  }
  FNodeType = allSpace ? XmlNodeType::Whitespace : XmlNodeType::Text;
}

void XmlTextReader::ParseMarkup() {
  if (StartsWith("<?")) ParseProcessingInstruction();
  else if (StartsWith("<!--")) ParseComment();
  else if (StartsWith("<![CDATA[")) ParseCData();
  else if (StartsWith("<!DOCTYPE")) Fail("DTD is prohibited in this XML document.", FPos);
  else if (StartsWith("<!")) Fail("Invalid markup declaration.", FPos);
  else if (StartsWith("</")) ParseEndTag();
  else ParseStartTag();
}

bool XmlTextReader::Read() {
  if (FEof) return false;
  try {
    return ReadNode();
  } catch (...) {
    FEof = true;  // a malformed document ends the walk
    FNodeType = XmlNodeType::None;
    throw;
  }
}

bool XmlTextReader::ReadNode() {
  if (!FChecked) CheckDocument();
  for (;;) {
    if (FPopPending) {
      PopScope();
      FPopPending = false;
    }
    ResetNode();
    FNodePos = FPos;
    if (FPos >= FData.size()) {
      if (!FScopes.empty()) {
        std::string names;
        for (const auto& s : FScopes) names += (names.empty() ? "" : ", ") + Clip(s.qname);
        Fail("Unexpected end of file has occurred. The following elements are not closed: " + names + ".",
             FData.size());
      }
      if (!FRootSeen) Fail("Root element is missing.", FData.size());
      FEof = true;
      return false;
    }
    if (FData[FPos] == '<') ParseMarkup();
    else ParseText();
    if (FNodeType == XmlNodeType::Whitespace && FIgnoreWhitespace) continue;
    return true;
  }
}

XmlNodeType XmlTextReader::MoveToContent() {
  for (;;) {
    switch (FNodeType) {
      case XmlNodeType::Element:
      case XmlNodeType::EndElement:
      case XmlNodeType::Text:
      case XmlNodeType::CDATA:
        return FNodeType;
      default:
        if (!Read()) return XmlNodeType::None;
    }
  }
}

bool XmlTextReader::IsStartElement() { return MoveToContent() == XmlNodeType::Element; }

bool XmlTextReader::IsStartElement(std::string_view name) { return IsStartElement() && FName == name; }

std::string XmlTextReader::ReadElementString() {
  if (MoveToContent() != XmlNodeType::Element) throw XmlException("The current node is not a start element.");
  std::string text;
  if (FIsEmptyElement) {
    Read();
    return text;
  }
  while (Read()) {
    switch (FNodeType) {
      case XmlNodeType::Text:
      case XmlNodeType::CDATA:
      case XmlNodeType::Whitespace:
        text += FValue;
        break;
      case XmlNodeType::EndElement:
        Read();
        return text;
      case XmlNodeType::Element:
        Fail("ReadElementString could only read elements with simple content.", FNodePos + 1);
      default:
        break;
    }
  }
  return text;
}

void XmlTextReader::Skip() {
  if (FNodeType == XmlNodeType::Element && !FIsEmptyElement) {
    int depth = FDepth;
    while (Read())
      if (FNodeType == XmlNodeType::EndElement && FDepth == depth) break;
  }
  Read();
}

// ---- TXmlParser ------------------------------------------------------------------

TXmlParser::TXmlParser(std::string document) : FReader(std::move(document)) {}

TXmlParser::TXmlParser(TStream& stream) : FReader(stream) {}

bool TXmlParser::Next() {
  while (FReader.Read())
    if (FReader.NodeType() == XmlNodeType::Element || FReader.NodeType() == XmlNodeType::EndElement) return true;
  return false;
}

std::string TXmlParser::GetAttribute(std::string_view name, std::string_view defaultValue) const {
  std::optional<std::string> v = FReader.GetAttribute(name);
  return v ? *v : std::string(defaultValue);
}

bool TXmlParser::HasAttribute(std::string_view name) const { return FReader.GetAttribute(name).has_value(); }

std::string TXmlParser::ReadText() {
  if (!IsStartElement()) throw XmlException("The current node is not a start element.");
  std::string text;
  if (FReader.IsEmptyElement()) return text;
  int depth = FReader.Depth();
  while (FReader.Read()) {
    XmlNodeType t = FReader.NodeType();
    if (t == XmlNodeType::Text || t == XmlNodeType::CDATA || t == XmlNodeType::Whitespace) text += FReader.Value();
    else if (t == XmlNodeType::EndElement && FReader.Depth() == depth) break;
  }
  return text;
}

}  // namespace lumo
