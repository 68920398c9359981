// Record store: the filter language, masks, IndexFieldNames and sorting.
#include <gtest/gtest.h>

#include <chrono>

#include <lumokit/core/CodePages.h>
#include <lumokit/data/MemDataFilter.h>
#include "data/MemDataTestUtil.h"

namespace lumo {
namespace {

using test::Append;
using test::Column;
using test::OpenData;

// ---- grammar ---------------------------------------------------------------------------

std::string Dump(const TExpressionNode* n) {
  static const char* kOps[] = {"=",   ">", "<", ">=",   "<=",    "<>",   "AND",     "OR",
                               "NOT", "",  "",  "TRUE", "FALSE", "LIKE", "NOT LIKE"};
  switch (n->NodeType) {
    case ntField:
      return n->FieldDesc->Name();
    case ntValue:
      return n->Value.IsNull() ? "null" : n->Value.IsText() ? "'" + VarToStr(n->Value) + "'" : VarToStr(n->Value);
    case ntTrue:
    case ntFalse:
      return kOps[n->NodeType];
    case ntNot:
      return "NOT(" + Dump(n->LeftOperand) + ")";
    default:
      return std::string(kOps[n->NodeType]) + "(" + Dump(n->LeftOperand) + ", " + Dump(n->RightOperand) + ")";
  }
}

class FilterGrammar : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"PRICE", "QTY", "NAME", "ORDER DATE", "A.B"}) {
      auto f = std::make_unique<TFieldDesc>();
      f->SetName(name);
      f->SetDataType(dtInt32);
      Fields.Add(std::move(f));
    }
  }
  std::string Parse(const std::string& text) {
    auto expr = TFilterExpression::Parse(text, [this](const std::string& n) { return Fields.FindField(n); });
    return expr ? Dump(expr->Root()) : "<none>";
  }
  TFieldDescs Fields;
};

TEST_F(FilterGrammar, Trees) {
  const struct {
    const char* Text;
    const char* Tree;
  } cases[] = {
      {"PRICE > 10 AND NOT (QTY IS NULL)", "AND(>(PRICE, 10), NOT(=(QTY, null)))"},
      {"price=1 OR qty=2 AND name='x'", "OR(=(PRICE, 1), AND(=(QTY, 2), =(NAME, 'x')))"},
      {"PRICE=1 AND QTY=2 AND NAME=3", "AND(AND(=(PRICE, 1), =(QTY, 2)), =(NAME, 3))"},
      {"NAME is not null", "<>(NAME, null)"},
      {"NAME not like 'a''b%'", "NOT LIKE(NAME, 'a'b%')"},
      {"[ORDER DATE] >= -2.5", ">=(ORDER DATE, -2.5)"},
      {"A.B <= +7", "<=(A.B, 7)"},
      {"TRUE", "TRUE"},
      {"TRUE = QTY", "=(True, QTY)"},
      {"not not false", "NOT(NOT(FALSE))"},
      {"   ", "<none>"},
      {"PRICE = 9223372036854775807", "=(PRICE, 9223372036854775807)"},
      {"PRICE = 1e3", "=(PRICE, 1000)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.Text), c.Tree) << c.Text;
}

TEST_F(FilterGrammar, Errors) {
  const struct {
    std::string Text;
    const char* Message;
  } cases[] = {
      {"PRICE >", "Illegal filter expression"},
      {"(PRICE = 1", "Illegal filter expression"},
      {"PRICE = 1 QTY", "Illegal filter expression"},
      {"NAME = 'open", "Illegal filter expression"},
      {"PRICE = = 1", "Illegal filter expression"},
      {"PRICE IS 5", "Illegal filter expression"},
      {"PRICE NOT = 5", "Illegal filter expression"},
      {"PRICE = \"x\"", "Illegal filter expression"},
      {"[PRICE = 1", "Illegal filter expression"},
      {"PRICE = 1 ;", "Illegal filter expression"},
      {"PRICE = - x", "Illegal filter expression"},
      {"FOO = 1", "Field FOO not found"},
      {"PRICE = 1 OR [NO SUCH] = 2", "Field NO SUCH not found"},
      {std::string(MaxFilterDepth + 1, '(') + "PRICE=1" + std::string(MaxFilterDepth + 1, ')'),
       "Illegal filter expression"},
      {std::string(100000, '('), "Illegal filter expression"},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.Text);
      ADD_FAILURE() << c.Text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.Message) << c.Text.substr(0, 40);
    }
  }
  EXPECT_NO_THROW(Parse(std::string(MaxFilterDepth, '(') + "PRICE=1" + std::string(MaxFilterDepth, ')')));
}

