// The DNS wire format (RFC 1035) as the built-in resolver reads and writes it:
// header fields, name expansion and compression, and a bounds-checked reader
// for answers. Every answer is hostile input: each read is checked against the
// bytes received, and a reader that failed once stays failed. Thread-safe:
// pure functions; a DnsReader belongs to one caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/IpAddress.h"

namespace kelpd::dns {

constexpr int kHeaderSize = 12;
constexpr int kQuestionFixedSize = 4;
constexpr int kRecordFixedSize = 10;
constexpr int kMaxPacket = 512;  // the answer size of the MX lookup
constexpr int kMaxName = 1025;   // room for an expanded name with escapes

constexpr int kClassIn = 1;
constexpr int kTypeA = 1;
constexpr int kTypeCname = 5;
constexpr int kTypeMx = 15;
constexpr int kTypeTxt = 16;
constexpr int kTypeAaaa = 28;
constexpr int kTypeAny = 255;

constexpr int kRcodeNoError = 0;
constexpr int kRcodeServerFailure = 2;
constexpr int kRcodeNameError = 3;

// Header fields of a message of at least kHeaderSize bytes.
inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline uint16_t HeaderId(const uint8_t* m) { return Get16(m); }
inline bool HeaderIsResponse(const uint8_t* m) { return (m[2] & 0x80) != 0; }
inline bool HeaderTruncated(const uint8_t* m) { return (m[2] & 0x02) != 0; }
inline void SetHeaderTruncated(uint8_t* m) { m[2] |= 0x02; }
inline int HeaderRcode(const uint8_t* m) { return m[3] & 0x0f; }
inline uint16_t HeaderQdcount(const uint8_t* m) { return Get16(m + 4); }
inline uint16_t HeaderAncount(const uint8_t* m) { return Get16(m + 6); }

// Expands the compressed name at comp of the message [msg, eom) into out
// (outSize bytes, always zero-terminated on success). Labels are joined by
// dots; a dot or backslash inside a label is written with a backslash before
// it, and any byte outside the printable ASCII range (space and control bytes
// included) as \DDD, so that no name taken from an answer carries control
// bytes further. Returns the bytes the name occupies at comp (up to and
// including the first pointer or the final zero byte), or -1: output would
// reach outSize, the name runs past eom, a pointer leads outside the message,
// pointers loop, or a label length is 64..191.
int expand_name(const uint8_t* msg, const uint8_t* eom, const uint8_t* comp, char* out,
                int outSize);

// The bytes the name at comp occupies, without following pointers; -1 on a
// label length of 64..191 or when the name runs to or past eom.
int skip_name(const uint8_t* comp, const uint8_t* eom);

// Names written so far into one message, for compression.
struct CompressionTable {
  const uint8_t* message = nullptr;                        // start of the message being written
  std::vector<std::pair<std::string, uint16_t>> suffixes;  // wire form, lower case -> offset
};

// Writes name (text form; "\." and "\DDD" escapes accepted; a trailing dot
// optional) into out in wire form, pointing to a suffix already in table when
// there is one and recording the new suffixes. table may be null (no
// compression). Returns the bytes written, or -1 when the name is malformed
// (empty inner label, label above 63 bytes, above 255 bytes in all) or does
// not fit into outSize.
int compress_name(const char* name, uint8_t* out, int outSize, CompressionTable* table);

// A cursor over a received message with a sticky error: every read checks the
// bytes left, and after the first failure every read returns zero and ok()
// stays false.
class DnsReader {
 public:
  // A message shorter than a header fails at once.
  DnsReader(const uint8_t* msg, size_t len) : msg_(msg), len_(len), ok_(len >= kHeaderSize) {}

  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  void Skip(size_t n);
  void SkipName();
  // Expands the name at the cursor (see expand_name) and moves past it.
  std::string Name();
  // Skips qdcount questions.
  void SkipQuestions(int qdcount);

  bool ok() const { return ok_; }
  void Fail() { ok_ = false; }
  size_t pos() const { return pos_; }
  size_t remaining() const { return ok_ ? len_ - pos_ : 0; }
  bool AtEnd() const { return !ok_ || pos_ >= len_; }
  void Seek(size_t pos) {
    if (pos > len_) ok_ = false;
    if (ok_) pos_ = pos;
  }
  const uint8_t* message() const { return msg_; }
  size_t size() const { return len_; }

 private:
  bool Need(size_t n);

  const uint8_t* msg_;
  size_t len_;
  bool ok_;
  size_t pos_ = kHeaderSize;  // readers start after the header
};

// The fixed part of a resource record, read after its owner name.
struct RecordHeader {
  uint16_t type = 0;
  uint16_t cls = 0;
  uint32_t ttl = 0;
  uint16_t rdlength = 0;
  size_t rdata = 0;  // offset of the record data
};

// Reads the fixed part after the owner name; fails the reader when the
// announced data runs past the message.
RecordHeader ReadRecordHeader(DnsReader& r);

// The address of an A record (exactly 4 bytes of data) or an AAAA record
// (exactly 16) of the message [msg, msg + len) whose fixed part is h;
// nothing for any other type or length, or data outside the message.
std::optional<platform::IpAddress> AddressOfRecord(const uint8_t* msg, size_t len,
                                                   const RecordHeader& h);

// A text with every byte outside printable ASCII replaced by '?', for log
// lines and messages that show names from outside.
std::string Printable(const std::string& text);

}  // namespace kelpd::dns
