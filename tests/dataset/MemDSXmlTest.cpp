// The XML rowset export: the whole document for a representative row set
// (aliases for names that are not plain, escaped values, no attribute for
// a null), calculated fields left out, and the data set left as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include <lumokit/core/DateTimeUtils.h>
#include <lumokit/core/Streams.h>
#include "dataset/MemDSTestUtil.h"

namespace lumo::test {
namespace {

constexpr const char* kGolden =
    "<xml xmlns:s='uuid:BDC6E3F0-6DA3-11d1-A2A3-00AA00C14882' xmlns:dt='uuid:C2F41010-65B3-11d1-A29F-00AA00C14882' "
    "xmlns:rs='urn:schemas-microsoft-com:rowset' xmlns:z='#RowsetSchema'>\n"
    "  <s:Schema id='RowsetSchema'>\n"
    "    <s:ElementType name='row' content='eltOnly' rs:updatable='true'>\n"
    "      <s:AttributeType name='ID' rs:number='1' rs:writeunknown='true' rs:basecolumn='id' rs:keycolumn='true'>\n"
    "        <s:datatype dt:type='int' dt:maxLength='4' rs:precision='10' rs:maybenull='false' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='c1' rs:name='1st name' rs:number='2' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='10' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='NOTE' rs:number='3' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='string' rs:dbtype='str' dt:maxLength='2147483647' rs:long='true' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='PRICE' rs:number='4' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='float' dt:maxLength='8' rs:precision='10' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='WHEN' rs:number='5' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='datetime' rs:dbtype='variantdate' dt:maxLength='8' rs:scale='0' rs:precision='0' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='FLAG' rs:number='6' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='boolean' dt:maxLength='2' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='BIN' rs:number='7' rs:nullable='true' rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='bin.hex' dt:maxLength='2' />\n"
    "      </s:AttributeType>\n"
    "      <s:AttributeType name='c2' rs:name='gr\xC3\xB6\xC3\x9F" "e' rs:number='8' rs:nullable='true' "
    "rs:writeunknown='true'>\n"
    "        <s:datatype dt:type='i2' dt:maxLength='2' rs:precision='5' />\n"
    "      </s:AttributeType>\n"
    "      <s:extends type='rs:rowbase' />\n"
    "    </s:ElementType>\n"
    "  </s:Schema>\n"
    "  <rs:data>\n"
    "    <z:row ID='1' c1='a&#x26;b&#x27;&#x3c;c&#x3e;&#x22;' PRICE='1.5' WHEN='2024-01-02T03:04:05' FLAG='True' "
    "BIN='AB01' c2='7' />\n"
    "    <z:row ID='2' />\n"
    "  </rs:data>\n"
    "</xml>";

std::unique_ptr<TTestDataSet> Sample() {
  auto ds = std::make_unique<TTestDataSet>(std::vector<TFieldSpec>{{"ID", dtInt32},
                                                                   {"1st name", dtString, 10},
                                                                   {"NOTE", dtMemo},
                                                                   {"PRICE", dtFloat, 10},
                                                                   {"WHEN", dtDateTime},
                                                                   {"FLAG", dtBoolean},
                                                                   {"BIN", dtBytes, 2},
                                                                   {"gr\xC3\xB6\xC3\x9F" "e", dtInt16}});
  TFieldDesc& id = *ds->Data().Fields()[0];
  id.SetIsKey(true);
  id.SetRequired(true);
  id.SetActualName("id");
  ds->AddRow({1, "a&b'<c>\"", Variant(), 1.5, Variant::FromDate(EncodeDateTime(2024, 1, 2, 3, 4, 5, 0)), true,
              Variant::FromBytes(std::vector<std::uint8_t>{0xAB, 0x01}), 7});
  ds->AddRow({2});
  return ds;
}

TEST(MemDSXml, WritesTheRowsetDocument) {
  auto ds = Sample();
  TStringStream out;
  ds->SaveToXML(out);
  EXPECT_EQ(out.DataString(), kGolden);
  EXPECT_FALSE(ds->Active());  // opened for the export only
}

TEST(MemDSXml, LeavesCalculatedFieldsOutAndTheDataSetAsItWas) {
  TTestDataSet ds({{"ID", dtInt32}});
  for (int i = 1; i <= 3; ++i) ds.AddRow({i});
  ds.AddField<TIntegerField>("ID");
  auto& twice = ds.AddField<TIntegerField>("TWICE", fkCalculated);
  ds.OnCalcFields = [&](TDataSet& d) { twice.SetAsInteger(2 * d.FieldByName("ID").AsInteger()); };
  ds.Open();
  ds.Next();
  TDataSource src(&ds);
  int changes = 0;
  src.OnDataChange = [&](TDataSource&, TField*) { ++changes; };
  TStringStream out;
  ds.SaveToXML(out);
  const std::string xml = out.DataString();
  EXPECT_EQ(xml.find("TWICE"), std::string::npos);
  EXPECT_NE(xml.find("<z:row ID='3' />"), std::string::npos);
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(changes, 1);  // one change when controls come back, none per row
  EXPECT_FALSE(ds.ControlsDisabled());

  char path[] = "/tmp/lumo-xml-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ds.SaveToXML(path);
  TFileStream file(path, fmOpenRead);
  EXPECT_EQ(file.ReadToEnd(), xml);
  std::remove(path);
}

}  // namespace
}  // namespace lumo::test
