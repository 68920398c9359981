// XML writer and reader for the data-set XML export and import: the writer
// emits elements, attributes, text and namespace declarations to a stream
// or a string while tracking the open tags; the reader pulls a document back
// node by node with well-formedness checks; TXmlParser walks it element by
// element.
//
// Decisions: all text is UTF-8 (std::string), and documents are UTF-8. The
// writer escapes attribute values and text (XMLEncode, plus tab, CR and LF
// in attributes and CR in text as character references, so values read back
// unchanged), drops characters XML 1.0 does not allow (control characters
// other than tab, CR and LF, surrogate code points, U+FFFE and U+FFFF),
// turns malformed UTF-8 into U+FFFD, rejects invalid names and duplicate
// attributes, and refuses a second root element or text outside the root.
// The reader treats its input as hostile: document type declarations are
// refused (no entity expansion), only the predefined entities and character
// references are known, nesting is limited (256 levels by default), and
// every error is an XmlException with the line and position; input read
// from a stream is capped (256 MiB by default).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <lumokit/core/SysUtils.h>

namespace lumo {

class TStream;

class XmlException : public Exception {
 public:
  explicit XmlException(std::string message, int lineNumber = 0, int linePosition = 0)
      : Exception(std::move(message)), FLineNumber(lineNumber), FLinePosition(linePosition) {}
  int LineNumber() const noexcept { return FLineNumber; }
  int LinePosition() const noexcept { return FLinePosition; }

 private:
  int FLineNumber;
  int FLinePosition;
};

// Replaces '"', '&', '\'', '<' and '>' by "&#x22;", "&#x26;", "&#x27;",
// "&#x3c;" and "&#x3e;"; also drops characters XML forbids and replaces
// malformed UTF-8 by U+FFFD.
std::string XMLEncode(std::string_view text);

enum class XmlFormatting { None, Indented };
enum class WriteState { Start, Prolog, Element, Content, Epilog, Closed };

class XmlTextWriter {
 public:
  using TSink = std::function<void(std::string_view)>;

  // Writes to the stream at its position (short writes raise EStreamError).
  explicit XmlTextWriter(TStream& stream);
  // Appends to `output` as it writes (no buffering).
  explicit XmlTextWriter(std::string& output);
  explicit XmlTextWriter(TSink sink);
  XmlTextWriter(const XmlTextWriter&) = delete;
  XmlTextWriter& operator=(const XmlTextWriter&) = delete;
  // Flushes what is buffered; errors are lost here, so call Flush or Close.
  ~XmlTextWriter();

  XmlFormatting Formatting() const noexcept { return FFormatting; }
  void SetFormatting(XmlFormatting value) noexcept { FFormatting = value; }
  int Indentation() const noexcept { return FIndentation; }
  void SetIndentation(int value) noexcept { FIndentation = value < 0 ? 0 : value; }
  char IndentChar() const noexcept { return FIndentChar; }
  void SetIndentChar(char value) noexcept { FIndentChar = value; }
  // The character around attribute values: '"' (the default) or '\''.
  char QuoteChar() const noexcept { return FQuoteChar; }
  void SetQuoteChar(char value);

  // <?xml version="1.0" encoding="utf-8"?>, optionally with standalone.
  void WriteStartDocument();
  void WriteStartDocument(bool standalone);
  // Closes every open element.
  void WriteEndDocument();

  // Without a namespace argument the element stays in the namespace in
  // scope. With one, a declaration is written when the namespace is not
  // already in scope for the prefix; a prefix with an empty namespace raises.
  void WriteStartElement(std::string_view localName);
  void WriteStartElement(std::string_view localName, std::string_view ns);
  void WriteStartElement(std::string_view prefix, std::string_view localName, std::string_view ns);
  void WriteAttributeString(std::string_view localName, std::string_view value);
  void WriteAttributeString(std::string_view localName, std::string_view ns, std::string_view value);
  void WriteAttributeString(std::string_view prefix, std::string_view localName, std::string_view ns,
                            std::string_view value);
  void WriteElementString(std::string_view localName, std::string_view value);
  void WriteString(std::string_view text);
  void WriteCData(std::string_view text);
  void WriteComment(std::string_view text);
  // Written as it stands: the caller answers for it being well-formed.
  void WriteRaw(std::string_view data);
  // Closes the innermost element ("<a />" when it has no content).
  void WriteEndElement();
  // Closes it with a separate end tag even when it is empty.
  void WriteFullEndElement();

