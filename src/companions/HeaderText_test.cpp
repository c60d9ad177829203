#include "companions/HeaderText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelpd::companions {
namespace {

TEST(AddressList, SplitsOutsideQuotesCommentsAndBrackets) {
  EXPECT_EQ(SplitAddressList("\"Doe, John\" <John@Example.ORG>, b@y.example (Bee, B), <c@z>"),
            (std::vector<std::string>{"John@example.org", "b@y.example", "c@z"}));
  EXPECT_EQ(SplitAddressList("friends: a@x, b@y;, c@z"),
            (std::vector<std::string>{"a@x", "b@y", "c@z"}));
  EXPECT_TRUE(SplitAddressList("undisclosed-recipients:;").empty());
  EXPECT_TRUE(SplitAddressList(" , ,").empty());
}

TEST(QueuedForm, LineEndsDotsAndZeroBytes) {
  EXPECT_EQ(ToQueuedForm("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_EQ(ToQueuedForm(".\nx\n.\n"), "..\r\nx\r\n..\r\n");
  EXPECT_EQ(ToQueuedForm("x\n."), "x\r\n..\r\n");
  EXPECT_EQ(ToQueuedForm(std::string("a\0b\n", 4)), "ab\r\n");
  EXPECT_EQ(ToQueuedForm(""), "");
}

TEST(HeaderScan, StopsAtTheFirstLineThatIsNoHeader) {
  size_t body = 0;
  const std::string text = "Subject: one\r\n two\r\nTo: a@b\r\nHello there\r\n";
  const auto headers = ScanHeaderSection(text, &body);
  ASSERT_EQ(headers.size(), 2u);
  EXPECT_EQ(headers[0].value, "one two");
  EXPECT_EQ(text.substr(body), "Hello there\r\n");
  EXPECT_TRUE(ScanHeaderSection("Dear Bob: hello\r\n", &body).empty());
  EXPECT_EQ(body, 0u);
}

TEST(HeaderValue, FoldedAsciiStaysPlainEightBitIsEncoded) {
  EXPECT_EQ(EncodeHeaderValue("Auto: long\r\n\tsubject"), "Auto: long\tsubject");
  EXPECT_EQ(EncodeHeaderValue("Gr\xc3\xbc\xc3\x9f"
                              "e"),
            "=?UTF-8?B?R3LDvMOfZQ==?=");
  const std::string encoded = EncodeHeaderValue(std::string(50, '\xe4'));
  EXPECT_NE(encoded.find("?=\r\n\t=?UTF-8?B?"), std::string::npos);  // two words
  EXPECT_EQ(encoded.find('\xe4'), std::string::npos);
}
}  // namespace
}  // namespace kelpd::companions
