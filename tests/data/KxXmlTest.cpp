#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include <lumokit/core/Streams.h>
#include <lumokit/data/KxXml.h>

namespace lumo {
namespace {

std::string XmlError(const std::function<void()>& f) {
  try {
    f();
  } catch (const XmlException& e) {
    return e.what();
  }
  return "no exception";
}

// Reads the whole document; returns the error text or "".
std::string ParseError(const std::string& doc, int maxDepth = XmlTextReader::kDefaultMaxDepth) {
  XmlTextReader r(doc);
  r.SetMaxDepth(maxDepth);
  std::string err = XmlError([&] {
    while (r.Read()) {
    }
  });
  EXPECT_FALSE(r.Read());  // after an error (or the end) the reader stays at its end
  return err == "no exception" ? "" : err;
}

TEST(XmlEncode, EscapesMarkupAndDropsForbiddenCharacters) {
  EXPECT_EQ(XMLEncode("a\"b&c'd<e>f"), "a&#x22;b&#x26;c&#x27;d&#x3c;e&#x3e;f");
  EXPECT_EQ(XMLEncode("a\x01\x1F" "b\tc\r\n"), "ab\tc\r\n");
  EXPECT_EQ(XMLEncode("x\xEF\xBF\xBEy\xEF\xBF\xBFz"), "xyz");    // U+FFFE, U+FFFF
  EXPECT_EQ(XMLEncode("x\xED\xA0\x80y\xED\xBF\xBFz"), "xyz");    // surrogate code points
  EXPECT_EQ(XMLEncode("\xC3(\xF0\x9F\x98\x80"), "\xEF\xBF\xBD(\xF0\x9F\x98\x80");
  EXPECT_EQ(XMLEncode(""), "");
}

TEST(XmlWriter, ElementsAttributesAndText) {
  std::string out;
  XmlTextWriter w(out);
  w.WriteStartDocument();
  w.WriteStartElement("DATAPACKET");
  w.WriteAttributeString("Version", "2.0");
  w.WriteStartElement("ROW");
  w.WriteAttributeString("name", "a<b & \"c\"\t\n\r\x02");
  w.WriteEndElement();
  w.WriteElementString("note", "x < y\r\n\x0B]]>");
  w.WriteStartElement("e");
  w.WriteFullEndElement();
  w.WriteComment(" c ");
  w.WriteStartElement("d");
  w.WriteCData("<raw>]]>tail\x01");
  w.WriteEndElement();
  EXPECT_EQ(w.Depth(), 1);
  w.Close();
  EXPECT_EQ(w.WriteState(), WriteState::Closed);
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><DATAPACKET Version=\"2.0\">"
            "<ROW name=\"a&#x3c;b &#x26; &#x22;c&#x22;&#x9;&#xA;&#xD;\" />"
            "<note>x &#x3c; y&#xD;\n]]&#x3e;</note><e></e><!-- c -->"
            "<d><![CDATA[<raw>]]]]><![CDATA[>tail]]></d></DATAPACKET>");
}

TEST(XmlWriter, StateErrors) {
  std::string out;
  XmlTextWriter w(out);
  EXPECT_EQ(XmlError([&] { w.WriteEndElement(); }), "There was no XML start tag open.");
  EXPECT_EQ(XmlError([&] { w.WriteString("x"); }),
            "Token Content in state Start would result in an invalid XML document.");
  EXPECT_EQ(XmlError([&] { w.WriteStartElement("p", "a", ""); }), "Cannot use a prefix with an empty namespace.");
  w.WriteStartElement("a");
  EXPECT_EQ(XmlError([&] { w.WriteAttributeString("p", "x", "", "v"); }),
            "Cannot use a prefix with an empty namespace.");
  w.WriteAttributeString("x", "1");
  EXPECT_EQ(XmlError([&] { w.WriteAttributeString("x", "2"); }), "'x' is a duplicate attribute name.");
  EXPECT_EQ(XmlError([&] { w.WriteAttributeString("a b", "2"); }), "Invalid name character in 'a b'.");
  EXPECT_EQ(XmlError([&] { w.WriteStartElement("1a"); }), "Invalid name character in '1a'.");
  EXPECT_EQ(XmlError([&] { w.WriteStartElement(""); }), "The empty string '' is not a valid local name.");
  w.WriteString("text");
  EXPECT_EQ(XmlError([&] { w.WriteAttributeString("y", "1"); }),
            "Token WriteAttributeString in state Content would result in an invalid XML document.");
  EXPECT_EQ(XmlError([&] { w.WriteComment("a--b"); }),
            "An XML comment cannot contain '--', and '-' cannot be the last character.");
  w.WriteEndElement();
  EXPECT_EQ(XmlError([&] { w.WriteStartElement("b"); }),
            "Token StartElement in state Epilog would result in an invalid XML document.");
  EXPECT_EQ(XmlError([&] { w.WriteEndElement(); }), "There was no XML start tag open.");
  w.Close();
  EXPECT_EQ(XmlError([&] { w.WriteComment("x"); }),
            "Token Comment in state Closed would result in an invalid XML document.");
  EXPECT_EQ(out, "<a x=\"1\">text</a>");
}

TEST(XmlWriter, NamespacesAreDeclaredOnce) {
  std::string out;
  XmlTextWriter w(out);
  w.WriteStartElement("x", "root", "urn:a");
  w.WriteAttributeString("xmlns", "y", "", "urn:b");
  w.WriteAttributeString("xmlns", "x", "", "urn:a");  // already declared by the element
  EXPECT_EQ(XmlError([&] { w.WriteAttributeString("xmlns", "x", "", "urn:z"); }),
            "The prefix 'x' cannot be redefined from 'urn:a' to 'urn:z' within the same start element tag.");
  w.WriteStartElement("item", "urn:b");        // takes the prefix bound to urn:b
  w.WriteAttributeString("id", "urn:a", "1");  // and x for urn:a
  w.WriteAttributeString("k", "urn:c", "2");   // an unbound namespace gets a made-up prefix
  w.WriteEndElement();
  w.WriteStartElement("plain", "urn:d");
  w.WriteStartElement("inner", "urn:d");
  w.WriteEndElement();
  w.WriteStartElement("none", "");  // leaves the default namespace
  w.WriteEndElement();
  w.WriteEndElement();
  w.WriteStartElement("x", "again", "urn:a");
  w.WriteEndElement();
  w.WriteEndDocument();
  EXPECT_EQ(out,
            "<x:root xmlns:x=\"urn:a\" xmlns:y=\"urn:b\"><y:item x:id=\"1\" d2p1:k=\"2\" xmlns:d2p1=\"urn:c\" />"
            "<plain xmlns=\"urn:d\"><inner /><none xmlns=\"\" /></plain><x:again /></x:root>");

  XmlTextReader r(out);
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.LocalName(), "root");
  EXPECT_EQ(r.NamespaceURI(), "urn:a");
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.Name(), "y:item");
  EXPECT_EQ(r.NamespaceURI(), "urn:b");
  EXPECT_EQ(r.GetAttribute("k", "urn:c"), "2");
  EXPECT_EQ(r.GetAttribute("id", "urn:a"), "1");
  EXPECT_EQ(r.Attribute(2).Prefix, "xmlns");
  ASSERT_TRUE(r.Read());
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.Name(), "inner");
  EXPECT_EQ(r.NamespaceURI(), "urn:d");
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.Name(), "none");
  EXPECT_EQ(r.NamespaceURI(), "");
}

