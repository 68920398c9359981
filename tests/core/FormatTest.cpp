#include <gtest/gtest.h>

#include <lumokit/core/Format.h>

namespace lumo {
namespace {

TEST(Format, SubstitutesTheMessageTemplatesOfTheSystem) {
  EXPECT_EQ(Format("Unknown host '%s'\r\nSocket Error Code: %d($%X)", {"nohost", 11001, 11001}),
            "Unknown host 'nohost'\r\nSocket Error Code: 11001($2AF9)");
  EXPECT_EQ(Format("%-.64s", {std::string(100, 'a')}), std::string(64, 'a'));
  EXPECT_EQ(Format("%1:s-%0:s-%s", {"a", "b"}), "b-a-b");
  EXPECT_EQ(Format("%5d|%-5d|%.3d", {42, 42, 7}), "   42|42   |007");
  EXPECT_EQ(Format("%x %X %u", {255, -1, -1}), "FF FFFFFFFF 4294967295");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%*d", {4, 1}), "   1");
}

TEST(Format, NeverThrowsAndNeverRescansSubstitutedText) {
  EXPECT_EQ(Format("%s and %s", {"one"}), "one and %s");
  EXPECT_EQ(Format("%s", {"%s %d %n"}), "%s %d %n");
  EXPECT_EQ(Format("trailing %", {1}), "trailing %");
  EXPECT_EQ(Format("%q", {1}), "%q");
  EXPECT_EQ(Format("%p", {"text"}), "%p");
  EXPECT_EQ(Format("%d", {"12"}), "12");
  EXPECT_EQ(Format("%99999:s", {"a"}), "%99999:s");
}

TEST(Format, FloatingPointForms) {
  EXPECT_EQ(Format("%.2f", {3.14159}), "3.14");
  EXPECT_EQ(Format("%g", {0.1}), "0.1");
  EXPECT_EQ(Format("%n", {1234567.5}), "1,234,567.50");
  EXPECT_EQ(Format("%s", {2.5}), "2.5");
}

}  // namespace
}  // namespace lumo
