#include <lumokit/dataset/MemDSXml.h>

#include <cstdio>
#include <vector>

#include <lumokit/core/CodePages.h>
#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/data/KxXml.h>
#include <lumokit/dataset/MemDS.h>

namespace lumo {

namespace {

constexpr char kSchemaNs[] = "uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882";
constexpr char kDataTypeNs[] = "uuid:C2F41010-65B3-11d1-A29F-00AA00C14882";
constexpr char kRowsetNs[] = "urn:schemas-microsoft-com:rowset";
constexpr char kRowNs[] = "#RowsetSchema";

std::uint16_t DataTypeOf(TMemDataSet& dataSet, const TField& field, const TFieldDesc* desc) {
  (void)dataSet;
  return desc ? desc->DataType() : TFieldTypeMap::Default().GetDataType(field.DataType());
}

std::string DatePart(TDateTime value) {
  int y = 0, m = 0, d = 0;
  DecodeDate(value, y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
  return text;
}

std::string TimePart(TDateTime value) {
  int h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(value, h, n, s, ms);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, n, s);
  return text;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(2 * bytes.size());
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

}  // namespace

bool IsXMLPlainName(const std::string& name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

void WriteXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  auto rs = [&](const char* name, const std::string& value) {
    writer.WriteAttributeString("rs", name, kRowsetNs, value);
  };
  rs("number", std::to_string(desc ? desc->FieldNo() : field.FieldNo()));
  if (!field.Required() && !field.ReadOnly()) rs("nullable", "true");
  if (!field.ReadOnly()) rs("writeunknown", "true");
  if (desc && !desc->ActualName().empty()) rs("basecolumn", desc->ActualName());
  if (desc && desc->IsKey()) rs("keycolumn", "true");
  if (desc && desc->IsAutoIncrement()) rs("autoincrement", "true");
}

void WriteXMLDataType(TMemDataSet& dataSet, TField& field, TFieldDesc* desc, XmlTextWriter& writer) {
  const std::uint16_t type = DataTypeOf(dataSet, field, desc);
  const int size = desc ? desc->Size() : field.DataSize();
  const int length = desc ? desc->Length() : field.Size();
  const int scale = desc ? desc->Scale() : 0;
  const bool fixed = desc && desc->Fixed();
  auto dt = [&](const char* name, const std::string& value) {
    writer.WriteAttributeString("dt", name, kDataTypeNs, value);
  };
  auto rs = [&](const char* name, const std::string& value) {
    writer.WriteAttributeString("rs", name, kRowsetNs, value);
  };
  auto num = [](int v) { return std::to_string(v); };
  switch (type) {
    case dtUnknown:
    case dtVariant:
      dt("type", "string");
      break;
    case dtInt8:
      dt("type", "i1");
      dt("maxLength", num(size));
      rs("precision", num(length));
      break;
    case dtInt16:
      dt("type", "i2");
      dt("maxLength", num(size));
      rs("precision", "5");
      break;
    case dtInt32:
      dt("type", "int");
      dt("maxLength", num(size));
      rs("precision", "10");
      break;
    case dtInt64:
      dt("type", "i8");
      dt("maxLength", num(size));
      rs("precision", "19");
      break;
    case dtUInt8:
    case dtUInt16:
    case dtUInt32:
      dt("type", type == dtUInt8 ? "ui1" : type == dtUInt16 ? "ui2" : "ui4");
      dt("maxLength", num(size));
      rs("precision", num(length));
      break;
    case dtFloat:
    case dtSingle:
      if (length > 7) {
        dt("type", "float");
        dt("maxLength", num(size));
      } else {
        dt("type", "r4");
        dt("maxLength", "4");
      }
      rs("precision", num(length));
      break;
    case dtDate:
    case dtTime:
      dt("type", type == dtDate ? "date" : "time");
      dt("maxLength", num(size));
      rs("scale", num(scale));
      rs("precision", num(length));
      break;
    case dtDateTime:
    case dtSQLTimeStamp:
      dt("type", "datetime");
      rs("dbtype", type == dtDateTime ? "variantdate" : "timestamp");
      dt("maxLength", num(size));
      rs("scale", num(scale));
      rs("precision", num(length));
      break;
    case dtBoolean:
      dt("type", "boolean");
      dt("maxLength", num(size));
      break;
    case dtCurrency:
    case dtBCD:
      dt("type", "number");
      rs("dbtype", "currency");
      dt("maxLength", num(size));
      rs("precision", num(length));
      break;
    case dtFMTBCD:
      dt("type", "number");
      rs("dbtype", "numeric");
      dt("maxLength", num(size));
      rs("scale", num(scale));
      rs("precision", num(length));
      break;
    case dtGuid:
      dt("type", "uuid");
      dt("maxLength", "16");
      break;
    case dtBlob:
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes:
      dt("type", "bin.hex");
      dt("maxLength", type == dtBlob ? "2147483647" : num(length));
      if (type == dtBlob && !fixed) rs("long", "true");
      break;
    case dtString:
    case dtExtString:
    case dtWideString:
    case dtExtWideString:
    case dtMemo:
    case dtWideMemo: {
      const bool memo = type == dtMemo || type == dtWideMemo;
      const bool wide = type == dtWideString || type == dtExtWideString || type == dtWideMemo;
      dt("type", "string");
      if (!wide) rs("dbtype", "str");
      dt("maxLength", memo ? "2147483647" : num(length));
      if (memo && !fixed) rs("long", "true");
      break;
    }
    default:
      DatabaseError("Data type is not supported");
  }
  if (fixed && type != dtUnknown && type != dtVariant) rs("fixedlength", "true");
  if (field.Required() && !field.ReadOnly()) rs("maybenull", "false");
}

std::string XMLFieldValue(TField& field, TFieldDesc* desc) {
  const std::uint16_t type = desc ? desc->DataType() : TFieldTypeMap::Default().GetDataType(field.DataType());
  switch (type) {
    case dtInt8:
    case dtInt16:
    case dtInt32:
    case dtInt64:
    case dtUInt8:
    case dtUInt16:
    case dtUInt32:
      return std::to_string(field.AsLargeInt());
    case dtFloat:
    case dtSingle:
    case dtCurrency:
      return FloatToStr(field.AsFloat(), InvariantFormatSettings());
    case dtBCD:
      return CurrToStr(field.AsCurrency(), InvariantFormatSettings());
    case dtFMTBCD:
      return BcdToStr(field.AsBCD(), InvariantFormatSettings());
    case dtDate:
      return DatePart(field.AsDateTime());
    case dtTime:
      return TimePart(field.AsDateTime());
    case dtDateTime:
    case dtSQLTimeStamp: {
      const TDateTime v = field.AsDateTime();
      return DatePart(v) + "T" + TimePart(v);
    }
    case dtBoolean:
      return field.AsBoolean() ? "True" : "False";
    case dtBlob:
    case dtBytes:
    case dtVarBytes:
    case dtExtVarBytes:
      return Hex(field.AsBytes());
    case dtWideString:
    case dtExtWideString:
    case dtWideMemo:
      return Utf16ToUtf8(field.AsWideString());
    default:
      return AnsiToUtf8(field.AsString());
  }
}

void WriteRowsetXML(TMemDataSet& dataSet, TDataSetService& service, TStream& stream) {
  const bool wasActive = dataSet.Active();
  dataSet.DisableControls();
  TBookmark position;
  // Leaves the data set as it was found, on every path.
  struct TRestore {
    TMemDataSet& DataSet;
    bool WasActive;
    TBookmark& Position;
    ~TRestore() {
      try {
        if (!WasActive)
          DataSet.Close();
        else if (!Position.empty() && DataSet.BookmarkValid(Position))
          DataSet.GotoBookmark(Position);
      } catch (...) {
        // The export's own error (if any) is the one to report.
      }
      DataSet.EnableControls();
    }
  } restore{dataSet, wasActive, position};
  if (!wasActive) dataSet.Open();
  dataSet.CheckBrowseMode();
  position = dataSet.GetBookmark();

  struct TColumn {
    TField* Field;
    TFieldDesc* Desc;
    std::string Name;
    std::string Alias;
  };
  std::vector<TColumn> columns;
  int aliases = 0;
  for (const auto& f : dataSet.Fields()) {
    if (f->FieldKind() != fkData) continue;
    TFieldDesc* desc = dataSet.GetFieldDesc(*f);
    std::string name = desc ? desc->Name() : f->FieldName();
    std::string alias = IsXMLPlainName(name) ? name : "c" + std::to_string(++aliases);
    columns.push_back({f.get(), desc, std::move(name), std::move(alias)});
  }

  XmlTextWriter w(stream);
  w.SetFormatting(XmlFormatting::Indented);
  w.SetIndentation(2);
  w.SetQuoteChar('\'');
  w.WriteStartElement("xml");
  w.WriteAttributeString("xmlns", "s", "", kSchemaNs);
  w.WriteAttributeString("xmlns", "dt", "", kDataTypeNs);
  w.WriteAttributeString("xmlns", "rs", "", kRowsetNs);
  w.WriteAttributeString("xmlns", "z", "", kRowNs);
  w.WriteStartElement("s", "Schema", kSchemaNs);
  w.WriteAttributeString("id", "RowsetSchema");
  w.WriteStartElement("s", "ElementType", kSchemaNs);
  w.WriteAttributeString("name", "row");
  w.WriteAttributeString("content", "eltOnly");
  w.WriteAttributeString("rs", "updatable", kRowsetNs, "true");
  for (const TColumn& c : columns) {
    w.WriteStartElement("s", "AttributeType", kSchemaNs);
    w.WriteAttributeString("name", c.Alias);
    if (c.Alias != c.Name) w.WriteAttributeString("rs", "name", kRowsetNs, c.Name);
    service.WriteFieldXMLAttributeType(*c.Field, c.Desc, w);
    w.WriteStartElement("s", "datatype", kSchemaNs);
    service.WriteFieldXMLDataType(*c.Field, c.Desc, w);
    w.WriteEndElement();
    w.WriteEndElement();
  }
  w.WriteStartElement("s", "extends", kSchemaNs);
  w.WriteAttributeString("type", "rs:rowbase");
  w.WriteEndElement();
  w.WriteEndElement();  // s:ElementType
  w.WriteEndElement();  // s:Schema
  w.WriteStartElement("rs", "data", kRowsetNs);
  for (dataSet.First(); !dataSet.Eof(); dataSet.Next()) {
    w.WriteStartElement("z", "row", kRowNs);
    for (const TColumn& c : columns)
      if (!c.Field->IsNull()) w.WriteAttributeString(c.Alias, service.GetFieldXMLValue(*c.Field, c.Desc));
    w.WriteEndElement();
  }
  w.WriteEndElement();  // rs:data
  w.WriteEndElement();  // xml
  w.Close();
}

}  // namespace lumo
