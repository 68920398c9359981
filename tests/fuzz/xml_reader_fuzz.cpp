// Feeds arbitrary bytes to the XML reader and the element walker (they must
// end in a result or an XmlException), and checks that any text written by
// the writer reads back the same from an attribute and from element text
// and writes again to the identical document.
#include <cstddef>
#include <cstdint>
#include <string>

#include <lumokit/data/KxXml.h>

namespace {

std::string WriteDoc(const std::string& value) {
  std::string doc;
  lumo::XmlTextWriter w(doc);
  w.WriteStartElement("r");
  w.WriteAttributeString("v", value);
  w.WriteString(value);
  w.WriteEndElement();
  return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  try {
    lumo::XmlTextReader r(input);
    r.SetMaxDepth(64);
    std::size_t seen = 0;
    while (r.Read()) {
      seen += r.Name().size() + r.Value().size() + r.NamespaceURI().size();
      for (int i = 0; i < r.AttributeCount(); ++i) seen += r.Attribute(i).Value.size();
      if (r.NodeType() == lumo::XmlNodeType::Element) (void)r.GetAttribute("a");
    }
    (void)seen;
  } catch (const lumo::XmlException&) {
  }

  try {
    lumo::TXmlParser p(input);
    while (p.Next())
      if (p.IsStartElement() && (size & 1)) (void)p.ReadText();
  } catch (const lumo::XmlException&) {
  }

  const std::string doc = WriteDoc(input);
  lumo::XmlTextReader back(doc);
  if (!back.IsStartElement("r")) __builtin_trap();
  const std::string attr = back.GetAttribute("v").value_or("\x01");
  const std::string text = back.ReadElementString();
  if (attr != text || WriteDoc(attr) != doc) __builtin_trap();
  return 0;
}
