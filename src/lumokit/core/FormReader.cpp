#include <lumokit/core/FormReader.h>

#include <charconv>
#include <cmath>
#include <deque>
#include <limits>

#include <lumokit/core/CodePages.h>

namespace lumo {

namespace {

std::string LineSuffix(int line) { return line > 0 ? Format(" (line %d)", {line}) : std::string(); }

// Shortens text quoted from the input so that a hostile description cannot
// blow up a message.
std::string Excerpt(std::string_view s) {
  constexpr std::size_t kMax = 40;
  if (s.size() <= kMax) return std::string(s);
  return std::string(s.substr(0, kMax)) + "...";
}

bool IsIdentStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsIdentChar(unsigned char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  char bytes[4];
  out.append(bytes, EncodeUtf8Char(cp, bytes));
}

// ---------------------------------------------------------------------------
// Lexer

enum TTokenKind { tkEOF, tkIdent, tkInteger, tkFloat, tkString, tkBinary, tkSymbol };

struct TToken {
  TTokenKind Kind = tkEOF;
  int Line = 1;
  std::string Text;  // identifier, string value, binary bytes, symbol, number as written
  std::int64_t Int = 0;
  double Float = 0;
};

class TLexer {
 public:
  explicit TLexer(std::string_view text) : FText(text) {
    if (FText.substr(0, 3) == "\xEF\xBB\xBF") FPos = 3;
  }

  const TToken& Peek(std::size_t ahead = 0) {
    while (FAhead.size() <= ahead) FAhead.push_back(Lex());
    return FAhead[ahead];
  }
  TToken Next() {
    Peek();
    TToken t = std::move(FAhead.front());
    FAhead.pop_front();
    return t;
  }

 private:
  [[noreturn]] void Fail(const std::string& text) const { throw EReadError(text, FLine); }

  bool AtEnd() const { return FPos >= FText.size(); }
  unsigned char Cur() const { return static_cast<unsigned char>(FText[FPos]); }
  unsigned char At(std::size_t pos) const {
    return pos < FText.size() ? static_cast<unsigned char>(FText[pos]) : 0;
  }

  void SkipBlanks() {
    while (!AtEnd()) {
      unsigned char c = Cur();
      if (c == '\n') {
        if (FLine < std::numeric_limits<int>::max()) ++FLine;
      } else if (c != ' ' && c != '\t' && c != '\r') {
        return;
      }
      ++FPos;
    }
  }

  TToken Lex() {
    SkipBlanks();
    TToken t;
    t.Line = FLine;
    if (AtEnd()) return t;
    unsigned char c = Cur();
    if (IsIdentStart(c)) {
      std::size_t start = FPos;
      while (!AtEnd() && IsIdentChar(Cur())) ++FPos;
      t.Kind = tkIdent;
      t.Text.assign(FText.substr(start, FPos - start));
      return t;
    }
    if (IsDigit(c) || c == '$' || ((c == '-' || c == '+') && (IsDigit(At(FPos + 1)) || At(FPos + 1) == '$')))
      return LexNumber(t);
    if (c == '\'' || c == '#') return LexString(t);
    if (c == '{') return LexBinary(t);
    if (c == ':' || c == '=' || c == '[' || c == ']' || c == '(' || c == ')' || c == '<' || c == '>' ||
        c == ',' || c == '.' || c == '+') {
      ++FPos;
      t.Kind = tkSymbol;
      t.Text.assign(1, static_cast<char>(c));
      return t;
    }
    if (c > 0x20 && c < 0x7F) Fail(Format("Invalid character '%s'", {std::string(1, static_cast<char>(c))}));
    Fail(Format("Invalid character #%d", {static_cast<int>(c)}));
  }

