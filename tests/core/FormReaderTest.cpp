#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <lumokit/core/FormReader.h>
#include <lumokit/core/SysUtils.h>

namespace lumo {
namespace {

std::vector<std::string> gLog;
int gAlive = 0;

// A component with one stored property of every kind; logs what is set.
class TProbe : public TComponent {
 public:
  TProbe() { ++gAlive; }
  ~TProbe() override {
    --gAlive;
    gLog.push_back("destroy " + Name());
  }
  std::string ClassName() const override { return "TProbe"; }
  void Loaded() override {
    TComponent::Loaded();
    gLog.push_back("loaded " + Name());
    if (FailInLoaded) throw EConvertError("cannot load " + Name());
  }
  void Log(const std::string& what) {
    gLog.push_back(Name() + "." + what + (HasState(csLoading) ? " (loading)" : ""));
  }

  int Int = 0;
  std::int64_t Big = 0;
  double Float = 0;
  bool Flag = false;
  std::string Str, FontName, Data;
  int FontHeight = 0;
  std::vector<std::string> Lines;
  std::uint64_t Options = 0;
  int Kind = 0;
  TComponent* Ref = nullptr;
  std::function<void(TComponent&)> OnPing;
  bool FailInLoaded = false;
  std::size_t CollectionItems = 0;
};

// Stands in for a connection: `Connected` read while loading is only
// remembered, Loaded() applies it.
class TTestConnection : public TComponent {
 public:
  TTestConnection() { ++gAlive; }
  ~TTestConnection() override { --gAlive; }
  std::string ClassName() const override { return "TTestConnection"; }
  bool Connected() const { return FConnected; }
  void SetConnected(bool value) {
    if (HasState(csLoading)) {
      FStreamedConnected = value;
      gLog.push_back(Name() + " remembers Connected");
      return;
    }
    if (value && FailToConnect) throw EOSError("Can't connect to server on 'localhost'", 111);
    FConnected = value;
    gLog.push_back(Name() + (value ? " connects" : " disconnects"));
  }
  void Loaded() override {
    TComponent::Loaded();
    if (FStreamedConnected) SetConnected(true);
  }
  TTestConnection* DefaultConnection = nullptr;
  bool FailToConnect = false;

 private:
  bool FConnected = false;
  bool FStreamedConnected = false;
};

class TTestQuery : public TComponent {
 public:
  TTestQuery() { ++gAlive; }
  ~TTestQuery() override { --gAlive; }
  std::string ClassName() const override { return "TTestQuery"; }
  void SetActive(bool value) {
    if (HasState(csLoading)) {
      FStreamedActive = value;
      gLog.push_back(Name() + " remembers Active");
      return;
    }
    if (value && (!Connection || !Connection->Connected())) throw Exception("Connection is not open");
    FActive = value;
    gLog.push_back(Name() + " opens");
  }
  void Loaded() override {
    TComponent::Loaded();
    if (FStreamedActive) SetActive(true);
  }
  bool Active() const { return FActive; }
  TTestConnection* Connection = nullptr;

