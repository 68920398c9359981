#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <lumokit/data/KxTypes.h>

namespace lumo {
namespace {

std::vector<std::string> KeysOf(const TIntValueStringList& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Keys(i));
  return v;
}

TEST(KeyedLists, SortedListKeepsOrderAndRejectsDuplicates) {
  TIntValueStringList l;
  l.SetSorted(true);
  EXPECT_EQ(l.Add("m", 1), 0);
  EXPECT_EQ(l.Add("c", 2), 0);
  EXPECT_EQ(l.Add("x", 3), 2);
  EXPECT_EQ(l.Add("M", 4), 0);  // ordinal: upper case sorts before lower case
  EXPECT_EQ(l.Add("\xC3\xA9", 5), 4);  // bytes >= 0x80 after ASCII
  EXPECT_EQ(KeysOf(l), (std::vector<std::string>{"M", "c", "m", "x", "\xC3\xA9"}));
  try {
    l.Add("m", 9);
    FAIL() << "no exception";
  } catch (const EKeyedListError& e) {
    EXPECT_STREQ(e.what(), "String \"m\" is already in the list.");
  }
  EXPECT_EQ(l.Count(), 5);
  EXPECT_EQ(l.IndexOf("m"), 2);
  EXPECT_EQ(l.Values(l.IndexOf("x")), 3);
  EXPECT_EQ(l.IndexOf("q"), -1);
  EXPECT_THROW(l.Insert(0, "a", 0), EKeyedListError);
  l.Delete(0);
  EXPECT_EQ(l.Keys(0), "c");
  EXPECT_THROW(l.Delete(4), EKeyedListError);
  EXPECT_THROW(l.Values(-1), EKeyedListError);
}

TEST(KeyedLists, UnsortedListAcceptsDuplicatesAndFindTakesTheFirst) {
  TStrValueStringList l;
  l.Add("b", "1");
  l.Add("a", "2");
  l.Add("b", "3");
  l.Add("a", "4");
  l.Insert(1, "c", "5");
  EXPECT_EQ(l.IndexOf("b"), 0);
  EXPECT_EQ(l.IndexOf("a"), 2);
  EXPECT_THROW(l.Insert(6, "z", ""), EKeyedListError);

  l.Sort();  // stable: equal keys keep their order
  ASSERT_TRUE(l.Sorted());
  EXPECT_EQ(l.Values(0), "2");
  EXPECT_EQ(l.Values(1), "4");
  int index = -1;
  EXPECT_TRUE(l.Find("b", index));
  EXPECT_EQ(index, 2);
  EXPECT_EQ(l.Values(index), "1");
  EXPECT_FALSE(l.Find("aa", index));
  EXPECT_EQ(index, 2);
  EXPECT_FALSE(l.Find("", index));
  EXPECT_EQ(index, 0);
  EXPECT_FALSE(l.Find("d", index));
  EXPECT_EQ(index, 5);

  // Assign adds item by item, so a sorted target rejects the duplicates.
  TStrValueStringList sorted;
  sorted.SetSorted(true);
  EXPECT_THROW(sorted.Assign(l), EKeyedListError);
  TStrValueStringList copy;
  copy.Add("old", "x");
  copy.Assign(l);
  EXPECT_EQ(copy.Count(), 5);
  EXPECT_EQ(copy.Keys(4), "c");
  EXPECT_FALSE(copy.Sorted());
  copy.Clear();
  EXPECT_EQ(copy.Count(), 0);
}

TEST(KeyedLists, FindAgreesWithALinearSearch) {
  std::mt19937 rng(5);
  TIntValueStringList l;
  for (int i = 0; i < 300; ++i) l.Add(std::string(1, static_cast<char>('a' + rng() % 20)) + static_cast<char>('a' + rng() % 3), i);
  l.Sort();
  for (char c = 'a' - 1; c <= 'a' + 21; ++c)
    for (const char* tail : {"", "a", "b", "c", "d"}) {
      std::string key = std::string(1, c) + tail;
      int index = -1;
      bool found = l.Find(key, index);
      int first = 0;
      while (first < l.Count() && l.Keys(first) < key) ++first;
      EXPECT_EQ(index, first) << key;
      EXPECT_EQ(found, first < l.Count() && l.Keys(first) == key) << key;
      EXPECT_EQ(l.IndexOf(key), found ? first : -1) << key;
    }
}

}  // namespace
}  // namespace lumo