  TToken LexNumber(TToken& t) {
    std::size_t start = FPos;
    bool negative = false;
    if (Cur() == '-' || Cur() == '+') {
      negative = Cur() == '-';
      ++FPos;
    }
    if (!AtEnd() && Cur() == '$') {
      ++FPos;
      std::size_t digits = FPos;
      std::uint64_t value = 0;
      bool overflow = false;
      while (!AtEnd() && HexValue(Cur()) >= 0) {
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) overflow = true;
        value = (value << 4) | static_cast<std::uint64_t>(HexValue(Cur()));
        ++FPos;
      }
      if (FPos == digits || (!AtEnd() && IsIdentChar(Cur())))
        Fail(Format("Invalid number %s", {Excerpt(FText.substr(start, FPos + 1 - start))}));
      // The magnitude of the lowest int64 is one more than the highest.
      const std::uint64_t limit =
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + (negative ? 1 : 0);
      if (overflow || value > limit)
        Fail(Format("Number out of range: %s", {Excerpt(FText.substr(start, FPos - start))}));
      t.Kind = tkInteger;
      t.Int = static_cast<std::int64_t>(negative ? 0 - value : value);
      t.Text.assign(FText.substr(start, FPos - start));
      return t;
    }
    while (!AtEnd() && IsDigit(Cur())) ++FPos;
    bool isFloat = false;
    if (!AtEnd() && Cur() == '.' && IsDigit(At(FPos + 1))) {
      isFloat = true;
      ++FPos;
      while (!AtEnd() && IsDigit(Cur())) ++FPos;
    }
    if (!AtEnd() && (Cur() == 'e' || Cur() == 'E')) {
      std::size_t p = FPos + 1;
      if (At(p) == '+' || At(p) == '-') ++p;
      if (IsDigit(At(p))) {
        isFloat = true;
        FPos = p;
        while (!AtEnd() && IsDigit(Cur())) ++FPos;
      }
    }
    if (!AtEnd() && (IsIdentChar(Cur()) || Cur() == '.'))
      Fail(Format("Invalid number %s", {Excerpt(FText.substr(start, FPos + 1 - start))}));
    std::string_view text = FText.substr(start, FPos - start);
    t.Text.assign(text);
    // from_chars takes no leading '+'.
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (isFloat) {
      double value = 0;
      auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec != std::errc() || ptr != digits.data() + digits.size() || !std::isfinite(value))
        Fail(Format("Number out of range: %s", {Excerpt(text)}));
      t.Kind = tkFloat;
      t.Float = value;
    } else {
      std::int64_t value = 0;
      auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
      if (ec != std::errc() || ptr != digits.data() + digits.size())
        Fail(Format("Number out of range: %s", {Excerpt(text)}));
      t.Kind = tkInteger;
      t.Int = value;
    }
    return t;
  }

  // A run of quoted pieces and #NNNN character codes without blanks between.
  TToken LexString(TToken& t) {
    std::string out;
    std::uint32_t pendingHigh = 0;  // a high surrogate waiting for its low half
    auto emit = [&](std::uint32_t cp) {
      if (pendingHigh) {
        if (cp < 0xDC00 || cp > 0xDFFF) Fail(Format("Invalid character code #%u", {pendingHigh}));
        AppendUtf8(out, 0x10000 + ((pendingHigh - 0xD800) << 10) + (cp - 0xDC00));
        pendingHigh = 0;
        return;
      }
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        pendingHigh = cp;
        return;
      }
      if (cp >= 0xDC00 && cp <= 0xDFFF) Fail(Format("Invalid character code #%u", {cp}));
      AppendUtf8(out, cp);
    };
    while (!AtEnd() && (Cur() == '\'' || Cur() == '#')) {
      if (Cur() == '#') {
        ++FPos;
        bool hex = !AtEnd() && Cur() == '$';
        if (hex) ++FPos;
        std::size_t digits = FPos;
        std::uint32_t cp = 0;
        while (!AtEnd() && (hex ? HexValue(Cur()) >= 0 : IsDigit(Cur()))) {
          cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(hex ? HexValue(Cur()) : Cur() - '0');
          if (cp > 0x10FFFF) Fail("Invalid character code (above U+10FFFF)");
          ++FPos;
        }
        if (FPos == digits) Fail("Invalid character code");
        emit(cp);
        continue;
      }
      if (pendingHigh) Fail(Format("Invalid character code #%u", {pendingHigh}));
      ++FPos;  // opening quote
      std::size_t pieceStart = out.size();
      for (;;) {
        if (AtEnd() || Cur() == '\n' || Cur() == '\r') Fail("Unterminated string");
        if (Cur() == '\'') {
          if (At(FPos + 1) == '\'') {
            out += '\'';
            FPos += 2;
            continue;
          }
          ++FPos;
          break;
        }
        out += static_cast<char>(Cur());
        ++FPos;
      }
      if (!IsValidUtf8(std::string_view(out).substr(pieceStart))) Fail("Invalid UTF-8 text in string");
    }
    if (pendingHigh) Fail(Format("Invalid character code #%u", {pendingHigh}));
    t.Kind = tkString;
    t.Text = std::move(out);
    return t;
  }

  TToken LexBinary(TToken& t) {
    ++FPos;  // '{'
    std::string bytes;
    int high = -1;
    for (;;) {
      SkipBlanks();
      if (AtEnd()) Fail("Unterminated binary value");
      unsigned char c = Cur();
      if (c == '}') {
        ++FPos;
        break;
      }
      int v = HexValue(c);
      if (v < 0) Fail("Invalid binary value");
      if (high < 0) {
        high = v;
      } else {
        bytes += static_cast<char>((high << 4) | v);
        high = -1;
      }
      ++FPos;
    }
    if (high >= 0) Fail("Invalid binary value (odd number of digits)");
    t.Kind = tkBinary;
    t.Text = std::move(bytes);
    return t;
  }

  std::string_view FText;
  std::size_t FPos = 0;
  int FLine = 1;
  std::deque<TToken> FAhead;
};

