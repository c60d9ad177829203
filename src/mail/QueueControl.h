// What the service and the queue tool (kelpd-queue) share besides the mail
// files themselves.
//
// - The delivery claim: a remote delivery thread holds the named lock
//   "delivering.<lock name of the mail>" for as long as it works on an
//   outgoing mail, from taking its name until it has delivered, deferred,
//   given up or moved the mail. It is not the mail's own lock, which the
//   thread takes only while it reads the file, so the suite's receiver and
//   the auto-responder never wait for a whole SMTP session. A tool that
//   holds the claim keeps delivery threads off the mail; one that can't get
//   it leaves the mail alone.
// - The retry request: a file of this name in the outgoing directory makes
//   the remote agent remove it and start a new retry cycle at its next scan
//   (about once a second), so that every deferred mail is tried at once.
// - The delivery figures: a small file in the outgoing directory, written
//   whole by the running service, of "key: value" lines: "pid", "started"
//   (seconds since 1970), "delivered" and "failed" (outgoing mails since the
//   start).
#pragma once

#include <string>

#include "mail/Mail.h"

namespace kelpd::mail {

inline std::string DeliveryClaimName(const std::string& mail_path) {
  return "delivering." + CMail::LockNameOf(mail_path);
}

constexpr char kRetryRequestName[] = ".retry-now";
constexpr char kDeliveryFiguresName[] = ".delivery-figures";

}  // namespace kelpd::mail