TEST(XmlWriter, IndentedOutput) {
  std::string out;
  XmlTextWriter w(out);
  w.SetFormatting(XmlFormatting::Indented);
  w.WriteStartDocument();
  w.WriteStartElement("a");
  w.WriteStartElement("b");
  w.WriteString("text");
  w.WriteEndElement();
  w.WriteStartElement("c");
  w.WriteStartElement("d");
  w.WriteEndElement();
  w.WriteEndElement();
  w.WriteEndElement();
  w.Flush();
  EXPECT_EQ(out, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<a>\n  <b>text</b>\n  <c>\n    <d />\n  </c>\n</a>");
}

TEST(XmlWriter, BuffersForASinkAndPassesOnItsErrors) {
  std::vector<std::string> pieces;
  {
    XmlTextWriter w([&](std::string_view s) { pieces.emplace_back(s); });
    w.WriteStartElement("r");
    for (int i = 0; i < 10000; ++i) w.WriteElementString("v", std::to_string(i));
    w.WriteEndElement();
    EXPECT_GE(pieces.size(), 1u);  // large output is passed on while writing
    w.Flush();
  }
  std::string all;
  for (auto& p : pieces) all += p;
  EXPECT_EQ(all.substr(0, 15), "<r><v>0</v><v>1");
  EXPECT_EQ(all.substr(all.size() - 15), "<v>9999</v></r>");

  XmlTextWriter failing([](std::string_view) { throw EStreamError("Stream write error"); });
  failing.WriteStartElement("r");
  EXPECT_THROW(failing.Flush(), EStreamError);
}

// Values written by the writer come back unchanged (after the characters XML
// cannot carry are dropped).
TEST(XmlRoundTrip, ReaderGetsBackWhatTheWriterWrote) {
  const std::vector<std::string> values = {
      "plain", "", " lead and trail ", "tab\tnew\nline\rcr\r\ncrlf", "<&>\"' ]]> &amp;",
      "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80", "ctl\x01\x02gone", "  ", "\n"};
  std::string doc;
  {
    XmlTextWriter w(doc);
    w.WriteStartDocument(true);
    w.WriteStartElement("rows");
    for (const auto& v : values) {
      w.WriteStartElement("row");
      w.WriteAttributeString("v", v);
      w.WriteString(v);
      w.WriteEndElement();
    }
    w.WriteStartElement("c");
    w.WriteCData("a]]>b\r\nc");
    w.WriteEndElement();
    w.Close();
  }
  XmlTextReader r(doc);
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.NodeType(), XmlNodeType::XmlDeclaration);
  EXPECT_EQ(r.GetAttribute("standalone"), "yes");
  ASSERT_TRUE(r.IsStartElement("rows"));
  r.Read();
  for (const auto& v : values) {
    std::string expected = v == "ctl\x01\x02gone" ? "ctlgone" : v;
    ASSERT_TRUE(r.IsStartElement("row")) << v;
    EXPECT_EQ(r.GetAttribute("v"), expected);
    EXPECT_EQ(r.ReadElementString(), expected);
  }
  ASSERT_TRUE(r.IsStartElement("c"));
  EXPECT_EQ(r.ReadElementString(), "a]]>b\nc");  // CR LF reads as LF inside CDATA
  EXPECT_EQ(r.NodeType(), XmlNodeType::EndElement);
  EXPECT_FALSE(r.Read());
  EXPECT_TRUE(r.Eof());
}