// ---------------------------------------------------------------------------
// Parser

class TParser {
 public:
  explicit TParser(std::string_view text) : FLexer(text) {}

  TFormObject ParseRoot() {
    TFormObject root = ParseObject(1);
    const TToken& t = FLexer.Peek();
    if (t.Kind != tkEOF) Fail(Format("End of file expected but %s found", {Describe(t)}), t.Line);
    return root;
  }

 private:
  [[noreturn]] static void Fail(const std::string& text, int line) { throw EReadError(text, line); }

  static std::string Describe(const TToken& t) {
    switch (t.Kind) {
      case tkEOF: return "end of file";
      case tkIdent: return "'" + Excerpt(t.Text) + "'";
      case tkInteger:
      case tkFloat: return "number " + Excerpt(t.Text);
      case tkString: return "string";
      case tkBinary: return "binary value";
      case tkSymbol: return "'" + t.Text + "'";
    }
    return "token";
  }

  static void CheckDepth(int depth, int line) {
    if (depth > MaxFormNesting) Fail(Format("Nesting too deep (more than %d levels)", {MaxFormNesting}), line);
  }

  static bool IsWord(const TToken& t, std::string_view word) {
    return t.Kind == tkIdent && SameTextAscii(t.Text, word);
  }
  static bool IsSymbol(const TToken& t, char symbol) {
    return t.Kind == tkSymbol && t.Text.size() == 1 && t.Text[0] == symbol;
  }

  TToken Expect(TTokenKind kind, const char* what) {
    TToken t = FLexer.Next();
    if (t.Kind != kind) {
      if (t.Kind == tkEOF) Fail(Format("Unexpected end of file: %s expected", {what}), t.Line);
      Fail(Format("%s expected but %s found", {what, Describe(t)}), t.Line);
    }
    return t;
  }
  void ExpectSymbol(char symbol) {
    TToken t = FLexer.Next();
    if (IsSymbol(t, symbol)) return;
    std::string what = Format("'%s'", {std::string(1, symbol)});
    if (t.Kind == tkEOF) Fail(Format("Unexpected end of file: %s expected", {what}), t.Line);
    Fail(Format("%s expected but %s found", {what, Describe(t)}), t.Line);
  }

  // Name ('.' Name)*
  std::string DottedName(const char* what) {
    std::string name = Expect(tkIdent, what).Text;
    while (IsSymbol(FLexer.Peek(), '.')) {
      FLexer.Next();
      name += '.';
      name += Expect(tkIdent, what).Text;
    }
    return name;
  }

