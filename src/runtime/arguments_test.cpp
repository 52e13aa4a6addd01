#include "runtime/arguments.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLineTest, SplitsAtBlanksTabsAndCarriageReturns) {
  EXPECT_EQ(SplitCommandLine("kestrel  a.hex\t001.234.567\r"),
            (Words{"kestrel", "a.hex", "001.234.567"}));
  EXPECT_EQ(SplitCommandLine("kestrel a\nb"), (Words{"kestrel", "a\nb"}))
      << "line feed is no separator";
  EXPECT_EQ(SplitCommandLine("   "), Words{});
}

TEST(SplitCommandLineTest, QuotesHoldBlanksAndAreDropped) {
  EXPECT_EQ(SplitCommandLine("k \"my image.hex\" 'x y'"),
            (Words{"k", "my image.hex", "x y"}));
  EXPECT_EQ(SplitCommandLine("k \"it's\" 'say \"hi\"'"),
            (Words{"k", "it's", "say \"hi\""}));
  EXPECT_EQ(SplitCommandLine("k \"unclosed arg"), (Words{"k", "unclosed arg"}));
  EXPECT_EQ(SplitCommandLine("k \"\" ''"), (Words{"k", "", ""}));
}

TEST(SplitCommandLineTest, ANextWordStartsRightAfterAClosingQuote) {
  EXPECT_EQ(SplitCommandLine("k \"ab\"cd"), (Words{"k", "ab", "cd"}));
  EXPECT_EQ(SplitCommandLine("k 'ab'\"cd\""), (Words{"k", "ab", "cd"}));
}

TEST(SplitCommandLineTest, QuotesInsideAWordAndBackslashesAreOrdinary) {
  EXPECT_EQ(SplitCommandLine("k ab\"cd ef\" C:\\dir\\\"x"),
            (Words{"k", "ab\"cd", "ef\"", "C:\\dir\\\"x"}));
}

TEST(ArgumentTableTest, HoldsTheProgramAndAtMost126Arguments) {
  SetArgumentTable(std::string(300, 'p'), {"a.hex", "001234567"});
  EXPECT_EQ(ArgumentCount(), 2);
  EXPECT_EQ(Argument(0), std::string(255, 'p'));
  EXPECT_EQ(Argument(2), "001234567");
  EXPECT_EQ(Argument(3), "");
  EXPECT_EQ(Argument(-1), "");

  SetArgumentTable("kestrel", Words(200, "x"));
  EXPECT_EQ(ArgumentCount(), 126);
}

}  // namespace
}  // namespace kestrel