  void Flush();
  // Closes every open element, flushes, and refuses further writes.
  void Close();

  enum WriteState WriteState() const noexcept { return FState; }
  int Depth() const noexcept { return static_cast<int>(FElements.size()); }

 private:
  struct OpenElement {
    std::string qname;
    std::size_t nsMark;  // namespace bindings in scope before this element
    bool hasText = false;
    bool hasChildren = false;
  };
  struct Binding {
    std::string prefix;
    std::string ns;
  };

  void StartElement(std::string_view prefix, std::string_view localName, std::optional<std::string_view> ns);
  void Attribute(std::string_view prefix, std::string_view localName, std::optional<std::string_view> ns,
                 std::string_view value);
  void EndElement(bool full);
  void CloseStartTag();
  void BeginContent(const char* token);
  void Indent(std::size_t level);
  void WriteAttr(std::string_view qname, std::string_view value);
  void Declare(std::string_view prefix, std::string_view ns);
  const std::string* LookupNamespace(std::string_view prefix) const;
  const std::string* LookupPrefix(std::string_view ns) const;
  [[noreturn]] void InvalidToken(const char* token) const;
  void Out(std::string_view s);

  TSink FSink;
  std::string* FOutput = nullptr;  // a string target is written directly
  std::string FBuffer;
  std::vector<OpenElement> FElements;
  std::vector<Binding> FBindings;
  std::vector<std::string> FTagAttributes;  // attribute names of the open start tag
  enum WriteState FState = WriteState::Start;
  XmlFormatting FFormatting = XmlFormatting::None;
  char FQuoteChar = '"';
  int FIndentation = 2;
  char FIndentChar = ' ';
  int FPrefixCounter = 0;
};

enum class XmlNodeType { None, Element, EndElement, Text, CDATA, Comment, ProcessingInstruction, XmlDeclaration,
                         Whitespace };

struct XmlAttribute {
  std::string Name;  // qualified name
  std::string LocalName;
  std::string Prefix;
  std::string NamespaceURI;
  std::string Value;
};

class XmlTextReader {
 public:
  static constexpr int kDefaultMaxDepth = 256;
  static constexpr std::int64_t kDefaultMaxStreamSize = 256LL << 20;

  explicit XmlTextReader(std::string document);
  // Reads the stream from its position to its end; more than maxSize bytes
  // raise XmlException.
  explicit XmlTextReader(TStream& stream, std::int64_t maxSize = kDefaultMaxStreamSize);

  int MaxDepth() const noexcept { return FMaxDepth; }
  void SetMaxDepth(int value) noexcept { FMaxDepth = value < 1 ? 1 : value; }
  // When set, whitespace between markup is not reported.
  bool IgnoreWhitespace() const noexcept { return FIgnoreWhitespace; }
  void SetIgnoreWhitespace(bool value) noexcept { FIgnoreWhitespace = value; }

  // Moves to the next node; false at the end of the document. After an
  // XmlException the reader stays at its end.
  bool Read();
  bool Eof() const noexcept { return FEof; }

  XmlNodeType NodeType() const noexcept { return FNodeType; }
  const std::string& Name() const noexcept { return FName; }
  const std::string& LocalName() const noexcept { return FLocalName; }
  const std::string& Prefix() const noexcept { return FPrefix; }
  const std::string& NamespaceURI() const noexcept { return FNamespaceURI; }
  const std::string& Value() const noexcept { return FValue; }
  int Depth() const noexcept { return FDepth; }
  bool IsEmptyElement() const noexcept { return FIsEmptyElement; }

  int AttributeCount() const noexcept { return static_cast<int>(FAttributes.size()); }
  bool HasAttributes() const noexcept { return !FAttributes.empty(); }
  // Raises EArgumentError for an index out of range.
  const XmlAttribute& Attribute(int index) const;
  // By qualified name; nullopt when absent.
  std::optional<std::string> GetAttribute(std::string_view name) const;
  std::optional<std::string> GetAttribute(std::string_view localName, std::string_view namespaceURI) const;