 private:
  bool FActive = false;
  bool FStreamedActive = false;
};

class TTestForm : public TComponent {
 public:
  TTestForm() { ++gAlive; }
  ~TTestForm() override { --gAlive; }
  std::string ClassName() const override { return "TTestForm"; }
  void Loaded() override {
    TComponent::Loaded();
    gLog.push_back("loaded " + Name());
  }
  void PingClick(TComponent& sender) { gLog.push_back("ping from " + sender.Name()); }
  void Other(int) {}
};

class FormReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog.clear();
    gAlive = 0;
    R.RegisterClass<TTestForm>("TTestForm", "TComponent");
    R.RegisterMethod("TTestForm", "PingClick", &TTestForm::PingClick);
    R.RegisterMethod("TTestForm", "Other", &TTestForm::Other);
    R.RegisterClass<TProbe>("TProbe", "TComponent");
    R.RegisterInteger<TProbe>("TProbe", "Int", [](TProbe& c, int v) { c.Int = v; c.Log("Int"); });
    R.RegisterInt64<TProbe>("TProbe", "Big", [](TProbe& c, std::int64_t v) { c.Big = v; });
    R.RegisterFloat<TProbe>("TProbe", "Float", [](TProbe& c, double v) { c.Float = v; });
    R.RegisterBoolean<TProbe>("TProbe", "Flag", [](TProbe& c, bool v) { c.Flag = v; });
    R.RegisterString<TProbe>("TProbe", "Str", [](TProbe& c, const std::string& v) { c.Str = v; c.Log("Str"); });
    R.RegisterString<TProbe>("TProbe", "Font.Name", [](TProbe& c, const std::string& v) { c.FontName = v; });
    R.RegisterInteger<TProbe>("TProbe", "Font.Height", [](TProbe& c, int v) { c.FontHeight = v; });
    R.RegisterStrings<TProbe>("TProbe", "Lines", [](TProbe& c, const std::vector<std::string>& v) { c.Lines = v; });
    R.RegisterBinary<TProbe>("TProbe", "Data", [](TProbe& c, const std::string& v) { c.Data = v; });
    R.RegisterSet<TProbe>("TProbe", "Options", {"soA", "soB", "soC"}, [](TProbe& c, std::uint64_t v) { c.Options = v; });
    R.RegisterEnum<TProbe, int>("TProbe", "Kind", {{"kdOne", 1}, {"kdTwo", 2}}, [](TProbe& c, int v) { c.Kind = v; });
    R.RegisterReference<TProbe>("TProbe", "Ref", [](TProbe& c, TComponent* v) { c.Ref = v; c.Log("Ref"); });
    R.RegisterBoolean<TProbe>("TProbe", "FailInLoaded", [](TProbe& c, bool v) { c.FailInLoaded = v; });
    R.RegisterValue<TProbe>("TProbe", "Items", [](TProbe& c, const TFormValue& v) {
      if (v.Type != vaCollection) TClassRegistry::ThrowInvalidValue(v);
      c.CollectionItems = v.Collection.size();
    });
    R.RegisterString<TProbe>("TProbe", "Raise", [](TProbe&, const std::string& v) { throw EConvertError(v); });
    R.RegisterEvent<TProbe, void(TComponent&)>("TProbe", "OnPing",
                                               [](TProbe& c, std::function<void(TComponent&)> h) { c.OnPing = h; });
    // A subclass inherits every property of its base.
    R.RegisterClass<TProbe>("TSubProbe", "TProbe");

    R.RegisterClass<TTestConnection>("TTestConnection", "TComponent");
    R.RegisterBoolean<TTestConnection>("TTestConnection", "Connected",
                                       [](TTestConnection& c, bool v) { c.SetConnected(v); });
    R.RegisterBoolean<TTestConnection>("TTestConnection", "FailToConnect",
                                       [](TTestConnection& c, bool v) { c.FailToConnect = v; });
    R.RegisterReference<TTestConnection, TTestConnection>(
        "TTestConnection", "DefaultTransaction.DefaultConnection",
        [](TTestConnection& c, TTestConnection* v) { c.DefaultConnection = v; });
    R.RegisterClass<TTestQuery>("TTestQuery", "TComponent");
    R.RegisterReference<TTestQuery, TTestConnection>("TTestQuery", "Connection",
                                                     [](TTestQuery& q, TTestConnection* v) { q.Connection = v; });
    R.RegisterBoolean<TTestQuery>("TTestQuery", "Active", [](TTestQuery& q, bool v) { q.SetActive(v); });
  }

  std::unique_ptr<TComponent> Read(const std::string& text) { return TFormReader(R).ReadComponent(text); }

  // Reads `text`, expects it to fail and returns the message.
  std::string ReadError(const std::string& text) {
    try {
      Read(text);
    } catch (const Exception& e) {
      return e.Message();
    }
    ADD_FAILURE() << "no error for:\n" << text;
    return {};
  }

  TClassRegistry R;
};

template <class T>
T& Child(TComponent& root, const char* name) {
  TComponent* c = root.FindComponent(name);
  EXPECT_NE(c, nullptr) << name;
  return dynamic_cast<T&>(*c);
}

// ---------------------------------------------------------------------------