TEST(XmlReader, WalksNodesWithDepths) {
  const std::string doc =
      "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c -->\n"
      "<root a=\"1\" b='x&#x41;&#66;'><x>t&amp;t</x><y/><?pi data?><![CDATA[<raw>]]></root>\n";
  XmlTextReader r(doc);
  std::vector<std::tuple<XmlNodeType, std::string, std::string, int>> nodes;
  while (r.Read()) nodes.emplace_back(r.NodeType(), r.Name(), r.Value(), r.Depth());
  using T = XmlNodeType;
  std::vector<std::tuple<XmlNodeType, std::string, std::string, int>> expected = {
      {T::XmlDeclaration, "xml", "version=\"1.0\" encoding=\"UTF-8\"", 0},
      {T::Whitespace, "", "\n", 0},
      {T::Comment, "", " c ", 0},
      {T::Whitespace, "", "\n", 0},
      {T::Element, "root", "", 0},
      {T::Element, "x", "", 1},
      {T::Text, "", "t&t", 2},
      {T::EndElement, "x", "", 1},
      {T::Element, "y", "", 1},
      {T::ProcessingInstruction, "pi", "data", 1},
      {T::CDATA, "", "<raw>", 1},
      {T::EndElement, "root", "", 0},
      {T::Whitespace, "", "\n", 0},
  };
  EXPECT_EQ(nodes, expected);

  XmlTextReader a(doc);
  a.SetIgnoreWhitespace(true);
  ASSERT_TRUE(a.IsStartElement("root"));
  EXPECT_EQ(a.AttributeCount(), 2);
  EXPECT_EQ(a.GetAttribute("b"), "xAB");
  EXPECT_EQ(a.GetAttribute("c"), std::nullopt);
  EXPECT_EQ(a.LineNumber(), 3);
  EXPECT_THROW(a.Attribute(2), EArgumentError);
  a.Skip();  // past the whole root element
  EXPECT_FALSE(a.Read());
}

