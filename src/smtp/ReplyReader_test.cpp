#include "smtp/ReplyReader.h"

#include <gtest/gtest.h>

#include <string>

namespace kelpd::smtp {
namespace {

ReplyReader::Status FeedAll(ReplyReader& r, const std::string& bytes) {
  return r.Feed(bytes.data(), bytes.size());
}

TEST(ReplyReader, MultiLineReplySplitInsideALineIsJoinedAndKeptWhole) {
  ReplyReader r;
  r.Begin();
  EXPECT_EQ(FeedAll(r, "250-mail.example\r\n250-STAR"), ReplyReader::Status::kNeedMore);
  EXPECT_EQ(FeedAll(r, "TTLS\r\n250-AUTH PLAIN\r\n"), ReplyReader::Status::kNeedMore);
  EXPECT_EQ(FeedAll(r, "250 SIZE 1000\r\n"), ReplyReader::Status::kComplete);
  EXPECT_EQ(r.code(), 250);
  EXPECT_EQ(r.reply(), "250-mail.example\n250-STARTTLS\n250-AUTH PLAIN\n250 SIZE 1000\n");
  EXPECT_EQ(r.last_line(), "250 SIZE 1000\n");
}

TEST(ReplyReader, LoneCrOrLfEndLinesAndEmptyLinesAreSkipped) {
  ReplyReader r;
  r.Begin();
  EXPECT_EQ(FeedAll(r, "\n\r220-a\r220 b\n"), ReplyReader::Status::kComplete);
  EXPECT_EQ(r.reply(), "220-a\n220 b\n");
}

TEST(ReplyReader, ShortLinesAreLastLines) {
  ReplyReader r;
  r.Begin();
  EXPECT_EQ(FeedAll(r, "250\r\n"), ReplyReader::Status::kComplete);
  EXPECT_EQ(r.code(), 250);
  r.Begin();
  EXPECT_EQ(FeedAll(r, "25\r\n"), ReplyReader::Status::kComplete);
  EXPECT_EQ(r.code(), 25);
}

TEST(ReplyReader, TextWithoutLeadingNumberIsNotAReply) {
  ReplyReader r;
  r.Begin();
  EXPECT_EQ(FeedAll(r, "hello there\r\n"), ReplyReader::Status::kNeedMore);
  EXPECT_EQ(r.code(), 0);
}

TEST(ReplyReader, BeginForgetsThePreviousReply) {
  ReplyReader r;
  r.Begin();
  FeedAll(r, "250-a\r\n250 b\r\n");
  r.Begin();
  EXPECT_EQ(FeedAll(r, "354 go on\r\n"), ReplyReader::Status::kComplete);
  EXPECT_EQ(r.reply(), "354 go on\n");
}

TEST(ReplyReader, EndlessLineIsCut) {
  ReplyReader r;
  r.Begin();
  std::string chunk(1000, 'x');
  ReplyReader::Status s = ReplyReader::Status::kNeedMore;
  for (int i = 0; i < 10 && s == ReplyReader::Status::kNeedMore; ++i) s = FeedAll(r, chunk);
  EXPECT_EQ(s, ReplyReader::Status::kTooLong);
}

TEST(ReplyReader, EndlessContinuationLinesAreCut) {
  ReplyReader r;
  r.Begin();
  ReplyReader::Status s = ReplyReader::Status::kNeedMore;
  for (int i = 0; i < 2000 && s == ReplyReader::Status::kNeedMore; ++i) s = FeedAll(r, "250-x\r\n");
  EXPECT_EQ(s, ReplyReader::Status::kTooLong);
}

// Empty lines make no text but count toward the bounds all the same.
TEST(ReplyReader, EndlessEmptyLinesAreCut) {
  ReplyReader r;
  r.Begin();
  ReplyReader::Status s = ReplyReader::Status::kNeedMore;
  for (int i = 0; i < 2000 && s == ReplyReader::Status::kNeedMore; ++i) s = FeedAll(r, "\r\n");
  EXPECT_EQ(s, ReplyReader::Status::kTooLong);
}

TEST(ReplyReader, HugeCodeSaturates) {
  EXPECT_EQ(LeadingReplyCode("99999999999999999999 x"), 999999);
  EXPECT_EQ(LeadingReplyCode("x250"), 0);
}

}  // namespace
}  // namespace kelpd::smtp
