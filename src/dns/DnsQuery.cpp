#include "dns/DnsQuery.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/Text.h"
#include "dns/DnsWire.h"
#include "dns/ResolverState.h"
#include "platform/DnsTransport.h"
#include "platform/StopSignal.h"

namespace kelpd::dns {

namespace {

using platform::DnsIo;
using platform::Ipv4Endpoint;

constexpr int kSocketErrorBase = 10000;

int MillisPerSecond() {
  int ms = GetResolverTestSettings().millis_per_second;
  return ms > 0 ? ms : 1000;
}

bool StopRequested() {
  platform::StopSignal* stop = platform::CurrentStopSignal();
  return stop != nullptr && stop->IsRaised();
}

// The question of a message: name (lower case), type and class.
struct Question {
  std::string name;
  uint16_t type = 0;
  uint16_t cls = 0;
};

bool ReadOnlyQuestion(const uint8_t* msg, int len, Question* q) {
  if (len < kHeaderSize || HeaderQdcount(msg) != 1) return false;
  DnsReader r(msg, static_cast<size_t>(len));
  q->name = text::ToLowerCopy(r.Name());
  q->type = r.U16();
  q->cls = r.U16();
  return r.ok();
}

// Outcome of one TCP exchange with a server.
struct TcpOutcome {
  int length = -1;  // answer length, -1 on failure
  int error = 0;    // socket error of the failed step, 0 when none was recorded
  bool reset_at_length = false;
};

TcpOutcome TcpExchange(const Ipv4Endpoint& server, const uint8_t* query, int query_len,
                       uint8_t* answer, int answer_size) {
  TcpOutcome out;
  const int unit = MillisPerSecond();
  const int io_ms = kTcpIoSeconds * unit;
  int error = 0;
  platform::UniqueFd fd = platform::OpenDnsTcpSocket(&error);
  if (!fd.valid()) {
    out.error = error;
    return out;
  }
  if ((error = platform::DnsConnect(fd.get(), server, kTcpConnectSeconds * unit)) != 0) {
    out.error = error;
    return out;
  }
  uint8_t len_bytes[2];
  Put16(len_bytes, static_cast<uint16_t>(query_len));
  DnsIo io = platform::DnsSendAll(fd.get(), len_bytes, 2, io_ms);
  if (io.ok()) io = platform::DnsSendAll(fd.get(), query, static_cast<size_t>(query_len), io_ms);
  if (!io.ok()) {
    out.error = io.error;
    return out;
  }
  io = platform::DnsRecvAll(fd.get(), len_bytes, 2, io_ms);
  if (!io.ok()) {
    out.error = io.error;
    out.reset_at_length = io.error == 10054;
    return out;
  }
  int announced = Get16(len_bytes);
  int keep = announced > answer_size ? answer_size : announced;
  io = platform::DnsRecvAll(fd.get(), answer, static_cast<size_t>(keep), io_ms);
  if (!io.ok()) {
    out.error = io.error;
    return out;
  }
  if (announced > answer_size) {
    // The rest is read and dropped so the server sees its answer taken.
    uint8_t junk[512];
    int left = announced - answer_size;
    while (left > 0) {
      int piece = left > static_cast<int>(sizeof junk) ? static_cast<int>(sizeof junk) : left;
      io = platform::DnsRecvAll(fd.get(), junk, static_cast<size_t>(piece), io_ms);
      if (!io.ok()) {
        out.error = io.error;
        return out;
      }
      left -= piece;
    }
    if (keep >= kHeaderSize) SetHeaderTruncated(answer);
  }
  // Not an answer to this query: no header, no response flag, another
  // identifier or another question.
  if (keep < kHeaderSize || !HeaderIsResponse(answer) || HeaderId(answer) != HeaderId(query) ||
      !QuestionMatches(query, query_len, answer, keep))
    return out;
  out.length = keep;
  return out;
}

}  // namespace

int UdpWaitSeconds(int retransmit_seconds, int attempt, int server_count) {
  long t = static_cast<long>(retransmit_seconds) << attempt;
  if (attempt > 0 && server_count > 0) t /= server_count;
  return t <= 0 ? 2 : static_cast<int>(t);
}

bool QuestionMatches(const uint8_t* query, int queryLen, const uint8_t* answer, int answerLen) {
  Question q, a;
  if (!ReadOnlyQuestion(query, queryLen, &q) || !ReadOnlyQuestion(answer, answerLen, &a))
    return false;
  return q.name == a.name && q.type == a.type && q.cls == a.cls;
}

int res_mkquery(int opcode, const char* name, int cls, int type, const uint8_t* data, int dataLen,
                uint8_t* buffer, int bufferSize) {
  (void)data;
  (void)dataLen;
  ResolverState* st = InitializedResolverState();
  if (st == nullptr || opcode != 0 || name == nullptr || buffer == nullptr ||
      bufferSize < kHeaderSize)
    return -1;
  std::memset(buffer, 0, kHeaderSize);
  uint16_t id = 0;
  // A fresh unpredictable identifier for every query, so that a forged
  // answer must guess it.
  if (!platform::RandomBytes(&id, sizeof id))
    id = static_cast<uint16_t>(st->query_id * 31421u + 6927u);
  st->query_id = id;
  Put16(buffer, id);
  if (st->options & OPT_RECURSE) buffer[2] |= 0x01;
  // The name must leave room for type and class within the buffer.
  if (bufferSize < kHeaderSize + kQuestionFixedSize) return -1;
  CompressionTable table;
  table.message = buffer;
  int n = compress_name(name, buffer + kHeaderSize, bufferSize - kHeaderSize - kQuestionFixedSize,
                        &table);
  if (n < 0) return -1;
  uint8_t* cp = buffer + kHeaderSize + n;
  Put16(cp, static_cast<uint16_t>(type));
  Put16(cp + 2, static_cast<uint16_t>(cls));
  Put16(buffer + 4, 1);
  return kHeaderSize + n + kQuestionFixedSize;
}

int res_send(const uint8_t* query, int queryLen, uint8_t* answer, int answerSize) {
  ResolverState* st = InitializedResolverState();
  if (st == nullptr) return -1;
  st->send_error = 0;
  if (query == nullptr || answer == nullptr || queryLen < kHeaderSize || queryLen > 0xffff ||
      answerSize < kHeaderSize) {
    st->send_error = 10022;  // WSAEINVAL
    return -1;
  }
  if (StopRequested()) {
    st->send_error = platform::kDnsStopped;
    return -1;
  }
  const int unit = MillisPerSecond();
  bool use_tcp = queryLen > kMaxUdpQuery;
  bool datagram_arrived = false;
  bool reset_retried = false;
  int tcp_reason = 0;
  auto finish = [&](int result, int reason) {
    st->query_socket.Reset();
    if (result < 0) st->send_error = reason;
    return result;
  };

  for (int attempt = 0; attempt < st->retry_count; ++attempt) {
    for (int ns = 0; ns < st->server_count; ++ns) {
      const Ipv4Endpoint server = st->servers[static_cast<size_t>(ns)];
      if (use_tcp) {
        st->query_socket.Reset();
        TcpOutcome t = TcpExchange(server, query, queryLen, answer, answerSize);
        if (t.length >= 0) return finish(t.length, 0);
        if (t.error == platform::kDnsStopped) return finish(-1, platform::kDnsStopped);
        if (t.error != 0) tcp_reason = t.error - kSocketErrorBase;
        if (t.reset_at_length && !reset_retried) {
          reset_retried = true;
          --ns;  // the same server once more
        }
        continue;
      }

      if (!st->query_socket.valid()) {
        int error = 0;
        st->query_socket = platform::OpenDnsUdpSocket(&error);
        if (!st->query_socket.valid()) continue;
      }
      DnsIo sent =
          platform::DnsSendTo(st->query_socket.get(), query, static_cast<size_t>(queryLen), server);
      if (sent.error == platform::kDnsStopped) return finish(-1, platform::kDnsStopped);
      if (!sent.ok() || sent.bytes != queryLen) continue;

      const int64_t deadline =
          platform::MonotonicMillis() +
          static_cast<int64_t>(UdpWaitSeconds(st->retransmit_seconds, attempt, st->server_count)) *
              unit;
      bool truncated = false;
      for (;;) {
        int64_t left = deadline - platform::MonotonicMillis();
        if (left < 0) left = 0;
        Ipv4Endpoint from;
        DnsIo got =
            platform::DnsRecvFrom(st->query_socket.get(), answer, static_cast<size_t>(answerSize),
                                  &from, static_cast<int>(left));
        if (got.error == platform::kDnsStopped) return finish(-1, platform::kDnsStopped);
        if (!got.ok()) break;  // time-out or failed receive: the next server
        // Only the server asked may answer; anything else is dropped and the
        // wait goes on for the time left.
        if (!(from == server)) continue;
        datagram_arrived = true;
        int n = static_cast<int>(got.bytes);
        if (n < kHeaderSize || !HeaderIsResponse(answer) || HeaderId(answer) != HeaderId(query) ||
            !QuestionMatches(query, queryLen, answer, n))
          continue;
        if (HeaderTruncated(answer)) {
          truncated = true;
          break;
        }
        return finish(n, 0);
      }
      if (truncated) {
        st->query_socket.Reset();
        use_tcp = true;
        --ns;  // the same server over TCP; later servers too
      }
    }
    // Once TCP is in use, the current pass is the last.
    if (use_tcp) break;
  }
  int reason;
  if (use_tcp)
    reason = tcp_reason != 0 ? tcp_reason : WSAETIMEDOUT;
  else
    reason = datagram_arrived ? WSAETIMEDOUT : WSAECONNREFUSED;
  return finish(-1, reason);
}

int res_query(const char* name, int cls, int type, uint8_t* answer, int answerSize) {
  ResolverState* st = InitializedResolverState();
  if (st == nullptr) return -1;
  uint8_t buf[kQueryBufferSize];
  int n = res_mkquery(0, name, cls, type, nullptr, 0, buf, sizeof buf);
  if (n < 0) {
    st->host_error = WSANO_RECOVERY;
    return -1;
  }
  n = res_send(buf, n, answer, answerSize);
  if (n < 0) {
    st->host_error = WSATRY_AGAIN;
    return -1;
  }
  int rcode = HeaderRcode(answer);
  if (rcode == kRcodeNoError && HeaderAncount(answer) > 0) return n;
  switch (rcode) {
    case kRcodeNoError:
      st->host_error = WSANO_DATA;
      break;
    case kRcodeServerFailure:
      st->host_error = WSATRY_AGAIN;
      break;
    case kRcodeNameError:
      st->host_error = WSAHOST_NOT_FOUND;
      break;
    default:
      st->host_error = WSANO_RECOVERY;
      break;
  }
  return -1;
}

int res_querydomain(const char* name, const char* domain, int cls, int type, uint8_t* answer,
                    int answerSize) {
  if (InitializedResolverState() == nullptr || name == nullptr) return -1;
  std::string query_name;
  if (domain != nullptr) {
    char buf[2 * 256 + 2];
    std::snprintf(buf, sizeof buf, "%.*s.%.*s", 256, name, 256, domain);
    query_name = buf;
  } else {
    query_name = name;
    if (!query_name.empty() && query_name.back() == '.') query_name.pop_back();
  }
  return res_query(query_name.c_str(), cls, type, answer, answerSize);
}

int res_search(const char* name, int cls, int type, uint8_t* answer, int answerSize) {
  ResolverState* st = InitializedResolverState();
  if (st == nullptr || name == nullptr) return -1;
  st->send_error = 0;
  st->host_error = WSAHOST_NOT_FOUND;
  int dots = 0;
  for (const char* p = name; *p != '\0'; ++p) dots += *p == '.';
  const size_t len = std::strlen(name);
  const bool trailing_dot = len > 0 && name[len - 1] == '.';
  int no_data = 0;

  if ((dots == 0 && (st->options & OPT_DEFAULT_NAMES)) ||
      (dots > 0 && !trailing_dot && (st->options & OPT_SEARCH))) {
    // A copy: the list belongs to the state, which the queries do not replace.
    const std::vector<std::string> list = st->search_list;
    for (const std::string& domain : list) {
      int n = res_querydomain(name, domain.c_str(), cls, type, answer, answerSize);
      if (n > 0) return n;
      if (st->send_error == WSAECONNREFUSED) {
        st->host_error = WSATRY_AGAIN;
        return -1;
      }
      if (st->host_error == WSANO_DATA) ++no_data;
      if (st->host_error != WSAHOST_NOT_FOUND && st->host_error != WSANO_DATA) break;
      if (!(st->options & OPT_SEARCH)) break;
    }
  }
  if (dots > 0) {
    int n = res_querydomain(name, nullptr, cls, type, answer, answerSize);
    if (n > 0) return n;
  }
  if (no_data > 0) st->host_error = WSANO_DATA;
  return -1;
}

}  // namespace kelpd::dns
