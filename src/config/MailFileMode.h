// The permission bits of the mail files the service creates (mailbox,
// outgoing and filter copies, failure reports): "MailFileMode" of the main
// configuration, an octal number up to 0777, by default 0600 so that only the
// service's own account reads mail. A suite whose other programs share a group
// sets 0660. A value that is not such a number counts as 0600.
#pragma once

#include <string>

namespace kelpd::config {

constexpr unsigned kDefaultMailFileMode = 0600;

// The mode a "MailFileMode" text stands for.
unsigned ParseMailFileMode(const std::string& text);

// The setting of the published settings, taken at the moment of use.
unsigned MailFileMode();

}  // namespace kelpd::config