  TFormObject ParseObject(int depth) {
    TToken head = FLexer.Next();
    CheckDepth(depth, head.Line);
    if (IsWord(head, "inherited") || IsWord(head, "inline"))
      Fail(Format("'%s' objects are not supported", {head.Text}), head.Line);
    if (!IsWord(head, "object")) {
      if (head.Kind == tkEOF) Fail("Unexpected end of file: 'object' expected", head.Line);
      Fail(Format("'object' expected but %s found", {Describe(head)}), head.Line);
    }
    TFormObject obj;
    obj.Line = head.Line;
    std::string first = Expect(tkIdent, "Component name").Text;
    if (IsSymbol(FLexer.Peek(), ':')) {
      FLexer.Next();
      obj.Name = std::move(first);
      obj.ClassName = Expect(tkIdent, "Class name").Text;
    } else {
      obj.ClassName = std::move(first);
    }
    for (;;) {
      const TToken& t = FLexer.Peek();
      if (t.Kind == tkEOF) Fail("Unexpected end of file: 'end' expected", t.Line);
      if (t.Kind != tkIdent) Fail(Format("Property name expected but %s found", {Describe(t)}), t.Line);
      const TToken& after = FLexer.Peek(1);
      bool isPropertyName = IsSymbol(after, '=') || IsSymbol(after, '.');
      if (!isPropertyName && IsWord(t, "end")) {
        FLexer.Next();
        break;
      }
      if (!isPropertyName && (IsWord(t, "object") || IsWord(t, "inherited") || IsWord(t, "inline"))) {
        obj.Children.push_back(ParseObject(depth + 1));
        continue;
      }
      obj.Properties.push_back(ParseProperty(depth));
    }
    return obj;
  }

  TFormProperty ParseProperty(int depth) {
    TFormProperty p;
    p.Line = FLexer.Peek().Line;
    p.Name = DottedName("Property name");
    ExpectSymbol('=');
    p.Value = ParseValue(depth + 1);
    return p;
  }

  TFormValue ParseValue(int depth) {
    TToken t = FLexer.Next();
    CheckDepth(depth, t.Line);
    TFormValue v;
    v.Line = t.Line;
    switch (t.Kind) {
      case tkInteger:
        v.Type = vaInteger;
        v.Int = t.Int;
        return v;
      case tkFloat:
        v.Type = vaFloat;
        v.Float = t.Float;
        return v;
      case tkBinary:
        v.Type = vaBinary;
        v.Str = std::move(t.Text);
        return v;
      case tkString:
        v.Type = vaString;
        v.Str = std::move(t.Text);
        // 'abc' + 'def' continues a string over several lines.
        while (IsSymbol(FLexer.Peek(), '+')) {
          FLexer.Next();
          v.Str += Expect(tkString, "String").Text;
        }
        return v;
      case tkIdent:
        v.Type = vaIdent;
        v.Str = std::move(t.Text);
        while (IsSymbol(FLexer.Peek(), '.')) {
          FLexer.Next();
          v.Str += '.';
          v.Str += Expect(tkIdent, "Identifier").Text;
        }
        return v;
      case tkEOF:
        Fail("Unexpected end of file: property value expected", t.Line);
      case tkSymbol:
        break;
    }
    if (IsSymbol(t, '[')) {
      v.Type = vaSet;
      if (IsSymbol(FLexer.Peek(), ']')) {
        FLexer.Next();
        return v;
      }
      for (;;) {
        v.Elements.push_back(Expect(tkIdent, "Set element").Text);
        TToken sep = FLexer.Next();
        if (IsSymbol(sep, ']')) return v;
        if (!IsSymbol(sep, ',')) {
          if (sep.Kind == tkEOF) Fail("Unexpected end of file: ']' expected", sep.Line);
          Fail(Format("',' or ']' expected but %s found", {Describe(sep)}), sep.Line);
        }
      }
    }
    if (IsSymbol(t, '(')) {
      v.Type = vaList;
      while (!IsSymbol(FLexer.Peek(), ')')) v.Items.push_back(ParseValue(depth + 1));
      FLexer.Next();
      return v;
    }
    if (IsSymbol(t, '<')) {
      v.Type = vaCollection;
      for (;;) {
        TToken item = FLexer.Next();
        if (IsSymbol(item, '>')) return v;
        if (!IsWord(item, "item")) {
          if (item.Kind == tkEOF) Fail("Unexpected end of file: '>' expected", item.Line);
          Fail(Format("'item' expected but %s found", {Describe(item)}), item.Line);
        }
        TFormCollectionItem ci;
        ci.Line = item.Line;
        for (;;) {
          const TToken& p = FLexer.Peek();
          if (IsWord(p, "end") && !IsSymbol(FLexer.Peek(1), '=') && !IsSymbol(FLexer.Peek(1), '.')) {
            FLexer.Next();
            break;
          }
          if (p.Kind == tkEOF) Fail("Unexpected end of file: 'end' expected", p.Line);
          ci.Properties.push_back(ParseProperty(depth + 1));
        }
        v.Collection.push_back(std::move(ci));
      }
    }
    Fail(Format("Property value expected but %s found", {Describe(t)}), t.Line);
  }

