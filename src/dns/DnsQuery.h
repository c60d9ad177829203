// The built-in resolver's query engine: builds a query, asks the calling
// thread's name servers over UDP (TCP for long queries and truncated
// answers) and reports failures in the state's host_error (h_errno) and
// send_error. Every wait wakes on the calling worker's stop request.
// Thread safety: works on the calling thread's ResolverState only.
#pragma once

#include <cstdint>

namespace kelpd::dns {

constexpr int kQueryBufferSize = 1024;
constexpr int kMaxUdpQuery = 512;
// Bound of a TCP connection set-up and of each TCP read or write, in the
// resolver's seconds.
constexpr int kTcpConnectSeconds = 21;
constexpr int kTcpIoSeconds = 30;

// Looks name up with the search list. Returns the answer length, or -1 with
// host_error set.
int res_search(const char* name, int cls, int type, uint8_t* answer, int answerSize);
// Asks for name joined with domain ("%.*s.%.*s"), or name alone (less one
// trailing dot) when domain is null.
int res_querydomain(const char* name, const char* domain, int cls, int type, uint8_t* answer,
                    int answerSize);
// One query through all servers. Returns the answer length when the answer
// has no error and at least one answer record; else -1 with host_error set.
int res_query(const char* name, int cls, int type, uint8_t* answer, int answerSize);
// Builds a standard query (opcode 0) with a fresh random identifier. Returns
// its length, or -1 (buffer below a header, name malformed or too long).
int res_mkquery(int opcode, const char* name, int cls, int type, const uint8_t* data, int dataLen,
                uint8_t* buffer, int bufferSize);
// Sends a built query and receives its answer (at most answerSize bytes; a
// longer TCP answer is cut and marked truncated). Returns the answer length,
// or -1 with send_error set.
int res_send(const uint8_t* query, int queryLen, uint8_t* answer, int answerSize);

// The UDP wait of pass `attempt` in seconds: retransmit << attempt, divided
// by the number of servers after the first pass, 2 when that gives 0 or less.
int UdpWaitSeconds(int retransmit_seconds, int attempt, int server_count);

// True when answer (answerLen bytes) echoes the one question of query: one
// question, the same name without regard to case, the same type and class.
bool QuestionMatches(const uint8_t* query, int queryLen, const uint8_t* answer, int answerLen);

}  // namespace kelpd::dns
