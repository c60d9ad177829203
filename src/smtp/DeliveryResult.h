// The outcome of one mail submission as a small number in ranges (0 delivered,
// 1..10 temporary, 11..20 permanent, 21..30 a fault of the file or the
// configuration, above 30 shut down), and the class of such a number, which is
// what callers decide on. The number itself is kept for the log lines.
// Thread-safe: pure functions.
#pragma once

namespace kelpd::smtp {

// The codes SendMail leaves.
enum class DeliveryResult : int {
  kDelivered = 0,
  kSocketError = 8,  // the last host tried failed with a socket error
  kTemporary = 9,    // temporary SMTP or lookup failure
  kPermanent = 19,   // permanent SMTP failure, bad address, MX loop
  kBadFile = 29,     // the mail file was unreadable or names no recipient
  kShutDown = 31,    // the thread was told to stop before a host was tried
};

enum class ResultClass { kDelivered, kTemporary, kPermanent, kConfiguration, kShutDown };

constexpr int ToInt(DeliveryResult r) { return static_cast<int>(r); }

// The class of any code by its range; a negative code counts as above 30
// (it is taken as unsigned).
constexpr ResultClass ClassifyResult(int code) {
  const unsigned u = static_cast<unsigned>(code);
  if (u == 0) return ResultClass::kDelivered;
  if (u <= 10) return ResultClass::kTemporary;
  if (u <= 20) return ResultClass::kPermanent;
  if (u <= 30) return ResultClass::kConfiguration;
  return ResultClass::kShutDown;
}

constexpr bool IsTemporary(int code) { return ClassifyResult(code) == ResultClass::kTemporary; }
constexpr bool IsPermanent(int code) { return ClassifyResult(code) == ResultClass::kPermanent; }
constexpr bool IsConfigurationFault(int code) {
  return ClassifyResult(code) == ResultClass::kConfiguration;
}
constexpr bool IsShutDown(int code) { return ClassifyResult(code) == ResultClass::kShutDown; }

}  // namespace kelpd::smtp
