// The XML rowset export of a memory data set: the schema part (one
// attribute type per data field with its data type) and the data part
// (one z:row per row, one attribute per non-null value), written through
// the XML writer as UTF-8, indented by two blanks, values in single quotes.
// The data-set service calls these; providers override the service's hooks
// to describe their own types.
//
// Decisions: names made of ASCII letters, '_' and (not first) digits are
// written as they are; any other name becomes "c<n>" with rs:name holding
// it. Every value and name goes through the writer, which escapes it.
// The export leaves the data set as it found it (open state, position,
// controls) also when it fails.
#pragma once

#include <string>

namespace lumo {

class TDataSetService;
class TField;
class TFieldDesc;
class TMemDataSet;
class TStream;
class XmlTextWriter;

void WriteRowsetXML(TMemDataSet& dataSet, TDataSetService& service, TStream& stream);
// The attributes of s:datatype for a field ("Data type is not supported"
// for structured and cursor types).
void WriteXMLDataType(TMemDataSet& dataSet, TField& field, TFieldDesc* desc, XmlTextWriter& writer);
// rs:number … rs:autoincrement of s:AttributeType.
void WriteXMLAttributeType(TField& field, TFieldDesc* desc, XmlTextWriter& writer);
// The text of a non-null value.
std::string XMLFieldValue(TField& field, TFieldDesc* desc);
// True for a name written as it is (not aliased).
bool IsXMLPlainName(const std::string& name);

}  // namespace lumo