TEST(FilterMasks, Matching) {
  const struct {
    const char* Text;
    const char* Mask;
    bool Match;
  } cases[] = {
      {"Anna", "A*", true},
      {"anna", "A*", false},
      {"ABC", "_B%", true},
      {"AB", "_B%", true},
      {"B", "_B%", false},
      {"", "*", true},
      {"", "", true},
      {"x", "", false},
      {"abc", "a*c", true},
      {"abcbc", "a*bc", true},
      {"ab", "a*b*", true},
      {"a*c", "a*c", true},
      {"\xC3\xA9t\xC3\xA9", "_t_", true},
      {"mississippi", "m*iss*ppi", true},
      {"mississippi", "m*iss*pp", false},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchesMask(c.Text, c.Mask), c.Match) << c.Text << " / " << c.Mask;
  // Adversarial masks stay fast (no exponential back-tracking).
  const std::string text(20000, 'a');
  std::string mask;
  for (int i = 0; i < 200; ++i) mask += "*a";
  mask += "*b";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(MatchesMask(text, mask));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// ---- evaluation ----------------------------------------------------------------------------

class FilterRows : public ::testing::Test {
 protected:
  void SetUp() override {
    Data = OpenData({{"ID", dtInt32}, {"NAME", dtString, 10}, {"PRICE", dtFloat}, {"D", dtDate}});
    const char* names[] = {"Anna", "ABe", "bob", "A*", "Carl", nullptr};
    for (int i = 0; i < 6; ++i)
      Append(*Data, {Variant(i + 1), names[i] ? Variant(names[i]) : Variant(), i == 2 ? Variant() : Variant(1.5 * i),
                     Variant::FromDate(EncodeDate(2024, 1, i + 1))});
  }
  std::vector<std::string> Ids(const std::string& filter, bool ci = false, bool noPartial = false) {
    Data->SetFilterCaseInsensitive(ci);
    Data->SetFilterNoPartialCompare(noPartial);
    Data->SetFilterText(filter);
    Data->FilterUpdated();
    return Column(*Data, 1);
  }
  std::unique_ptr<TMemData> Data;
};

TEST_F(FilterRows, Evaluation) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Ids("NAME = 'A*'"), (V{"1", "2", "4"}));
  EXPECT_EQ(Ids("NAME = 'A*'", false, true), (V{"4"}));
  EXPECT_EQ(Ids("NAME LIKE '_B%'"), (V{"2"}));
  EXPECT_EQ(Ids("NAME LIKE '_b%'", true), (V{"2"}));
  EXPECT_EQ(Ids("NAME = 'bob'", true), (V{"3"}));
  EXPECT_EQ(Ids("NAME <> 'A*'"), (V{"3", "5", "6"}));  // null <> text holds
  EXPECT_EQ(Ids("NAME IS NULL"), (V{"6"}));
  EXPECT_EQ(Ids("PRICE > 3"), (V{"4", "5", "6"}));
  EXPECT_EQ(Ids("PRICE <= 3 OR PRICE IS NULL"), (V{"1", "2", "3"}));
  EXPECT_EQ(Ids("NOT (PRICE >= 1.5)"), (V{"1", "3"}));  // null >= x is false
  EXPECT_EQ(Ids("D >= '2024-01-05'"), (V{"5", "6"}));
  EXPECT_EQ(Ids("D = '2024-01-02' OR ID = 6"), (V{"2", "6"}));
  EXPECT_EQ(Ids("NAME > 5"), (V{})) << "a comparison that cannot be made fails the record";
  EXPECT_EQ(Ids("FALSE OR ID = 1"), (V{"1"}));
  EXPECT_EQ(Ids(""), (V{"1", "2", "3", "4", "5", "6"}));
  EXPECT_EQ(Data->GetRecordCount(), 6);
  SetFloatFilterDelta(0.2);
  EXPECT_EQ(Ids("PRICE = 4.4"), (V{"4"}));
  EXPECT_EQ(Ids("PRICE <> 4.5"), (V{"1", "2", "3", "5", "6"}));
  SetFloatFilterDelta(0);
  EXPECT_EQ(Ids("PRICE = 4.4"), (V{}));
  // A filter that does not parse leaves no expression behind.
  EXPECT_THROW(Ids("PRICE >"), Exception);
  EXPECT_EQ(Data->FilterExpression(), nullptr);
  Data->FilterUpdated();
  EXPECT_EQ(Column(*Data, 1).size(), 6u);
}