TEST(XmlReader, MalformedDocumentsRaiseClearErrors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "Root element is missing. Line 1, position 1."},
      {"<a>", "Unexpected end of file has occurred. The following elements are not closed: a. Line 1, position 4."},
      {"<a>\n <b>\n</a>", "The 'b' start tag on line 2 position 3 does not match the end tag of 'a'. Line 3, position 3."},
      {"<a/><b/>", "There are multiple root elements. Line 1, position 6."},
      {"<!DOCTYPE a [<!ENTITY x 'y'>]><a>&x;</a>", "DTD is prohibited in this XML document. Line 1, position 1."},
      {"<a>&foo;</a>", "Reference to undeclared entity 'foo'. Line 1, position 4."},
      {"<a>&#0;</a>", "Invalid character reference '&#0;'. Line 1, position 4."},
      {"<a>&#x110000;</a>", "Invalid character reference '&#x110000;'. Line 1, position 4."},
      {"<a>&#99999999999999999999;</a>", "Invalid character reference '&#99999999999999999999;'. Line 1, position 4."},
      {"<a>&amp</a>", "An error occurred while parsing EntityName. Line 1, position 4."},
      {"<a b='1' b='2'/>", "'b' is a duplicate attribute name. Line 1, position 10."},
      {"<a xmlns:p='u' xmlns:q='u' p:b='1' q:b='2'/>", "'q:b' is a duplicate attribute name. Line 1, position 36."},
      {"<a b=1/>", "Attribute values must be enclosed in quotes. Line 1, position 6."},
      {"<a b='1'c='2'/>", "Whitespace is required between attributes. Line 1, position 9."},
      {"<a x='<'/>", "'<', hexadecimal value 0x3C, is an invalid attribute character. Line 1, position 7."},
      {"<a>\x01</a>", "Hexadecimal value 0x01 is an invalid character. Line 1, position 4."},
      {"<a>\xFF</a>", "Invalid character in the given encoding. Line 1, position 4."},
      {"<a>\xEF\xBF\xBF</a>", "Hexadecimal value 0xFFFF is an invalid character. Line 1, position 4."},
      {"<p:a/>", "'p' is an undeclared prefix. Line 1, position 2."},
      {"<a:b:c xmlns:a='u'/>", "Invalid qualified name 'a:b:c'. Line 1, position 2."},
      {"text", "Data at the root level is invalid. Line 1, position 1."},
      {"<a/>x", "Data at the root level is invalid. Line 1, position 5."},
      {"<![CDATA[x]]><a/>", "Data at the root level is invalid. Line 1, position 1."},
      {"<a><!-- x -- y --></a>", "An XML comment cannot contain '--', and '-' cannot be the last character. Line 1, position 11."},
      {"<a><!-- x", "Unexpected end of file while parsing Comment has occurred. Line 1, position 10."},
      {"<a><![CDATA[x</a>", "Unexpected end of file while parsing CDATA has occurred. Line 1, position 18."},
      {"<a>]]></a>", "']]>' is not allowed in character data. Line 1, position 4."},
      {"<?xml version='1.0' encoding='latin1'?><a/>", "System does not support 'latin1' encoding. Line 1, position 21."},
      {" <?xml version='1.0'?><a/>", "Unexpected XML declaration. The XML declaration must be the first node in the document. Line 1, position 2."},
      {"<?xml encoding='utf-8'?><a/>", "Invalid syntax in the XML declaration. Line 1, position 7."},
      {"<a><?XML x?></a>", "'XML' is an invalid name for processing instructions. Line 1, position 6."},
      {"<a></a", "Expected '>'. Line 1, position 7."},
      {"<a", "Unexpected end of file has occurred. Line 1, position 3."},
      {"< a/>", "Name cannot begin with the character 0x20. Line 1, position 2."},
      {"</a>", "Unexpected end tag. Line 1, position 3."},
      {"<a xmlns:p=''/>", "Cannot use a prefix with an empty namespace. Line 1, position 4."},
      {std::string("\xFF\xFE<\0a\0/\0>\0", 10), "Unsupported document encoding: only UTF-8 documents can be read. Line 1, position 1."},
  };
  for (const auto& [doc, message] : cases) EXPECT_EQ(ParseError(doc), message) << doc;
}

TEST(XmlReader, NestingDepthIsLimited) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  EXPECT_EQ(ParseError(deep), "The XML document exceeds the maximum nesting depth of 256. Line 1, position 770.");
  EXPECT_EQ(ParseError(deep, 300), "");
  // A million unclosed tags fail at the limit, long before the end.
  std::string hostile;
  for (int i = 0; i < 1000000; ++i) hostile += "<a>";
  EXPECT_NE(ParseError(hostile).find("maximum nesting depth"), std::string::npos);
}

TEST(XmlReader, HugeTagsStayLinear) {
  // Quadratic duplicate or namespace checks would take minutes here.
  std::string doc = "<r";
  for (int i = 0; i < 60000; ++i) doc += " xmlns:p" + std::to_string(i) + "='u" + std::to_string(i) + "'";
  for (int i = 0; i < 60000; ++i) doc += " p" + std::to_string(i) + ":a='" + std::to_string(i) + "' b" + std::to_string(i) + "=''";
  doc += "/>";
  XmlTextReader r(doc);
  ASSERT_TRUE(r.Read());
  EXPECT_EQ(r.AttributeCount(), 180000);
  EXPECT_EQ(r.GetAttribute("a", "u59999"), "59999");
  std::string amps = "<r>" + std::string(1 << 20, '&') + "</r>";
  EXPECT_EQ(ParseError(amps), "An error occurred while parsing EntityName. Line 1, position 4.");
}

