#include <gtest/gtest.h>

#include <cstring>

#include <lumokit/data/MemTypes.h>

namespace lumo {
namespace {

std::unique_ptr<TFieldDesc> Desc(const char* name, const char* actual = "", TFieldDesc* parent = nullptr) {
  auto d = std::make_unique<TFieldDesc>();
  d->SetName(name);
  d->SetActualName(actual);
  d->SetParentField(parent);
  return d;
}

TEST(MemTypes, CodesAndSizes) {
  EXPECT_EQ(dtUnknown, 0);
  EXPECT_EQ(dtSmallint, 3);
  EXPECT_EQ(dtLargeint, 11);
  EXPECT_EQ(dtLongWord, 24);
  EXPECT_EQ(dtFMTBCD, 28);
  EXPECT_EQ(dtUInt64, 35);
  for (std::uint16_t t = 0; t <= 35; ++t) {
    const bool blob = t == dtBlob || t == dtMemo || t == dtWideMemo;
    EXPECT_EQ(IsBlobFieldType(t), blob) << t;
    EXPECT_EQ(IsComplexFieldType(t),
              blob || t == dtVariant || t == dtExtString || t == dtExtVarBytes || t == dtExtWideString)
        << t;
  }
  EXPECT_EQ(FieldTypeMinSize(dtBlob, 0), static_cast<int>(sizeof(void*)));
  EXPECT_EQ(FieldTypeMinSize(dtWideString, 10), 22);
  EXPECT_EQ(FieldTypeMinSize(dtVarBytes, 10), 12);
  EXPECT_EQ(FieldTypeMinSize(dtFMTBCD, 0), 34);
  EXPECT_EQ(FieldTypeMinSize(dtSQLTimeStamp, 0), 16);

  TCompareOptions opts{coCaseInsensitive, coInvertNullOrder};
  EXPECT_EQ(opts.Bits(), 1u | 16u);
  EXPECT_TRUE(opts.Contains(coInvertNullOrder));
  EXPECT_FALSE(opts.Contains(coPartialKey));
  opts.Exclude(coCaseInsensitive).Include(coPartialCompare);
  EXPECT_EQ(opts.Bits(), 4u | 16u);
  EXPECT_EQ(TLocateExOptions{lxPartialCompare}.Bits(), 32u);
  EXPECT_EQ(urSuspended, 6);
  EXPECT_EQ(clConnect, 8);
}

TEST(MemTypes, FindFieldTwoPassRule) {
  TFieldDescs descs;
  descs.Add(Desc("ID", "id_col"));
  descs.Add(Desc("id"));
  descs.Add(nullptr);  // nil entries are skipped
  TFieldDesc* parent = descs.Items(0);
  descs.Add(Desc("CITY", "", parent));
  descs.Add(Desc("NAME", "FULL_NAME"));
  descs.Add(Desc("city_top_level_actual", "City"));

  // ID and id: the comparison ignores case, so the first one wins.
  EXPECT_EQ(descs.FindField("Id"), descs.Items(0));
  EXPECT_EQ(descs.FindField("id"), descs.Items(0));
  // A child descriptor is found only in the second pass, where it comes
  // before a later descriptor whose ActualName matches.
  EXPECT_EQ(descs.FindField("city"), descs.Items(3));
  // ActualName matches in the second pass when no Name matched.
  EXPECT_EQ(descs.FindField("full_name"), descs.Items(4));
  EXPECT_EQ(descs.FindField("id_col"), descs.Items(0));
  EXPECT_EQ(descs.FindField("nothing"), nullptr);
  // Non-ASCII names fold case too.
  descs.Add(Desc("Straße_ÄÖÜ"));
  EXPECT_EQ(descs.FindField("straße_äöü"), descs.Items(6));
  EXPECT_FALSE(SameFieldName("a\xFF", "A\xFE"));
  EXPECT_TRUE(SameFieldName("a\xFF", "A\xFF"));

  try {
    descs.FieldByName("missing");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Field missing not found");
  }
  EXPECT_EQ(&descs.FieldByName("NAME"), descs.Items(4));
  EXPECT_THROW(descs.Items(7), EArgumentError);
  EXPECT_THROW(descs.Items(-1), EArgumentError);

  auto out = descs.Extract(4);
  EXPECT_EQ(out->Name(), "NAME");
  EXPECT_EQ(descs.Count(), 6);
  EXPECT_EQ(descs.IndexOf(out.get()), -1);
  descs.Delete(2);
  EXPECT_EQ(descs.Count(), 5);
}

TEST(MemTypes, AssignCopiesExactlyTheListedFields) {
  auto type = NewShared<TObjectType>("T");
  TFieldDesc parent;
  TFieldDesc src;
  src.SetName("N");
  src.SetActualName("A");
  src.SetDataType(dtString);
  src.SetSubDataType(7);
  src.SetLength(20);
  src.SetScale(2);
  src.SetSize(21);
  src.SetOffset(100);
  src.SetRequired(true);
  src.SetFieldNo(3);
  src.SetActualFieldNo(9);
  src.SetDataOffset(55);
  src.SetReadOnly(true);
  src.SetIsKey(true);
  src.SetFixed(true);
  src.SetHidden(true);
  src.SetObjectType(type.Get());
  src.SetParentField(&parent);
  src.SetHandle(&parent);
  src.SetFieldDescKind(fdkCalculated);
  src.SetIsAutoIncrement(true);

  TFieldDesc dst;
  dst.Assign(src);
  EXPECT_EQ(dst.Name(), "N");
  EXPECT_EQ(dst.ActualName(), "A");
  EXPECT_EQ(dst.DataType(), dtString);
  EXPECT_EQ(dst.SubDataType(), 7);
  EXPECT_EQ(dst.Length(), 20);
  EXPECT_EQ(dst.Scale(), 2);
  EXPECT_EQ(dst.Size(), 21);
  EXPECT_EQ(dst.Offset(), 100);
  EXPECT_TRUE(dst.Required());
  EXPECT_EQ(dst.FieldNo(), 3);
  // Not copied:
  EXPECT_EQ(dst.ActualFieldNo(), 0);
  EXPECT_EQ(dst.DataOffset(), 0);
  EXPECT_FALSE(dst.ReadOnly() || dst.IsKey() || dst.Fixed() || dst.Hidden() || dst.IsAutoIncrement());
  EXPECT_EQ(dst.ObjectType(), nullptr);
  EXPECT_FALSE(dst.HasParent());
  EXPECT_EQ(dst.Handle(), nullptr);
  EXPECT_EQ(dst.FieldDescKind(), fdkData);

  // The descriptor holds a counted reference to its type.
  EXPECT_EQ(type->RefCount(), 2);
  src.SetObjectType(nullptr);
  EXPECT_EQ(type->RefCount(), 1);
}

// Builds PERSON { NAME, ADDR: ADDRESS { CITY }, PHONES: array of PHONE { NUMBER } }.
TSharedRef<TObjectType> MakePerson() {
  auto address = NewShared<TObjectType>("ADDRESS");
  address->AddAttribute().SetName("City");
  address->Attributes(0).SetDataType(dtString);

  auto phone = NewShared<TObjectType>("PHONE");
  phone->AddAttribute().SetName("NUMBER");

  auto phones = NewShared<TObjectType>("PHONE_LIST", dtArray);
  TAttribute& element = phones->AddAttribute();
  element.SetName("ELEMENT");
  element.SetDataType(dtObject);
  element.SetObjectType(phone.Get());

  auto person = NewShared<TObjectType>("PERSON");
  person->AddAttribute().SetName("NAME");
  TAttribute& addr = person->AddAttribute();
  addr.SetName("Addr");
  addr.SetDataType(dtObject);
  addr.SetObjectType(address.Get());
  TAttribute& list = person->AddAttribute();
  list.SetName("PHONES");
  list.SetDataType(dtArray);
  list.SetObjectType(phones.Get());
  return person;
}

TEST(MemTypes, FindAttributeWalksPaths) {
  auto person = MakePerson();
  EXPECT_EQ(person->Attributes(2).AttributeNo(), 3);
  ASSERT_NE(person->FindAttribute("NAME"), nullptr);
  TAttribute* city = person->FindAttribute("addr.city");
  ASSERT_NE(city, nullptr);
  EXPECT_EQ(city->Name(), "City");
  EXPECT_EQ(person->FindAttribute("  ADDR.CITY"), city);

  TAttribute* number = person->FindAttribute("PHONES[2].NUMBER");
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number->Name(), "NUMBER");
  EXPECT_EQ(number->Owner()->Name(), "PHONE");
  TAttribute* element = person->FindAttribute("PHONES[1]");
  ASSERT_NE(element, nullptr);
  EXPECT_EQ(element->Name(), "ELEMENT");