TEST_F(FilterRows, FilterFunctionsAndNumbers) {
  Data->SetFilterFunc([this](void* rec) { return Data->GetFieldAsVariant(1, rec).AsInt32() % 2 == 0; });
  EXPECT_EQ(Ids("ID > 2"), (std::vector<std::string>{"4", "6"}));
  EXPECT_EQ(Data->GetRecordCount(), 2);
  Data->SetRecordNo(2);
  EXPECT_EQ(Data->GetRecordNo(), 2);
  Data->SetFilterFunc(nullptr);
  EXPECT_EQ(Ids(""), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
}

// ---- IndexFieldNames and sorting -------------------------------------------------------

TEST(IndexFieldNames, Grammar) {
  TFieldDescs fields;
  for (const char* name : {"NAME", "ID", "MY FIELD", "'Q'", "7", "A.B"}) {
    auto f = std::make_unique<TFieldDesc>();
    f->SetName(name);
    fields.Add(std::move(f));
  }
  auto parse = [&](const std::string& text) {
    TSortColumns cols;
    ParseIndexFieldNames(
        text, [&](const std::string& n) { return fields.FindField(n); }, nullptr, cols);
    std::string out;
    for (const auto& c : cols)
      out += c->FieldDesc->Name() + (c->DescendingOrder ? "-" : "+") + std::to_string(int(c->SortType)) + ";";
    return out;
  };
  const struct {
    const char* Text;
    const char* Result;  // or the message
  } cases[] = {
      {"NAME DESC CIS; ID", "NAME-1;ID+0;"},
      {"name cis desc,id bin", "NAME-1;ID+2;"},
      {"[MY FIELD] asc cs", "MY FIELD+0;"},
      {"'Q'", "'Q'+0;"},
      {"\"NAME\"", "NAME+0;"},
      {"7", "7+0;"},
      {"A.B", "A.B+0;"},
      {"", ""},
      {"NAME DESC ASC", "Invalid IndexFieldNames format!"},
      {"NAME CIS BIN", "Invalid IndexFieldNames format!"},
      {"NAME UP", "Invalid IndexFieldNames format!"},
      {"NAME;", "Invalid IndexFieldNames format!"},
      {"NAME ID", "Invalid IndexFieldNames format!"},
      {"[NAME", "Invalid IndexFieldNames format!"},
      {"= NAME", "Invalid IndexFieldNames format!"},
      {"NAME; NOPE", "Field NOPE not found"},
  };
  for (const auto& c : cases) {
    std::string got;
    try {
      got = parse(c.Text);
    } catch (const Exception& e) {
      got = e.Message();
    }
    EXPECT_EQ(got, c.Result) << c.Text;
  }
}

TEST(MemDataSort, OrdersAndKeepsOrder) {
  auto data = OpenData({{"ID", dtInt32}, {"NAME", dtString, 10}, {"W", dtWideString, 10}, {"F", dtFloat}});
  const char* names[] = {"b", "A", "a", nullptr, "B", "c"};
  for (int i = 0; i < 6; ++i)
    Append(*data, {Variant(i + 1), names[i] ? Variant(names[i]) : Variant(),
                   names[i] ? Variant(Utf8ToUtf16(names[i])) : Variant(), Variant(i % 3 == 0 ? -0.5 : i * 1.0)});
  using V = std::vector<std::string>;
  data->SetIndexFieldNames("NAME DESC CIS; ID");
  EXPECT_EQ(Column(*data, 1), (V{"6", "1", "5", "2", "3", "4"}));
  data->SetIndexFieldNames("NAME");  // nulls first ascending; lower case first
  EXPECT_EQ(Column(*data, 1), (V{"4", "3", "2", "1", "5", "6"}));
  data->SetIndexFieldNames("W BIN");  // code units: upper case first
  EXPECT_EQ(Column(*data, 1), (V{"4", "2", "5", "3", "1", "6"}));
  data->SetIndexFieldNames("W DESC");  // nulls last descending
  EXPECT_EQ(Column(*data, 1), (V{"6", "5", "1", "2", "3", "4"}));
  data->SetIndexFieldNames("F; ID DESC");
  EXPECT_EQ(Column(*data, 1), (V{"4", "1", "2", "3", "5", "6"}));
  EXPECT_THROW(data->SetIndexFieldNames("F DESC ASC"), Exception);
  EXPECT_EQ(data->IndexFieldNames(), "F; ID DESC") << "a bad list leaves the old one";

  // Inserts and edits keep the order wherever they happen.
  data->SetIndexFieldNames("ID");
  data->SetRecordNo(2);
  TRecBuf buf = test::MakeRow(*data, {Variant(10), Variant("z")});
  data->InsertRecord(buf.get());
  EXPECT_EQ(data->GetRecordNo(), 7);
  EXPECT_EQ(Column(*data, 1), (V{"1", "2", "3", "4", "5", "6", "10"}));
  data->SetRecordNo(1);
  TRecBuf edit = data->AllocRecBuf();
  data->EditRecord(edit.get());
  data->PutFieldAsVariant(1, edit.get(), Variant(5));
  data->PostRecord(edit.get());
  EXPECT_EQ(Column(*data, 1), (V{"2", "3", "4", "5", "5", "6", "10"}));
  for (int i = 1; i <= 7; ++i) {
    data->SetRecordNo(i);
    EXPECT_EQ(data->GetRecordNo(), i);
  }
}

// Keys spread wider than 32 bits take the other radix path: the same
// order, ties in the order the rows were made or by the next column.
TEST(MemDataSort, KeysOfEveryWidthAndTies) {
  auto data = OpenData({{"ID", dtInt32}, {"K", dtInt64}, {"N", dtInt32}});
  const std::int64_t keys[] = {0, INT64_MAX, -1, INT64_MIN, 7, -1, 7, 0};
  for (int i = 0; i < 8; ++i) Append(*data, {Variant(i + 1), Variant(keys[i]), Variant(i % 2 ? 5 - i : i)});
  using V = std::vector<std::string>;
  data->SetIndexFieldNames("K");
  EXPECT_EQ(Column(*data, 1), (V{"4", "3", "6", "1", "8", "5", "7", "2"}));
  data->SetIndexFieldNames("K DESC");
  EXPECT_EQ(Column(*data, 1), (V{"2", "5", "7", "1", "8", "3", "6", "4"}));
  data->SetIndexFieldNames("K DESC; ID DESC");
  EXPECT_EQ(Column(*data, 1), (V{"2", "7", "5", "8", "1", "6", "3", "4"}));
  // Narrow keys with negative values and a tie-breaker.
  data->SetIndexFieldNames("N; ID DESC");  // N: 0 4 2 2 4 0 6 -2
  EXPECT_EQ(Column(*data, 1), (V{"8", "6", "1", "4", "3", "5", "2", "7"}));
}

TEST(MemDataSort, LargeSortedAndReversedInput) {
  auto data = OpenData({{"ID", dtInt32}, {"S", dtString, 8}});
  const int n = 200000;
  for (int i = 0; i < n; ++i) Append(*data, {Variant(i), Variant(std::to_string(n - i))});
  data->SetIndexFieldNames("ID DESC");
  data->SetRecordNo(1);
  TRecBuf buf = data->AllocRecBuf();
  data->GetRecord(buf.get());
  EXPECT_EQ(data->GetFieldAsVariant(1, buf.get()).AsInt32(), n - 1);
  data->SetIndexFieldNames("S BIN");
  data->SetRecordNo(n);
  data->GetRecord(buf.get());
  EXPECT_EQ(data->GetFieldAsVariant(2, buf.get()).AsString(), "99999");
}

}  // namespace
}  // namespace lumo
