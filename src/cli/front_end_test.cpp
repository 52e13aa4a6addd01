#include "cli/front_end.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

TEST(FileKindTest, TakesTheLastThreeCharactersWithAsciiLettersUpperCased) {
  EXPECT_EQ(FileKind("board.hex"), "HEX");
  EXPECT_EQ(FileKind("IMAGE.Bin"), "BIN");
  EXPECT_EQ(FileKind("imagehex"), "HEX");
  EXPECT_EQ(FileKind("ab"), "AB");
  EXPECT_EQ(FileKind(""), "");
  EXPECT_EQ(FileKind("x.he "), "HE ");
  EXPECT_EQ(FileKind("x.h\xE9x"), "H\xE9X");
}

}  // namespace
}  // namespace kestrel
