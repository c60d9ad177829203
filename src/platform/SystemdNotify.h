// Status reports to the service manager: the notification protocol of
// systemd, one AF_UNIX datagram of "KEY=value" lines to the socket named by
// $NOTIFY_SOCKET (a leading '@' names the abstract namespace).
// Thread-safe: every call uses its own socket.
#pragma once

#include <string>

namespace kelpd::platform {

// $NOTIFY_SOCKET is set and not empty.
bool NotifySocketConfigured();

// Sends message ("READY=1\nSTATUS=running"). True when it was sent, or when
// no notification socket is configured (there is nobody to tell); false with
// errno set when the socket is configured but the datagram could not be sent.
bool SystemdNotify(const std::string& message);

}  // namespace kelpd::platform