  // Line and position (1-based, in bytes) of the current node.
  int LineNumber() const;
  int LinePosition() const;

  // Skips declarations, comments, processing instructions and whitespace;
  // returns the node type arrived at.
  XmlNodeType MoveToContent();
  // MoveToContent, then true when on a start element (of that name).
  bool IsStartElement();
  bool IsStartElement(std::string_view name);
  // On a start element: reads its text content and its end tag; an element
  // inside raises. Returns "" for an empty element.
  std::string ReadElementString();
  // On a start element: moves past its end tag; otherwise to the next node.
  void Skip();

 private:
  struct Scope {
    std::string qname;
    std::size_t nsMark;  // FBindingLog size before the element's declarations
    std::size_t startPos;
  };

  bool ReadNode();
  void CheckDocument();
  void ParseMarkup();
  void ParseStartTag();
  void ParseEndTag();
  void ParseComment();
  void ParseCData();
  void ParseProcessingInstruction();
  void ParseText();
  void ReadName(std::string& out);
  void SkipSpaces();
  bool StartsWith(std::string_view s) const;
  std::size_t FindOrFail(std::string_view what, const char* construct);
  void AppendReference(std::string& out);
  void Resolve(std::string_view qname, bool isAttribute, std::string& prefix, std::string& local,
               std::string& ns, std::size_t pos) const;
  const std::string* LookupNamespace(std::string_view prefix) const;
  void Bind(std::string prefix, std::string ns);
  void PopScope();
  void PositionOf(std::size_t pos, int& line, int& column) const;
  [[noreturn]] void Fail(const std::string& message, std::size_t pos) const;
  [[noreturn]] void Fail(const std::string& message) const { Fail(message, FPos); }
  void ResetNode();

  std::string FData;
  std::size_t FPos = 0;
  std::size_t FNodePos = 0;
  bool FChecked = false;
  bool FEof = false;
  bool FRootSeen = false;
  bool FPopPending = false;  // the last node was an end tag or an empty element
  int FMaxDepth = kDefaultMaxDepth;
  bool FIgnoreWhitespace = false;

  std::vector<Scope> FScopes;
  // Namespaces in scope: per prefix ("" = default) a stack of bindings, and
  // the prefixes in the order they were bound, for popping.
  std::unordered_map<std::string, std::vector<std::string>> FNamespaces;
  std::vector<std::string> FBindingLog;

  XmlNodeType FNodeType = XmlNodeType::None;
  std::string FName, FLocalName, FPrefix, FNamespaceURI, FValue;
  int FDepth = 0;
  bool FIsEmptyElement = false;
  std::vector<XmlAttribute> FAttributes;

  // Line bookkeeping for error positions: lines counted up to FLineCachePos.
  mutable std::size_t FLineCachePos = 0;
  mutable int FLineCacheLine = 1;
  mutable std::size_t FLineCacheStart = 0;
};

// Element-by-element walk over a document: start and end elements only, with
// their attributes; the text of an element is read on request.
class TXmlParser {
 public:
  explicit TXmlParser(std::string document);
  explicit TXmlParser(TStream& stream);

  // Moves to the next start or end element; false at the end.
  bool Next();
  bool IsStartElement() const noexcept { return FReader.NodeType() == XmlNodeType::Element; }
  bool IsEndElement() const noexcept { return FReader.NodeType() == XmlNodeType::EndElement; }
  bool IsEmptyElement() const noexcept { return FReader.IsEmptyElement(); }
  const std::string& Name() const noexcept { return FReader.Name(); }
  int Depth() const noexcept { return FReader.Depth(); }
  std::string GetAttribute(std::string_view name, std::string_view defaultValue = {}) const;
  bool HasAttribute(std::string_view name) const;
  // On a start element: the text of the element and all elements inside it;
  // leaves the parser on the element's end (or on the empty element itself).
  std::string ReadText();

  XmlTextReader& Reader() noexcept { return FReader; }

 private:
  XmlTextReader FReader;
};

}  // namespace lumo