TEST(FormParseTest, ValueKinds) {
  TFormObject f = ParseFormText(
      "\xEF\xBB\xBF"
      "object Form1: TForm1\n"
      "  I = -11\n"
      "  H = $7F\n"
      "  F = 1.5E3\n"
      "  G = -0.25\n"
      "  S = 'it''s'#13#10'ok'\n"
      "  C = 'ab' +\n"
      "    'cd'\n"
      "  Cyr1 = '\xD0\x97\xD0\x90\xD0\x9A\xD0\xA0\xD0\xAB\xD0\xA2\xD0\xAC'\n"
      "  Cyr2 = #1047#1040#1050#1056#1067#1058#1068\n"
      "  Emoji = #55357#56832\n"
      "  Empty = ''\n"
      "  Id = True\n"
      "  Dotted = Form2.Query1\n"
      "  Set0 = []\n"
      "  Set2 = [fsBold, fsItalic]\n"
      "  L = (\n"
      "    'line1'\n"
      "    'line2' 3)\n"
      "  B = {\n"
      "    00FF10\n"
      "    ab}\n"
      "  Col = <\n"
      "    item\n"
      "      Name = 'x'\n"
      "      Sub = < item end >\n"
      "    end\n"
      "    item\n"
      "    end>\n"
      "  object TUnnamed\n"
      "    object Inner: TInner\n"
      "      Font.Name = 'Tahoma'\n"
      "    end\n"
      "  end\n"
      "end\n");
  EXPECT_EQ(f.Name, "Form1");
  EXPECT_EQ(f.ClassName, "TForm1");
  ASSERT_EQ(f.Properties.size(), 17u);
  auto& p = f.Properties;
  EXPECT_EQ(p[0].Name, "I");
  EXPECT_EQ(p[0].Line, 2);
  EXPECT_EQ(p[0].Value.Type, vaInteger);
  EXPECT_EQ(p[0].Value.Int, -11);
  EXPECT_EQ(p[1].Value.Int, 127);
  EXPECT_EQ(p[2].Value.Type, vaFloat);
  EXPECT_DOUBLE_EQ(p[2].Value.Float, 1500.0);
  EXPECT_DOUBLE_EQ(p[3].Value.Float, -0.25);
  EXPECT_EQ(p[4].Value.Type, vaString);
  EXPECT_EQ(p[4].Value.Str, "it's\r\nok");
  EXPECT_EQ(p[5].Value.Str, "abcd");
  EXPECT_EQ(p[6].Value.Str, "\xD0\x97\xD0\x90\xD0\x9A\xD0\xA0\xD0\xAB\xD0\xA2\xD0\xAC");
  EXPECT_EQ(p[7].Value.Str, p[6].Value.Str);
  EXPECT_EQ(p[8].Value.Str, "\xF0\x9F\x98\x80");
  EXPECT_EQ(p[9].Value.Str, "");
  EXPECT_EQ(p[10].Value.Type, vaIdent);
  EXPECT_EQ(p[10].Value.Str, "True");
  EXPECT_EQ(p[11].Value.Str, "Form2.Query1");
  EXPECT_EQ(p[12].Value.Type, vaSet);
  EXPECT_TRUE(p[12].Value.Elements.empty());
  EXPECT_EQ(p[13].Value.Elements, (std::vector<std::string>{"fsBold", "fsItalic"}));
  ASSERT_EQ(p[14].Value.Type, vaList);
  ASSERT_EQ(p[14].Value.Items.size(), 3u);
  EXPECT_EQ(p[14].Value.Items[1].Str, "line2");
  EXPECT_EQ(p[14].Value.Items[2].Int, 3);
  EXPECT_EQ(p[15].Value.Type, vaBinary);
  EXPECT_EQ(p[15].Value.Str, std::string("\x00\xFF\x10\xAB", 4));
  ASSERT_EQ(p[16].Value.Type, vaCollection);
  ASSERT_EQ(p[16].Value.Collection.size(), 2u);
  ASSERT_EQ(p[16].Value.Collection[0].Properties.size(), 2u);
  EXPECT_EQ(p[16].Value.Collection[0].Properties[1].Value.Collection.size(), 1u);
  EXPECT_TRUE(p[16].Value.Collection[1].Properties.empty());
  ASSERT_EQ(f.Children.size(), 1u);
  EXPECT_EQ(f.Children[0].Name, "");
  EXPECT_EQ(f.Children[0].ClassName, "TUnnamed");
  ASSERT_EQ(f.Children[0].Children.size(), 1u);
  EXPECT_EQ(f.Children[0].Children[0].Properties[0].Name, "Font.Name");
  EXPECT_EQ(f.Children[0].Children[0].Line, 31);
}