  TLexer FLexer;
};

// Runs a setter and puts the component, property and line into what it
// raises. Exceptions of the library keep their class.
template <class F>
void Guard(const std::string& context, int line, F&& f) {
  try {
    f();
  } catch (EReadError& e) {
    e.Relocate(context + e.Text(), line);
    throw;
  } catch (Exception& e) {
    e.SetMessage(context + e.Message() + LineSuffix(line));
    throw;
  } catch (const std::exception& e) {
    throw EReadError(context + e.what(), line);
  }
}

std::string DisplayName(const TComponent& c, const std::string& className) {
  return c.Name().empty() ? className : c.Name();
}

}  // namespace

// ---------------------------------------------------------------------------

EReadError::EReadError(std::string text, int line)
    : Exception(text + LineSuffix(line)), FText(std::move(text)), FLine(line) {}

void EReadError::Relocate(std::string text, int line) {
  FText = std::move(text);
  FLine = line;
  SetMessage(FText + LineSuffix(line));
}

TFormObject ParseFormText(std::string_view text) { return TParser(text).ParseRoot(); }

const char* FormValueTypeName(TFormValueType type) {
  switch (type) {
    case vaInteger: return "integer";
    case vaFloat: return "float";
    case vaString: return "string";
    case vaIdent: return "identifier";
    case vaSet: return "set";
    case vaList: return "list";
    case vaBinary: return "binary";
    case vaCollection: return "collection";
  }
  return "value";
}

// ---------------------------------------------------------------------------
// Class registry

TClassRegistry::TClassRegistry() {
  TClassInfo base;
  base.Name = "TComponent";
  FClasses.emplace("TCOMPONENT", std::move(base));
  RegisterInt64<TComponent>("TComponent", "Tag",
                            [](TComponent& c, std::int64_t v) { c.SetTag(static_cast<std::intptr_t>(v)); });
}

const TClassRegistry::TClassInfo* TClassRegistry::Find(const std::string& name) const {
  auto it = FClasses.find(AsciiUpperCase(name));
  return it == FClasses.end() ? nullptr : &it->second;
}

TClassRegistry::TClassInfo& TClassRegistry::FindForUpdate(const std::string& name) {
  auto it = FClasses.find(AsciiUpperCase(name));
  if (it == FClasses.end()) throw EArgumentError(Format("Class %s is not registered", {name}));
  return it->second;
}

void TClassRegistry::RegisterClass(const std::string& name, const std::string& parent, TComponentFactory factory) {
  if (!IsValidIdent(name)) throw EArgumentError(Format("'%s' is not a valid class name", {name}));
  if (Find(name)) throw EArgumentError(Format("Class %s is already registered", {name}));
  if (!Find(parent)) throw EArgumentError(Format("Class %s is not registered", {parent}));
  TClassInfo info;
  info.Name = name;
  info.Parent = AsciiUpperCase(parent);
  info.Factory = std::move(factory);
  FClasses.emplace(AsciiUpperCase(name), std::move(info));
}

bool TClassRegistry::HasClass(const std::string& name) const { return Find(name) != nullptr; }

std::unique_ptr<TComponent> TClassRegistry::CreateComponent(const std::string& name, int line) const {
  const TClassInfo* info = Find(name);
  if (!info || !info->Factory) throw EClassNotFound(Format("Class %s not found", {name}), line);
  std::unique_ptr<TComponent> c = info->Factory();
  if (!c) throw EClassNotFound(Format("Class %s not found", {name}), line);
  return c;
}

void TClassRegistry::RegisterProperty(const std::string& className, const std::string& path, TPropertyInfo info) {
  FindForUpdate(className).Properties[AsciiUpperCase(path)] = std::move(info);
}

const TClassRegistry::TPropertyInfo* TClassRegistry::FindProperty(const std::string& className,
                                                                  const std::string& path) const {
  std::string key = AsciiUpperCase(path);
  for (const TClassInfo* c = Find(className); c; c = c->Parent.empty() ? nullptr : Find(c->Parent)) {
    auto it = c->Properties.find(key);
    if (it != c->Properties.end()) return &it->second;
  }
  return nullptr;
}

void TClassRegistry::RegisterMethodBinder(const std::string& className, const std::string& name,
                                          TMethodBinder binder) {
  FindForUpdate(className).Methods[AsciiUpperCase(name)] = std::move(binder);
}

