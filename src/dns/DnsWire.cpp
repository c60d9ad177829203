#include "dns/DnsWire.h"

#include <cstring>

#include "base/Text.h"

namespace kelpd::dns {

int expand_name(const uint8_t* msg, const uint8_t* eom, const uint8_t* comp, char* out,
                int outSize) {
  if (msg == nullptr || comp < msg || comp >= eom || outSize <= 0) return -1;
  const long msg_len = eom - msg;
  const uint8_t* cp = comp;
  char* dn = out;
  char* const eob = out + outSize;
  long checked = 0;
  int len = -1;
  for (;;) {
    if (cp >= eom) return -1;
    unsigned n = *cp++;
    if ((n & 0xc0) == 0) {
      if (n == 0) break;
      if (n > static_cast<unsigned>(eom - cp)) return -1;
      if (dn != out) {
        if (eob - dn <= 1) return -1;
        *dn++ = '.';
      }
      checked += n + 1;
      for (unsigned i = 0; i < n; ++i) {
        uint8_t c = *cp++;
        // Room for the bytes of this character and the final zero byte.
        if (c == '.' || c == '\\') {
          if (eob - dn <= 2) return -1;
          *dn++ = '\\';
          *dn++ = static_cast<char>(c);
        } else if (c <= 0x20 || c >= 0x7f) {
          // Control and 8-bit bytes would reach log lines and SMTP commands.
          if (eob - dn <= 4) return -1;
          *dn++ = '\\';
          *dn++ = static_cast<char>('0' + c / 100);
          *dn++ = static_cast<char>('0' + c / 10 % 10);
          *dn++ = static_cast<char>('0' + c % 10);
        } else {
          if (eob - dn <= 1) return -1;
          *dn++ = static_cast<char>(c);
        }
      }
    } else if ((n & 0xc0) == 0xc0) {
      if (cp >= eom) return -1;
      if (len < 0) len = static_cast<int>(cp - comp + 1);
      long offset = static_cast<long>(((n & 0x3f) << 8) | *cp);
      if (offset >= msg_len) return -1;
      cp = msg + offset;
      // Every byte examined twice means the pointers go round in a loop.
      checked += 2;
      if (checked >= msg_len) return -1;
    } else {
      return -1;  // label types 64..191 do not exist
    }
  }
  *dn = '\0';
  if (len < 0) len = static_cast<int>(cp - comp);
  return len;
}

int skip_name(const uint8_t* comp, const uint8_t* eom) {
  const uint8_t* cp = comp;
  while (cp < eom) {
    unsigned n = *cp++;
    if ((n & 0xc0) == 0) {
      if (n == 0) return static_cast<int>(cp - comp);
      if (n > static_cast<unsigned>(eom - cp)) return -1;
      cp += n;
    } else if ((n & 0xc0) == 0xc0) {
      if (cp >= eom) return -1;
      return static_cast<int>(cp + 1 - comp);
    } else {
      return -1;
    }
  }
  return -1;
}

namespace {

// Splits a text name into its labels; false when it is malformed.
bool ParseLabels(const char* name, std::vector<std::string>* labels) {
  std::string label;
  const char* p = name;
  if (p[0] == '.' && p[1] == '\0') return true;  // the root
  while (*p != '\0') {
    char c = *p++;
    if (c == '.') {
      if (label.empty()) return false;
      labels->push_back(std::move(label));
      label.clear();
      continue;
    }
    if (c == '\\') {
      if (*p == '\0') return false;
      if (text::IsDigit(static_cast<unsigned char>(p[0])) &&
          text::IsDigit(static_cast<unsigned char>(p[1])) &&
          text::IsDigit(static_cast<unsigned char>(p[2]))) {
        int v = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
        if (v > 255) return false;
        c = static_cast<char>(v);
        p += 3;
      } else {
        c = *p++;
      }
    }
    label.push_back(c);
    if (label.size() > 63) return false;
  }
  if (!label.empty()) labels->push_back(std::move(label));
  size_t total = 1;
  for (const auto& l : *labels) total += l.size() + 1;
  return total <= 255;
}

}  // namespace

int compress_name(const char* name, uint8_t* out, int outSize, CompressionTable* table) {
  std::vector<std::string> labels;
  if (name == nullptr || outSize <= 0 || !ParseLabels(name, &labels)) return -1;
  int pos = 0;
  for (size_t i = 0; i < labels.size(); ++i) {
    std::string key;
    for (size_t j = i; j < labels.size(); ++j) {
      key.push_back(static_cast<char>(labels[j].size()));
      for (char c : labels[j]) key.push_back(text::ToLower(c));
    }
    if (table != nullptr) {
      bool found = false;
      for (const auto& [suffix, offset] : table->suffixes) {
        if (suffix != key) continue;
        if (pos + 2 > outSize) return -1;
        Put16(out + pos, static_cast<uint16_t>(0xc000 | offset));
        pos += 2;
        found = true;
        break;
      }
      if (found) return pos;
      if (table->message != nullptr) {
        long at = (out - table->message) + pos;
        // Pointers reach only the first 16 KiB of a message.
        if (at >= 0 && at < 0x4000)
          table->suffixes.emplace_back(std::move(key), static_cast<uint16_t>(at));
      }
    }
    const std::string& l = labels[i];
    if (pos + 1 + static_cast<int>(l.size()) > outSize) return -1;
    out[pos++] = static_cast<uint8_t>(l.size());
    for (char c : l) out[pos++] = static_cast<uint8_t>(c);
  }
  if (pos + 1 > outSize) return -1;
  out[pos++] = 0;
  return pos;
}

bool DnsReader::Need(size_t n) {
  if (!ok_ || n > len_ - pos_) {
    ok_ = false;
    return false;
  }
  return true;
}

uint8_t DnsReader::U8() {
  if (!Need(1)) return 0;
  return msg_[pos_++];
}

uint16_t DnsReader::U16() {
  if (!Need(2)) return 0;
  uint16_t v = Get16(msg_ + pos_);
  pos_ += 2;
  return v;
}

uint32_t DnsReader::U32() {
  if (!Need(4)) return 0;
  uint32_t v = (static_cast<uint32_t>(Get16(msg_ + pos_)) << 16) | Get16(msg_ + pos_ + 2);
  pos_ += 4;
  return v;
}

void DnsReader::Skip(size_t n) {
  if (Need(n)) pos_ += n;
}

void DnsReader::SkipName() {
  if (!ok_) return;
  int n = skip_name(msg_ + pos_, msg_ + len_);
  if (n < 0) {
    ok_ = false;
    return;
  }
  pos_ += static_cast<size_t>(n);
}

std::string DnsReader::Name() {
  if (!ok_) return std::string();
  char buf[kMaxName];
  int n = expand_name(msg_, msg_ + len_, msg_ + pos_, buf, sizeof buf);
  if (n < 0) {
    ok_ = false;
    return std::string();
  }
  pos_ += static_cast<size_t>(n);
  return buf;
}

void DnsReader::SkipQuestions(int qdcount) {
  for (int i = 0; i < qdcount && ok_; ++i) {
    SkipName();
    Skip(kQuestionFixedSize);
  }
}

RecordHeader ReadRecordHeader(DnsReader& r) {
  RecordHeader h;
  h.type = r.U16();
  h.cls = r.U16();
  h.ttl = r.U32();
  h.rdlength = r.U16();
  h.rdata = r.pos();
  // The announced data must be inside the message.
  if (r.remaining() < h.rdlength) r.Fail();
  return h;
}

std::optional<platform::IpAddress> AddressOfRecord(const uint8_t* msg, size_t len,
                                                   const RecordHeader& h) {
  size_t size = 0;
  platform::IpAddress address;
  if (h.type == kTypeA) {
    size = 4;
  } else if (h.type == kTypeAaaa) {
    size = 16;
    address.family = platform::kAddressFamilyIPv6;
  }
  if (size == 0 || h.rdlength != size || h.rdata > len || len - h.rdata < size) return std::nullopt;
  std::memcpy(address.bytes.data(), msg + h.rdata, size);
  return address;
}

std::string Printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7f) c = '?';
  }
  return out;
}

}  // namespace kelpd::dns
