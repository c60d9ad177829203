#include "mail/Encodings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/Bytes.h"

namespace {

using kelpd::testing::LibraryBase64;

std::string Bytes(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>((i * 131 + 7) & 0xFF);
  return s;
}

TEST(Base64Test, MatchesTheLibraryAndRoundTripsForEveryLengthUpTo200) {
  for (size_t len = 0; len <= 200; ++len) {
    const std::string in = Bytes(len);
    const std::string expected = LibraryBase64(in);
    const std::string flat = Base64EncodeBuffer(in.data(), static_cast<int64_t>(len), true);
    EXPECT_EQ(flat, expected) << len;
    std::string broken = Base64EncodeBuffer(in.data(), static_cast<int64_t>(len), false);
    // An LF after each 72 characters, none after a final partial group.
    const size_t lfs = static_cast<size_t>(std::count(broken.begin(), broken.end(), '\n'));
    EXPECT_EQ(lfs, len / 54) << len;
    for (size_t pos = 0; (pos = broken.find('\n', pos)) != std::string::npos; ++pos)
      EXPECT_EQ((pos + 1) % 73, 0u) << len;
    std::string stripped = broken;
    stripped.erase(std::remove(stripped.begin(), stripped.end(), '\n'), stripped.end());
    EXPECT_EQ(stripped, expected) << len;
    EXPECT_EQ(Base64Decode(broken), in) << len;
  }
}

TEST(Base64Test, GroupsPaddingAndTheStringForm) {
  EXPECT_EQ(Base64EncodeString("abc", false), "YWJj");
  EXPECT_EQ(Base64EncodeString("ab", false), "YWI=");
  EXPECT_EQ(Base64EncodeString("a", false), "YQ==");
  EXPECT_EQ(Base64EncodeString(nullptr, false), "");
  EXPECT_EQ(Base64EncodeBuffer("x", 0, false), "");
  EXPECT_EQ(Base64EncodeBuffer("x", -1, false), "");
  std::string with_zero("ab\0cd", 5);
  EXPECT_EQ(Base64EncodeString(with_zero.c_str(), true), "YWI=");
  const std::string encoded = Base64EncodeBuffer(Bytes(54).data(), 54, false);
  EXPECT_EQ(encoded.size(), 73u);
  EXPECT_EQ(encoded.back(), '\n');
  EXPECT_EQ(Base64EncodeBuffer(Bytes(54).data(), 54, true).size(), 72u);
}

TEST(Base64Test, DecodingSkipsWhiteSpaceAnywhereAndDropsAnIncompleteGroup) {
  EXPECT_EQ(Base64Decode("YW\r\nJj"), "abc");
  EXPECT_EQ(Base64Decode(" Y W J j \t"), "abc");
  EXPECT_EQ(Base64Decode("YWI=\nYQ=="), "aba");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Base64Decode("YWJjZ"), "abc");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Premature EOF while decoding Base64-String!\n");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Base64Decode("  \n"), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(Base64Test, BytesOutsideTheAlphabetCountAsZero) {
  // "*" and a byte above 0x7F (negative as plain char) both decode as 'A'.
  EXPECT_EQ(Base64Decode("*WJj"), Base64Decode("AWJj"));
  EXPECT_EQ(Base64Decode("\xFFWJj"), Base64Decode("AWJj"));
  EXPECT_EQ(Base64Decode("YW\x80j"), Base64Decode("YWAj"));
}

TEST(Base32Test, LowFiveBitsFirst) {
  EXPECT_EQ(Base32EncodeNumber(33, 2), "BB");
  EXPECT_EQ(Base32EncodeNumber(0, 2), "AA");
  EXPECT_EQ(Base32EncodeNumber(31, 1), "7");
  EXPECT_EQ(Base32EncodeNumber(1023, 2), "77");
  EXPECT_EQ(Base32EncodeNumber(32, 3), "ABA");
  EXPECT_EQ(Base32EncodeNumber(5, 0), "");
}

TEST(XtextTest, EncodesSpacePlusEqualsAndHighBytes) {
  EXPECT_EQ(XtextEncode(" "), "+20");
  EXPECT_EQ(XtextEncode("+"), "+2B");
  EXPECT_EQ(XtextEncode("\xE9"), "+E9");
  EXPECT_EQ(XtextEncode("a=b~!"), "a+3Db~!");
  EXPECT_EQ(XtextEncode("\x7F\x01"), "+7F+01");
  EXPECT_EQ(XtextEncode(static_cast<const char*>(nullptr)), "");
}

}  // namespace