TEST(XmlReader, RandomDamageGivesAResultOrAnXmlException) {
  std::string doc;
  {
    XmlTextWriter w(doc);
    w.WriteStartDocument();
    w.WriteStartElement("p", "rows", "urn:x");
    for (int i = 0; i < 20; ++i) {
      w.WriteStartElement("row");
      w.WriteAttributeString("id", std::to_string(i));
      w.WriteAttributeString("k", "urn:y", "\xC3\xA9&<");
      w.WriteString("value " + std::to_string(i) + " &");
      w.WriteEndElement();
    }
    w.WriteComment("end");
    w.Close();
  }
  std::mt19937 rng(99);
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = doc;
    for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k) {
      std::size_t at = rng() % damaged.size();
      switch (rng() % 3) {
        case 0: damaged[at] = "<>&;'\"/=!?[]-x \x01\xC3"[rng() % 18]; break;
        case 1: damaged.erase(at, 1 + rng() % 8); break;
        default: damaged.insert(at, damaged.substr(rng() % damaged.size(), 1 + rng() % 12)); break;
      }
      if (damaged.empty()) damaged = "<";
    }
    if (!ParseError(damaged).empty()) ++failures;
  }
  EXPECT_GT(failures, 1000);
}

TEST(XmlParser, ElementByElement) {
  TXmlParser p("<r v='1'><a x='y'>one<b>two</b>three</a><c/>text<d></d></r>");
  ASSERT_TRUE(p.Next());
  EXPECT_TRUE(p.IsStartElement());
  EXPECT_EQ(p.Name(), "r");
  EXPECT_EQ(p.GetAttribute("v"), "1");
  EXPECT_EQ(p.GetAttribute("w", "none"), "none");
  ASSERT_TRUE(p.Next());
  EXPECT_EQ(p.Name(), "a");
  EXPECT_TRUE(p.HasAttribute("x"));
  EXPECT_EQ(p.ReadText(), "onetwothree");
  EXPECT_TRUE(p.IsEndElement());
  EXPECT_EQ(p.Name(), "a");
  ASSERT_TRUE(p.Next());
  EXPECT_TRUE(p.IsEmptyElement());
  EXPECT_EQ(p.ReadText(), "");
  ASSERT_TRUE(p.Next());
  EXPECT_EQ(p.Name(), "d");
  EXPECT_EQ(p.Depth(), 1);
  ASSERT_TRUE(p.Next());
  EXPECT_TRUE(p.IsEndElement());
  ASSERT_TRUE(p.Next());
  EXPECT_EQ(p.Name(), "r");
  EXPECT_FALSE(p.Next());
  EXPECT_THROW(p.ReadText(), XmlException);
}

class StringStream : public TStream {
 public:
  std::string Data;
  std::int64_t Pos = 0;
  std::int64_t Read(void* buffer, std::int64_t count) override {
    auto n = std::min<std::int64_t>(count, static_cast<std::int64_t>(Data.size()) - Pos);
    if (n <= 0) return 0;
    std::memcpy(buffer, Data.data() + Pos, static_cast<std::size_t>(n));
    Pos += n;
    return n;
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    count = std::min<std::int64_t>(count, 5);  // short writes must be continued
    Data.replace(static_cast<std::size_t>(Pos), static_cast<std::size_t>(count), static_cast<const char*>(buffer),
                 static_cast<std::size_t>(count));
    Pos += count;
    return count;
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    Pos = origin == TSeekOrigin::soBeginning ? offset
          : origin == TSeekOrigin::soCurrent ? Pos + offset
                                             : static_cast<std::int64_t>(Data.size()) + offset;
    return Pos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(Data.size()); }
  void SetSize(std::int64_t n) override { Data.resize(static_cast<std::size_t>(n)); }
};

TEST(XmlStreams, WriteToAndReadFromAStream) {
  StringStream s;
  {
    XmlTextWriter w(s);
    w.WriteStartElement("root");
    w.WriteElementString("v", "a&b");
    w.Close();
  }
  EXPECT_EQ(s.Data, "<root><v>a&#x26;b</v></root>");
  s.Pos = 0;
  TXmlParser p(s);
  ASSERT_TRUE(p.Next());
  ASSERT_TRUE(p.Next());
  EXPECT_EQ(p.ReadText(), "a&b");
  s.Pos = 0;
  EXPECT_EQ(XmlError([&] { XmlTextReader r(s, 10); }), "The XML document is too large.");
}


}  // namespace
}  // namespace lumo