const TClassRegistry::TMethodBinder* TClassRegistry::FindMethod(const std::string& className,
                                                              const std::string& name) const {
  std::string key = AsciiUpperCase(name);
  for (const TClassInfo* c = Find(className); c; c = c->Parent.empty() ? nullptr : Find(c->Parent)) {
    auto it = c->Methods.find(key);
    if (it != c->Methods.end()) return &it->second;
  }
  return nullptr;
}

void TClassRegistry::ThrowInvalidValue(const TFormValue& v) {
  throw EReadError(Format("Invalid property value (%s)", {FormValueTypeName(v.Type)}), v.Line);
}

std::int64_t TClassRegistry::ValueToInt64(const TFormValue& v) {
  if (v.Type != vaInteger) ThrowInvalidValue(v);
  return v.Int;
}

int TClassRegistry::ValueToInt(const TFormValue& v) {
  std::int64_t i = ValueToInt64(v);
  if (i < std::numeric_limits<int>::min() || i > std::numeric_limits<int>::max())
    throw EReadError(Format("Invalid property value %d (out of range)", {i}), v.Line);
  return static_cast<int>(i);
}

double TClassRegistry::ValueToFloat(const TFormValue& v) {
  if (v.Type == vaFloat) return v.Float;
  if (v.Type == vaInteger) return static_cast<double>(v.Int);
  ThrowInvalidValue(v);
}

bool TClassRegistry::ValueToBool(const TFormValue& v) {
  if (v.Type == vaIdent) {
    if (SameTextAscii(v.Str, "True")) return true;
    if (SameTextAscii(v.Str, "False")) return false;
  }
  ThrowInvalidValue(v);
}

std::string TClassRegistry::ValueToString(const TFormValue& v) {
  if (v.Type != vaString) ThrowInvalidValue(v);
  return v.Str;
}

std::vector<std::string> TClassRegistry::ValueToStrings(const TFormValue& v) {
  if (v.Type != vaList) ThrowInvalidValue(v);
  std::vector<std::string> lines;
  lines.reserve(v.Items.size());
  for (const TFormValue& item : v.Items) lines.push_back(ValueToString(item));
  return lines;
}

std::uint64_t TClassRegistry::ValueToSet(const TFormValue& v, const std::vector<std::string>& elements) {
  if (v.Type != vaSet) ThrowInvalidValue(v);
  std::uint64_t mask = 0;
  for (const std::string& e : v.Elements) {
    std::size_t i = 0;
    while (i < elements.size() && !SameTextAscii(elements[i], e)) ++i;
    if (i == elements.size() || i >= 64)
      throw EReadError(Format("Invalid property value (set element %s)", {e}), v.Line);
    mask |= std::uint64_t{1} << i;
  }
  return mask;
}

TClassRegistry& FormClasses() {
  static TClassRegistry registry;
  return registry;
}

// ---------------------------------------------------------------------------
// Reader

namespace {

// One reading of one description: the fixups waiting for the end of reading
// and the components in the order of their creation.
class TReadSession {
 public:
  TReadSession(const TClassRegistry& registry, const TFormReader::TParentHook& hook, TComponent& root,
               const std::string& rootClass)
      : FRegistry(registry), FHook(hook), FRoot(root), FRootClass(rootClass) {}

  void Run(const TFormObject& object) {
    FRoot.BeginLoading();
    FLoaded.push_back(&FRoot);
    if (!object.Name.empty())
      Guard(Format("Error reading %s: ", {object.Name}), object.Line, [&] { FRoot.SetName(object.Name); });
    ReadProperties(FRoot, FRootClass, object.Properties);
    for (const TFormObject& child : object.Children) ReadObject(FRoot, child);
    ResolveFixups();
    for (TComponent* c : FLoaded) c->EndReading();
    // Loaded() in creation order, the root first. What it raises ends the
    // creation unchanged.
    for (TComponent* c : FLoaded) c->Loaded();
  }

 private:
  struct TFixup {
    TComponent* Target;
    const TClassRegistry::TPropertyInfo* Info;
    std::string Context;
    std::string Reference;
    int Line;
  };

