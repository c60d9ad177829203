#include "mail/Srs.h"

#include <cstring>

#include "mail/Address.h"
#include "mail/Digests.h"
#include "mail/Encodings.h"
#include "platform/LocalTime.h"

namespace kelpd::mail {

std::string SrsHash(const std::string& text, const std::string& challenge) {
  unsigned char key[5] = {};
  std::memcpy(key, challenge.data(), challenge.size() < sizeof key ? challenge.size() : sizeof key);
  unsigned char digest[20];
  HmacSHA1(text.data(), text.size(), key, sizeof key, digest);
  int n = 0;
  while (n < 3 && digest[n] != 0) ++n;
  return Base64EncodeBuffer(digest, n, true);
}

std::string SrsDayStamp(int64_t day) {
  int64_t d = day % 1024;
  if (d < 0) d += 1024;
  return Base32EncodeNumber(static_cast<uint64_t>(d), 2);
}

std::string SrsRewriteOnDay(const std::string& sender, const std::string& srsDomain,
                            const std::string& challenge, int64_t day) {
  const std::string local = GetLocalPart(sender);
  const size_t at = sender.find('@');
  const std::string domain = at == std::string::npos ? std::string() : sender.substr(at + 1);
  if (sender.starts_with("SRS0+")) {
    // Rewritten once already by another host: keep its hash and stamp behind
    // the previous host's domain.
    const std::string t = domain + "==" + local.substr(4);
    return "SRS1+" + SrsHash(t, challenge) + "=" + t + "@" + srsDomain;
  }
  if (sender.starts_with("SRS1+")) return local + "@" + srsDomain;
  const std::string t = SrsDayStamp(day) + "=" + domain + "=" + local;
  return "SRS0+" + SrsHash(t, challenge) + "=" + t + "@" + srsDomain;
}

}  // namespace kelpd::mail

std::string SrsRewrite(const std::string& sender, const std::string& srsDomain,
                       const std::string& challenge) {
  return kelpd::mail::SrsRewriteOnDay(sender, srsDomain, challenge,
                                      static_cast<int64_t>(kelpd::platform::Now()) / 86400);
}