TEST(FormParseTest, IntegersReachBothEndsOfInt64InEveryNotation) {
  TFormObject f = ParseFormText(
      "object A: TA\n"
      "  D1 = -9223372036854775808\n"
      "  D2 = 9223372036854775807\n"
      "  H1 = -$8000000000000000\n"
      "  H2 = $7FFFFFFFFFFFFFFF\n"
      "  H3 = -$1\n"
      "end");
  ASSERT_EQ(f.Properties.size(), 5u);
  EXPECT_EQ(f.Properties[0].Value.Int, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(f.Properties[1].Value.Int, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(f.Properties[2].Value.Int, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(f.Properties[3].Value.Int, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(f.Properties[4].Value.Int, -1);
  for (const char* beyond : {"-$8000000000000001", "$8000000000000000"}) {
    try {
      ParseFormText(std::string("object A: TA\n  X = ") + beyond + "\nend");
      ADD_FAILURE() << beyond;
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Text(), std::string("Number out of range: ") + beyond);
    }
  }
}

TEST(FormParseTest, KeywordsAsPropertyNames) {
  // "end" and "object" followed by '=' are properties, not structure.
  TFormObject f = ParseFormText("object A: TA\n End = 1\n Object.X = 2\nend");
  ASSERT_EQ(f.Properties.size(), 2u);
  EXPECT_EQ(f.Properties[0].Name, "End");
  EXPECT_EQ(f.Properties[1].Name, "Object.X");
}

struct THostileCase {
  const char* Text;
  const char* Message;
};

TEST(FormParseTest, HostileInputGivesClearErrors) {
  const THostileCase cases[] = {
      {"", "Unexpected end of file: 'object' expected (line 1)"},
      {"object A: TA\n  X = 1\n", "Unexpected end of file: 'end' expected (line 3)"},
      {"object A: TA\n  X =\n", "Unexpected end of file: property value expected (line 3)"},
      {"object A: TA\n  X = 'abc\nend", "Unterminated string (line 2)"},
      {"object A: TA\n  X = 'abc", "Unterminated string (line 2)"},
      {"object A: TA\n  X = { 00 11", "Unterminated binary value (line 2)"},
      {"object A: TA\n  X = { 0 }\nend", "Invalid binary value (odd number of digits) (line 2)"},
      {"object A: TA\n  X = { 0g }\nend", "Invalid binary value (line 2)"},
      {"object A: TA\n  X = 99999999999999999999\nend", "Number out of range: 99999999999999999999 (line 2)"},
      {"object A: TA\n  X = -9223372036854775809\nend", "Number out of range: -9223372036854775809 (line 2)"},
      {"object A: TA\n  X = $FFFFFFFFFFFFFFFFF\nend", "Number out of range: $FFFFFFFFFFFFFFFFF (line 2)"},
      {"object A: TA\n  X = 1e999\nend", "Number out of range: 1e999 (line 2)"},
      {"object A: TA\n  X = 12ab\nend", "Invalid number 12a (line 2)"},
      {"object A: TA\n  X = #\nend", "Invalid character code (line 2)"},
      {"object A: TA\n  X = #1114112\nend", "Invalid character code (above U+10FFFF) (line 2)"},
      {"object A: TA\n  X = #99999999999999999999\nend", "Invalid character code (above U+10FFFF) (line 2)"},
      {"object A: TA\n  X = #56832\nend", "Invalid character code #56832 (line 2)"},
      {"object A: TA\n  X = #55357'a'\nend", "Invalid character code #55357 (line 2)"},
      {"object A: TA\n  X = 'a\xC3'\nend", "Invalid UTF-8 text in string (line 2)"},
      {"object A: TA\n  X = 'a' + 1\nend", "String expected but number 1 found (line 2)"},
      {"object A: TA\n  X = [a b]\nend", "',' or ']' expected but 'b' found (line 2)"},
      {"object A: TA\n  X = (1 2\n", "Unexpected end of file: property value expected (line 3)"},
      {"object A: TA\n  X = < foo >\nend", "'item' expected but 'foo' found (line 2)"},
      {"object A: TA\n  X = ]\nend", "Property value expected but ']' found (line 2)"},
      {"object A: TA\n  X 1\nend", "'=' expected but number 1 found (line 2)"},
      {"object A: TA\n  ?\nend", "Invalid character '?' (line 2)"},
      {"object A: TA\n  X = \xD0\x97\nend", "Invalid character #208 (line 2)"},
      {"object A: TA\nend\nobject B: TB\nend", "End of file expected but 'object' found (line 3)"},
      {"inherited A: TA\nend", "'inherited' objects are not supported (line 1)"},
      {"object A: TA\n  inline B: TB\n  end\nend", "'inline' objects are not supported (line 2)"},
      {"object A: 5\nend", "Class name expected but number 5 found (line 1)"},
  };
  for (const auto& c : cases) {
    try {
      ParseFormText(c.Text);
      ADD_FAILURE() << "accepted: " << c.Text;
    } catch (const EReadError& e) {
      EXPECT_STREQ(e.what(), c.Message) << c.Text;
    }
  }
  // A NUL byte is reported, not taken for the end of the text.
  try {
    ParseFormText(std::string("object A: TA\n \0 X = 1\nend", 25));
    ADD_FAILURE() << "NUL accepted";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "Invalid character #0 (line 2)");
  }
}

TEST(FormParseTest, NestingIsLimited) {
  auto objects = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "object A: TA\n";
    for (int i = 0; i < depth; ++i) text += "end\n";
    return text;
  };
  EXPECT_NO_THROW(ParseFormText(objects(MaxFormNesting)));
  try {
    ParseFormText(objects(MaxFormNesting + 1));
    ADD_FAILURE() << "too deep accepted";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Text(), "Nesting too deep (more than 64 levels)");
    EXPECT_EQ(e.Line(), MaxFormNesting + 1);
  }
  // Deep lists and collections meet the same limit instead of exhausting
  // the stack.
  EXPECT_THROW(ParseFormText("object A: TA\n X = " + std::string(100000, '(')), EReadError);
  std::string cols = "object A: TA\n X = ";
  for (int i = 0; i < 10000; ++i) cols += "< item Y = ";
  EXPECT_THROW(ParseFormText(cols), EReadError);
}