  void ReadObject(TComponent& parent, const TFormObject& object) {
    std::unique_ptr<TComponent> created = FRegistry.CreateComponent(object.ClassName, object.Line);
    created->BeginLoading();
    std::string context = Format("Error reading %s: ", {object.Name.empty() ? object.ClassName : object.Name});
    if (!object.Name.empty()) Guard(context, object.Line, [&] { created->SetName(object.Name); });
    TComponent* c = nullptr;
    Guard(context, object.Line, [&] { c = &FRoot.InsertComponent(std::move(created)); });
    FLoaded.push_back(c);
    if (FHook) Guard(context, object.Line, [&] { FHook(parent, *c); });
    ReadProperties(*c, object.ClassName, object.Properties);
    for (const TFormObject& child : object.Children) ReadObject(*c, child);
  }

  void ReadProperties(TComponent& c, const std::string& className, const std::vector<TFormProperty>& properties) {
    for (const TFormProperty& p : properties) {
      std::string owner = DisplayName(c, className);
      std::string context = Format("Error reading %s.%s: ", {owner, p.Name});
      const TClassRegistry::TPropertyInfo* info = FRegistry.FindProperty(className, p.Name);
      if (!info) throw EReadError(Format("%sProperty %s does not exist", {context, p.Name}), p.Line);
      const TFormValue& v = p.Value;
      switch (info->Kind) {
        case TClassRegistry::pkValue:
          Guard(context, p.Line, [&] { info->SetValue(c, v); });
          break;
        case TClassRegistry::pkReference:
          if (v.Type != vaIdent) Guard(context, p.Line, [&] { TClassRegistry::ThrowInvalidValue(v); });
          if (SameTextAscii(v.Str, "nil"))
            Guard(context, p.Line, [&] { info->SetReference(c, nullptr); });
          else
            FFixups.push_back({&c, info, context, v.Str, p.Line});
          break;
        case TClassRegistry::pkEvent: {
          if (v.Type != vaIdent) Guard(context, p.Line, [&] { TClassRegistry::ThrowInvalidValue(v); });
          Guard(context, p.Line, [&] {
            std::any method;
            if (!SameTextAscii(v.Str, "nil")) {
              const TClassRegistry::TMethodBinder* binder = FRegistry.FindMethod(FRootClass, v.Str);
              if (!binder) throw EReadError(Format("Method %s not found in %s", {v.Str, FRootClass}), p.Line);
              method = (*binder)(FRoot);
            }
            info->SetEvent(c, method, v.Str);
          });
          break;
        }
      }
    }
  }

  // References may name components declared later, so they are set only
  // when every component of the description exists.
  void ResolveFixups() {
    for (const TFixup& f : FFixups) {
      TComponent* target = SameTextAscii(f.Reference, FRoot.Name()) && !FRoot.Name().empty()
                               ? &FRoot
                               : FRoot.FindComponent(f.Reference);
      if (!target) throw EReadError(Format("%sUnresolved reference to %s", {f.Context, f.Reference}), f.Line);
      Guard(f.Context, f.Line, [&] { f.Info->SetReference(*f.Target, target); });
    }
  }

  const TClassRegistry& FRegistry;
  const TFormReader::TParentHook& FHook;
  TComponent& FRoot;
  const std::string& FRootClass;
  std::vector<TFixup> FFixups;
  std::vector<TComponent*> FLoaded;
};

}  // namespace

void TFormReader::Read(TComponent& root, const TFormObject& object) {
  const int keep = root.ComponentCount();
  try {
    TReadSession(FRegistry, FParentHook, root, object.ClassName).Run(object);
  } catch (...) {
    // Destroy what this reading created, last first.
    while (root.ComponentCount() > keep) root.DestroyComponent(root.Components(root.ComponentCount() - 1));
    root.EndReading();
    throw;
  }
}

void TFormReader::ReadRoot(TComponent& root, std::string_view text) {
  TFormObject object = ParseFormText(text);
  if (!FRegistry.HasClass(object.ClassName))
    throw EClassNotFound(Format("Class %s not found", {object.ClassName}), object.Line);
  if (!SameTextAscii(root.ClassName(), object.ClassName))
    throw EReadError(Format("The description is of class %s, not %s", {object.ClassName, root.ClassName()}),
                     object.Line);
  Read(root, object);
}

std::unique_ptr<TComponent> TFormReader::ReadComponent(std::string_view text) {
  TFormObject object = ParseFormText(text);
  std::unique_ptr<TComponent> root = FRegistry.CreateComponent(object.ClassName, object.Line);
  Read(*root, object);
  return root;
}

}  // namespace lumo
