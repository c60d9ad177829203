#include "dns/DnsWire.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelpd::dns {
namespace {

std::vector<uint8_t> Header() { return std::vector<uint8_t>(12, 0); }

void Append(std::vector<uint8_t>& m, std::initializer_list<int> bytes) {
  for (int b : bytes) m.push_back(static_cast<uint8_t>(b));
}

int Expand(const std::vector<uint8_t>& m, size_t at, std::string* out, int size = 256) {
  std::vector<char> buf(static_cast<size_t>(size));
  int n = expand_name(m.data(), m.data() + m.size(), m.data() + at, buf.data(), size);
  if (n >= 0) *out = buf.data();
  return n;
}

TEST(ExpandName, LabelsAndPointers) {
  auto m = Header();
  Append(m, {4, 'm', 'a', 'i', 'l', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0});  // at 12
  Append(m, {3, 'm', 'x', '1', 0xc0, 12});                                      // at 26
  std::string out;
  EXPECT_EQ(Expand(m, 12, &out), 14);
  EXPECT_EQ(out, "mail.example");
  // The count ends with the first pointer.
  EXPECT_EQ(Expand(m, 26, &out), 6);
  EXPECT_EQ(out, "mx1.mail.example");
  // The root name.
  auto r = Header();
  Append(r, {0});
  EXPECT_EQ(Expand(r, 12, &out), 1);
  EXPECT_EQ(out, "");
}

TEST(ExpandName, EscapesDotsBackslashesAndControlBytes) {
  auto m = Header();
  Append(m, {5, 'a', '.', '\\', '\n', 0x1b, 0});
  std::string out;
  ASSERT_EQ(Expand(m, 12, &out), 7);
  EXPECT_EQ(out, "a\\.\\\\\\010\\027");
  for (char c : out) EXPECT_GE(static_cast<unsigned char>(c), 0x21);
}

TEST(ExpandName, RejectsHostileNames) {
  std::string out;
  // A pointer to itself and a two-pointer loop.
  auto self = Header();
  Append(self, {0xc0, 12});
  EXPECT_EQ(Expand(self, 12, &out), -1);
  auto loop = Header();
  Append(loop, {1, 'a', 0xc0, 16, 1, 'b', 0xc0, 12});
  EXPECT_EQ(Expand(loop, 12, &out), -1);
  // Label lengths 64..191 do not exist.
  for (int len : {64, 100, 191}) {
    auto m = Header();
    m.push_back(static_cast<uint8_t>(len));
    m.resize(m.size() + static_cast<size_t>(len) + 1, 'a');
    EXPECT_EQ(Expand(m, 12, &out), -1) << len;
  }
  // A pointer past the end, a label past the end, a name without its end.
  auto past = Header();
  Append(past, {0xc0, 200});
  EXPECT_EQ(Expand(past, 12, &out), -1);
  auto cut = Header();
  Append(cut, {10, 'a', 'b'});
  EXPECT_EQ(Expand(cut, 12, &out), -1);
  auto open = Header();
  Append(open, {1, 'a'});
  EXPECT_EQ(Expand(open, 12, &out), -1);
  auto half_pointer = Header();
  Append(half_pointer, {0xc0});
  EXPECT_EQ(Expand(half_pointer, 12, &out), -1);
}

TEST(ExpandName, FailsWhenOutputWouldReachItsSize) {
  auto m = Header();
  Append(m, {3, 'a', 'b', 'c', 0});
  std::string out;
  EXPECT_EQ(Expand(m, 12, &out, 4), 5);  // "abc" and its zero byte fit exactly
  EXPECT_EQ(Expand(m, 12, &out, 3), -1);
  auto esc = Header();
  Append(esc, {1, 1, 0});
  EXPECT_EQ(Expand(esc, 12, &out, 4), -1);  // \001 needs five bytes
  EXPECT_EQ(Expand(esc, 12, &out, 5), 3);
}

TEST(SkipName, StopsAtPointerOrZeroAndFailsAtEnd) {
  auto m = Header();
  Append(m, {1, 'a', 0xc0, 12, 0});
  EXPECT_EQ(skip_name(m.data() + 12, m.data() + m.size()), 4);
  EXPECT_EQ(skip_name(m.data() + 12, m.data() + 14), -1);  // ends before the pointer
  EXPECT_EQ(skip_name(m.data() + 12, m.data() + 15), -1);  // half a pointer
  uint8_t bad[] = {65, 'a'};
  EXPECT_EQ(skip_name(bad, bad + sizeof bad), -1);
  uint8_t past[] = {5, 'a', 0};
  EXPECT_EQ(skip_name(past, past + sizeof past), -1);
}

TEST(CompressName, WritesAndCompressesAgainstEarlierNames) {
  uint8_t msg[128] = {};
  CompressionTable table;
  table.message = msg;
  int n = compress_name("mail.Example.ORG.", msg + 12, 100, &table);
  ASSERT_EQ(n, 18);
  int m = compress_name("mx1.example.org", msg + 12 + n, 100, &table);
  ASSERT_EQ(m, 6);  // "mx1" and a pointer to example.org
  EXPECT_EQ(msg[12 + n + 4], 0xc0);
  EXPECT_EQ(msg[12 + n + 5], 17);
  std::string out;
  std::vector<uint8_t> v(msg, msg + 12 + n + m);
  EXPECT_EQ(Expand(v, 12u + static_cast<size_t>(n), &out), 6);
  EXPECT_EQ(out, "mx1.Example.ORG");
  // Escapes come back as the bytes they stand for.
  uint8_t buf[32];
  ASSERT_EQ(compress_name("a\\.b\\010", buf, sizeof buf, nullptr), 6);
  EXPECT_EQ(buf[0], 4);
  EXPECT_EQ(buf[2], '.');
  EXPECT_EQ(buf[4], 10);
}

TEST(CompressName, RejectsMalformedOrOversizedNames) {
  uint8_t buf[600];
  EXPECT_EQ(compress_name("a..b", buf, sizeof buf, nullptr), -1);
  EXPECT_EQ(compress_name(".a", buf, sizeof buf, nullptr), -1);
  EXPECT_EQ(compress_name((std::string(64, 'a') + ".org").c_str(), buf, sizeof buf, nullptr), -1);
  std::string long_name;
  for (int i = 0; i < 5; ++i) long_name += std::string(60, 'a') + ".";
  EXPECT_EQ(compress_name(long_name.c_str(), buf, sizeof buf, nullptr), -1);
  EXPECT_EQ(compress_name("example.org", buf, 5, nullptr), -1);
  EXPECT_EQ(compress_name(".", buf, sizeof buf, nullptr), 1);
}

TEST(DnsReader, ErrorIsSticky) {
  auto m = Header();
  Append(m, {0, 1, 0, 2});
  DnsReader r(m.data(), m.size());
  EXPECT_EQ(r.U16(), 1);
  EXPECT_EQ(r.U32(), 0u);  // only two bytes left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.U8(), 0);
  EXPECT_EQ(r.remaining(), 0u);
  EXPECT_TRUE(r.AtEnd());
  DnsReader short_message(m.data(), 11);
  EXPECT_FALSE(short_message.ok());
}

TEST(DnsReader, RecordDataMustBeInsideTheMessage) {
  auto m = Header();
  Append(m, {0, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3});
  DnsReader r(m.data(), m.size());
  r.SkipName();
  RecordHeader h = ReadRecordHeader(r);
  EXPECT_EQ(h.type, 1);
  EXPECT_FALSE(r.ok());
}

}  // namespace
}  // namespace kelpd::dns