  EXPECT_EQ(person->FindAttribute("PHONES[1"), nullptr);  // unclosed index
  EXPECT_EQ(person->FindAttribute("NAME.X"), nullptr);    // NAME is not structured
  EXPECT_EQ(person->FindAttribute("ADDR.ZIP"), nullptr);
  EXPECT_EQ(person->FindAttribute("ADDR."), nullptr);
  EXPECT_EQ(person->FindAttribute(""), nullptr);
  try {
    person->AttributeByName("ADDR.ZIP");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Attribute ADDR.ZIP not found");
  }
  EXPECT_THROW(person->Attributes(3), EArgumentError);
  person->ClearAttributes();
  EXPECT_EQ(person->AttributeCount(), 0);
}

TEST(MemTypes, SelfReferenceIsByIdentityNotByName) {
  {
    // NODE { NEXT: NODE } refers to itself: the attribute takes no count.
    auto node = NewShared<TObjectType>("NODE");
    TAttribute& next = node->AddAttribute();
    next.SetDataType(dtReference);
    next.SetObjectType(node.Get());
    EXPECT_EQ(node->RefCount(), 1);

    // Another type object with the same name is counted, so it stays alive
    // as long as the attribute uses it.
    auto other = NewShared<TObjectType>("NODE");
    TAttribute& foreign = node->AddAttribute();
    foreign.SetDataType(dtObject);
    foreign.SetObjectType(other.Get());
    EXPECT_EQ(other->RefCount(), 2);
    TObjectType* raw = other.Get();
    other.Reset();
    EXPECT_EQ(raw->RefCount(), 1);
    EXPECT_EQ(raw->Name(), "NODE");
    foreign.SetObjectType(nullptr);  // releases the last reference
  }  // NODE is freed here although it refers to itself (LeakSanitizer checks)
}

TEST(MemTypes, SharedValueHolders) {
  auto type = NewShared<TObjectType>("T");
  {
    TSharedRef<TDBObject> obj = NewShared<TDBObject>(type.Get());
    EXPECT_EQ(type->RefCount(), 2);
    EXPECT_THROW(obj->GetAttributeValue("X"), ENotSupportedError);
  }
  EXPECT_EQ(type->RefCount(), 1);
  TVariantObject holder(Variant(42));
  EXPECT_EQ(holder.Value().AsInt32(), 42);
  holder.SetValue(Variant("x"));
  EXPECT_EQ(holder.Value().VarType(), varString);
}

TEST(MemTypes, Guids) {
  TGUID g;
  ASSERT_TRUE(TryStrToGUID("{6f9619ff-8b86-d011-B42D-00C04FC964FF}", g));
  EXPECT_EQ(g.D1, 0x6F9619FFu);
  EXPECT_EQ(g.D2, 0x8B86);
  EXPECT_EQ(g.D3, 0xD011);
  EXPECT_EQ(g.D4[0], 0xB4);
  EXPECT_EQ(g.D4[7], 0xFF);
  EXPECT_EQ(GUIDToString(g), "{6F9619FF-8B86-D011-B42D-00C04FC964FF}");
  TGUID untouched = g;
  for (const char* bad : {"", "6F9619FF-8B86-D011-B42D-00C04FC964FF", "{6F9619FF-8B86-D011-B42D-00C04FC964F}",
                          "{6F9619FF-8B86-D011-B42D_00C04FC964FF}", "{6F9619FF-8B86-D011-B42D-00C04FC964FG}",
                          " {6F9619FF-8B86-D011-B42D-00C04FC964FF}"}) {
    EXPECT_FALSE(TryStrToGUID(bad, g)) << bad;
    EXPECT_EQ(g, untouched);
  }
}

TEST(MemTypes, DateExchangeForms) {
  EXPECT_EQ(DateFormatOf(dtDate), dfDate);
  EXPECT_EQ(DateFormatOf(dtTime), dfDateTimeMicros);
  EXPECT_EQ(DateFormatOf(dtDateTime), dfDateTimeMicros);

  // Slots hold micros; a misaligned slot, as inside a record.
  alignas(8) unsigned char buf[9];
  unsigned char* slot = buf + 1;
  const double dt = EncodeDateTime(2020, 5, 17, 12, 0, 0, 500);
  const std::int64_t micros = DateTimeToMicros(dt) + 250;  // and 250 microseconds
  std::memcpy(slot, &micros, 8);

  double ms = 0, days = 0;
  GetDateFromBuf(slot, &ms, dfMSecs);
  EXPECT_EQ(ms, TimeStampToMSecs(DateTimeToTimeStamp(dt)) + 0.25);
  GetDateFromBuf(slot, &days, dfDateTime);
  EXPECT_EQ(days, MicrosToDateTime(micros));
  std::int32_t t = 0, d = 0;
  GetDateFromBuf(slot, &t, dfTime);
  EXPECT_EQ(t, 12 * 3600000 + 500);
  GetDateFromBuf(slot, &d, dfDate);
  EXPECT_EQ(d, DateTimeToTimeStamp(dt).Date);
  std::int64_t exact = 0;
  GetDateFromBuf(slot, &exact, dfDateTimeMicros);
  EXPECT_EQ(exact, micros);

  std::int64_t back = 0;
  PutDateToBuf(&back, &ms, dfMSecs);  // the millisecond form keeps milliseconds
  EXPECT_EQ(back, micros - 250);
  PutDateToBuf(&back, &t, dfTime);  // a time lands on day 0
  EXPECT_EQ(back, DateTimeToMicros(EncodeTime(12, 0, 0, 500)));
  PutDateToBuf(&back, &d, dfDate);  // a date lands at midnight
  EXPECT_EQ(back, DateTimeToMicros(EncodeDate(2020, 5, 17)));
  PutDateToBuf(&back, &dt, dfDateTime);
  EXPECT_EQ(back, micros - 250);
  PutDateToBuf(&back, &micros, dfDateTimeMicros);
  EXPECT_EQ(back, micros);

  // Negative days keep their time of day in the millisecond form.
  const std::int64_t old = DateTimeToMicros(EncodeDateTime(1850, 1, 1, 18, 0, 0, 0));
  std::memcpy(slot, &old, 8);
  GetDateFromBuf(slot, &ms, dfMSecs);
  PutDateToBuf(&back, &ms, dfMSecs);
  EXPECT_EQ(back, old);

  const std::int32_t badDay = 0;
  EXPECT_THROW(PutDateToBuf(&back, &badDay, dfDate), EConvertError);
  const std::int64_t year10000 = DateTimeToMicros(EncodeDate(9999, 12, 31)) + USecsPerDay;
  EXPECT_THROW(PutDateToBuf(&back, &year10000, dfDateTimeMicros), EConvertError);
}

}  // namespace
}  // namespace lumo