TEST(FormParseTest, EveryTruncationFailsCleanly) {
  const std::string text =
      "object Form1: TForm1\n"
      "  Caption = 'x'#1047'y' +\n"
      "    'z'\n"
      "  L = ( 'a' 'b' )\n"
      "  S = [a, b]\n"
      "  B = { 0011 }\n"
      "  C = < item X = 1 end >\n"
      "  F = -1.5e2\n"
      "  object B: TB\n"
      "    R = Form1\n"
      "  end\n"
      "end";
  ASSERT_NO_THROW(ParseFormText(text));
  for (std::size_t n = 0; n < text.size() - 3; ++n) {
    // Every proper prefix that cuts off the last "end" is incomplete.
    EXPECT_THROW(ParseFormText(text.substr(0, n)), EReadError) << n;
  }
}

// ---------------------------------------------------------------------------

TEST_F(FormReaderTest, SetsPropertiesOfEveryKind) {
  auto root = Read(
      "object F: TTestForm\n"
      "  Tag = 7\n"
      "  object P: TSubProbe\n"
      "    Int = -2147483648\n"
      "    Big = 9223372036854775807\n"
      "    Float = 2\n"
      "    Flag = TRUE\n"
      "    Str = 'a'#1047\n"
      "    Font.Name = 'Tahoma'\n"
      "    font.height = -11\n"
      "    Lines = ( 'one' 'two' )\n"
      "    Data = { DEADBEEF }\n"
      "    Options = [soC, SOA]\n"
      "    Kind = kdTwo\n"
      "    Items = < item X = 1 end item end >\n"
      "  end\n"
      "end\n");
  EXPECT_EQ(root->Name(), "F");
  EXPECT_EQ(root->Tag(), 7);
  auto& p = Child<TProbe>(*root, "P");
  EXPECT_EQ(p.Int, -2147483647 - 1);
  EXPECT_EQ(p.Big, 9223372036854775807LL);
  EXPECT_DOUBLE_EQ(p.Float, 2.0);
  EXPECT_TRUE(p.Flag);
  EXPECT_EQ(p.Str, "a\xD0\x97");
  EXPECT_EQ(p.FontName, "Tahoma");
  EXPECT_EQ(p.FontHeight, -11);
  EXPECT_EQ(p.Lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(p.Data, "\xDE\xAD\xBE\xEF");
  EXPECT_EQ(p.Options, 0b101u);
  EXPECT_EQ(p.Kind, 2);
  EXPECT_EQ(p.CollectionItems, 2u);
}

TEST_F(FormReaderTest, CreatesInStoredOrderAndOwnsEverythingByTheRoot) {
  std::vector<std::string> parents;
  TFormReader reader(R);
  reader.SetParentHook([&](TComponent& parent, TComponent& child) {
    parents.push_back(parent.Name() + ">" + child.ClassName() + (child.HasState(csLoading) ? "" : " (not loading)"));
  });
  auto root = reader.ReadComponent(
      "object F: TTestForm\n"
      "  object A: TProbe\n"
      "    Int = 1\n"
      "    object A1: TProbe\n"
      "      Str = 'x'\n"
      "    end\n"
      "    Str = 'after child'\n"
      "  end\n"
      "  object B: TProbe\n"
      "    Int = 2\n"
      "  end\n"
      "end\n");
  ASSERT_EQ(root->ComponentCount(), 3);
  EXPECT_EQ(root->Components(0).Name(), "A");
  EXPECT_EQ(root->Components(1).Name(), "A1");
  EXPECT_EQ(root->Components(2).Name(), "B");
  EXPECT_EQ(parents, (std::vector<std::string>{"F>TProbe", "A>TProbe", "F>TProbe"}));
  // Properties in the order they stand: A's properties (also those written
  // after its child) before A1 is created.
  EXPECT_EQ(gLog, (std::vector<std::string>{"A.Int (loading)", "A.Str (loading)", "A1.Str (loading)",
                                            "B.Int (loading)", "loaded F", "loaded A", "loaded A1", "loaded B"}));
  EXPECT_FALSE(root->HasState(csLoading));
  EXPECT_FALSE(Child<TProbe>(*root, "A1").HasState(csLoading));
  EXPECT_FALSE(Child<TProbe>(*root, "A1").HasState(csReading));
  root.reset();
  EXPECT_EQ(gAlive, 0);
}

TEST_F(FormReaderTest, ReferencesAreResolvedAfterReading) {
  auto root = Read(
      "object F: TTestForm\n"
      "  object A: TProbe\n"
      "    Ref = Later\n"
      "    Int = 1\n"
      "  end\n"
      "  object Self1: TProbe\n"
      "    Ref = SELF1\n"
      "  end\n"
      "  object ToRoot: TProbe\n"
      "    Ref = F\n"
      "  end\n"
      "  object Nil1: TProbe\n"
      "    Ref = nil\n"
      "  end\n"
      "  object Later: TProbe\n"
      "    Int = 3\n"
      "  end\n"
      "  object C1: TTestConnection\n"
      "    DefaultTransaction.DefaultConnection = C1\n"
      "  end\n"
      "end\n");
  EXPECT_EQ(Child<TProbe>(*root, "A").Ref, root->FindComponent("Later"));
  EXPECT_EQ(Child<TProbe>(*root, "Self1").Ref, root->FindComponent("Self1"));
  EXPECT_EQ(Child<TProbe>(*root, "ToRoot").Ref, root.get());
  EXPECT_EQ(Child<TProbe>(*root, "Nil1").Ref, nullptr);
  auto& c1 = Child<TTestConnection>(*root, "C1");
  EXPECT_EQ(c1.DefaultConnection, &c1);
  // The references were set after every stored value, still while loading.
  std::vector<std::string> expected{"A.Int (loading)", "Nil1.Ref (loading)", "Later.Int (loading)",
                                    "A.Ref (loading)", "Self1.Ref (loading)", "ToRoot.Ref (loading)"};
  gLog.resize(expected.size());
  EXPECT_EQ(gLog, expected);
}

TEST_F(FormReaderTest, ConnectedAndActiveAreAppliedInLoadedOrder) {
  auto root = Read(
      "object Form1: TTestForm\n"
      "  object LumoConnection1: TTestConnection\n"
      "    Connected = True\n"
      "  end\n"
      "  object LumoQuery5: TTestQuery\n"
      "    Connection = LumoConnection1\n"
      "    Active = True\n"
      "  end\n"
      "end\n");
  EXPECT_EQ(gLog, (std::vector<std::string>{"LumoConnection1 remembers Connected", "LumoQuery5 remembers Active",
                                            "loaded Form1", "LumoConnection1 connects", "LumoQuery5 opens"}));
  EXPECT_TRUE(Child<TTestQuery>(*root, "LumoQuery5").Active());

  // Stored the other way round, the query comes up first and finds the
  // connection closed: the order of the description is the order of Loaded.
  gLog.clear();
  try {
    Read(
        "object Form1: TTestForm\n"
        "  object LumoQuery5: TTestQuery\n"
        "    Connection = LumoConnection1\n"
        "    Active = True\n"
        "  end\n"
        "  object LumoConnection1: TTestConnection\n"
        "    Connected = True\n"
        "  end\n"
        "end\n");
    ADD_FAILURE() << "query opened before its connection";
  } catch (const EReadError&) {
    ADD_FAILURE() << "Loaded error was wrapped";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Connection is not open");
  }
  EXPECT_EQ(gLog.back(), "loaded Form1");
}

TEST_F(FormReaderTest, ExceptionFromLoadedEndsCreationAndDestroysEverything) {
  const std::string text =
      "object Form1: TTestForm\n"
      "  object A: TProbe\n"
      "  end\n"
      "  object Conn: TTestConnection\n"
      "    Connected = True\n"
      "    FailToConnect = True\n"
      "  end\n"
      "  object B: TProbe\n"
      "  end\n"
      "end\n";
  try {
    Read(text);
    ADD_FAILURE() << "no exception";
  } catch (const EOSError& e) {
    // The exception leaves unchanged, with its class and code.
    EXPECT_STREQ(e.what(), "Can't connect to server on 'localhost'");
    EXPECT_EQ(e.ErrorCode(), 111);
  }
  EXPECT_EQ(gAlive, 0);
  EXPECT_EQ(gLog, (std::vector<std::string>{"Conn remembers Connected", "loaded Form1", "loaded A", "destroy B",
                                            "destroy A"}));

  // Read into a root the caller owns: the root stays, what was read goes.
  gLog.clear();
  TTestForm form;
  form.SetName("Form1");
  auto& keep = TComponent::CreateOwned<TProbe>(form);
  keep.SetName("Keep");
  EXPECT_THROW(TFormReader(R).ReadRoot(form, text), EOSError);
  ASSERT_EQ(form.ComponentCount(), 1);
  EXPECT_EQ(&form.Components(0), &keep);
  EXPECT_EQ(gAlive, 2);

  // A failure in B's own Loaded: components after it are never Loaded.
  gLog.clear();
  EXPECT_THROW(Read("object F: TTestForm\n"
                    "  object A: TProbe FailInLoaded = True end\n"
                    "  object B: TProbe end\n"
                    "end\n"),
               EConvertError);
  EXPECT_EQ(gLog, (std::vector<std::string>{"loaded F", "loaded A", "destroy B", "destroy A"}));
}

TEST_F(FormReaderTest, EventsBindMethodsOfTheRoot) {
  auto root = Read(
      "object F: TTestForm\n"
      "  object Button2: TProbe\n"
      "    OnPing = PingClick\n"
      "  end\n"
      "  object Quiet: TProbe\n"
      "    OnPing = nil\n"
      "  end\n"
      "end\n");
  auto& b = Child<TProbe>(*root, "Button2");
  ASSERT_TRUE(b.OnPing);
  b.OnPing(b);
  EXPECT_EQ(gLog.back(), "ping from Button2");
  EXPECT_FALSE(Child<TProbe>(*root, "Quiet").OnPing);
}

TEST_F(FormReaderTest, ErrorsNameTheOffenderAndTheLine) {
  struct TCase {
    std::string Text;
    std::string Message;
  };
  const TCase cases[] = {
      {"object F: TTestForm\n  object X: TFoo\n  end\nend", "Class TFoo not found (line 2)"},
      {"object F: TFooForm\nend", "Class TFooForm not found (line 1)"},
      {"object F: TTestForm\n  object Button2: TProbe\n    Int = 1\n    Foo = 2\n  end\nend",
       "Error reading Button2.Foo: Property Foo does not exist (line 4)"},
      {"object F: TTestForm\n  object P: TProbe\n    Font.Size = 8\n  end\nend",
       "Error reading P.Font.Size: Property Font.Size does not exist (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Int = 'x'\n  end\nend",
       "Error reading P.Int: Invalid property value (string) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Int = 2147483648\n  end\nend",
       "Error reading P.Int: Invalid property value 2147483648 (out of range) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Flag = Yes\n  end\nend",
       "Error reading P.Flag: Invalid property value (identifier) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Kind = kdThree\n  end\nend",
       "Error reading P.Kind: Invalid property value (identifier) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Options = [soD]\n  end\nend",
       "Error reading P.Options: Invalid property value (set element soD) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Lines = ( 'a' 1 )\n  end\nend",
       "Error reading P.Lines: Invalid property value (integer) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    Ref = 'P'\n  end\nend",
       "Error reading P.Ref: Invalid property value (string) (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n\n    Ref = Nowhere\n  end\nend",
       "Error reading P.Ref: Unresolved reference to Nowhere (line 4)"},
      {"object F: TTestForm\n  object P: TProbe\n    Ref = Form2.Query1\n  end\nend",
       "Error reading P.Ref: Unresolved reference to Form2.Query1 (line 3)"},
      {"object F: TTestForm\n  object P: TProbe end\n  object Q: TTestQuery\n    Connection = P\n  end\nend",
       "Error reading Q.Connection: Invalid property value P (line 4)"},
      {"object F: TTestForm\n  object P: TProbe\n    OnPing = NoSuchMethod\n  end\nend",
       "Error reading P.OnPing: Method NoSuchMethod not found in TTestForm (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n    OnPing = Other\n  end\nend",
       "Error reading P.OnPing: Method Other has an incompatible signature (line 3)"},
      {"object F: TTestForm\n  object P: TProbe end\n  object p: TProbe end\nend",
       "Error reading p: A component named p already exists (line 3)"},
      {"object F: TTestForm\n  object P: TProbe\n  end\n  object X: TFoo\n", "Unexpected end of file: 'end' expected (line 5)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadError(c.Text), c.Message) << c.Text;
    EXPECT_EQ(gAlive, 0) << c.Text;
  }
  EXPECT_THROW(Read("object F: TTestForm\n  object X: TFoo\n  end\nend"), EClassNotFound);

  // A setter's own exception keeps its class and gains the context.
  try {
    Read("object F: TTestForm\n  object P: TProbe\n    Raise = 'bad value'\n  end\nend");
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Error reading P.Raise: bad value (line 3)");
  }
  EXPECT_EQ(gAlive, 0);

  // The caller's root must be of the class the description declares.
  TProbe wrong;
  try {
    TFormReader(R).ReadRoot(wrong, "object F: TTestForm\nend");
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "The description is of class TTestForm, not TProbe (line 1)");
  }
}

TEST_F(FormReaderTest, DamagedDescriptionsFailCleanly) {
  // Random damage to a description that uses every construct: reading
  // either succeeds or raises one of the library's exceptions; nothing
  // created survives a failure.
  const std::string good =
      "object F: TTestForm\n"
      "  object P: TProbe\n"
      "    Int = -12\n"
      "    Str = 'a'#1047'b' +\n"
      "      'c'\n"
      "    Font.Name = 'Tahoma'\n"
      "    Lines = ( 'x' 'y' )\n"
      "    Data = { 0A0B }\n"
      "    Options = [soA, soC]\n"
      "    Kind = kdOne\n"
      "    Items = < item X = 1 end >\n"
      "    Ref = C1\n"
      "    OnPing = PingClick\n"
      "  end\n"
      "  object C1: TTestConnection\n"
      "    Connected = True\n"
      "    DefaultTransaction.DefaultConnection = C1\n"
      "  end\n"
      "  object Q1: TTestQuery\n"
      "    Connection = C1\n"
      "    Active = True\n"
      "  end\n"
      "end\n";
  ASSERT_NO_THROW(Read(good));
  const char alphabet[] = "'#$+-.,:=[](){}<>0123456789aAzZ_ \n\x80\xD0\xFF";
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = good;
    int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t pos = next() % text.size();
      char ch = alphabet[next() % (sizeof(alphabet) - 1)];
      switch (next() % 3) {
        case 0: text[pos] = ch; break;
        case 1: text.insert(pos, 1, ch); break;
        default: text.erase(pos, 1 + next() % 8); break;
      }
      if (text.empty()) text = "x";
    }
    gAlive = 0;
    try {
      Read(text);
    } catch (const Exception&) {
      ++failures;
    }
    ASSERT_EQ(gAlive, 0) << text;
  }
  EXPECT_GT(failures, 1000);
}

TEST_F(FormReaderTest, RegistryRules) {
  EXPECT_THROW(R.RegisterClass<TProbe>("TProbe", "TComponent"), EArgumentError);
  EXPECT_THROW(R.RegisterClass<TProbe>("TOrphan", "TMissing"), EArgumentError);
  EXPECT_THROW(R.RegisterClass<TProbe>("not valid", "TComponent"), EArgumentError);
  EXPECT_THROW(R.RegisterInteger<TProbe>("TMissing", "X", [](TProbe&, int) {}), EArgumentError);
  // Lookups ignore case and walk up to the bases.
  EXPECT_NE(R.FindProperty("tsubprobe", "FONT.NAME"), nullptr);
  EXPECT_NE(R.FindProperty("TSubProbe", "Tag"), nullptr);
  EXPECT_EQ(R.FindProperty("TComponent", "Int"), nullptr);
  // A class without a factory can only be a caller-created root.
  R.RegisterClass("TRootOnly", "TComponent", nullptr);
  EXPECT_THROW(Read("object F: TTestForm\n object X: TRootOnly end\nend"), EClassNotFound);
}

}  // namespace
}  // namespace lumo
