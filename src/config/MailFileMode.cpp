#include "config/MailFileMode.h"

#include "base/Text.h"
#include "config/Settings.h"

namespace kelpd::config {

unsigned ParseMailFileMode(const std::string& text) {
  const std::string value = kelpd::text::Trim(text);
  if (value.empty() || value.size() > 4) return kDefaultMailFileMode;
  unsigned mode = 0;
  for (const char c : value) {
    if (c < '0' || c > '7') return kDefaultMailFileMode;
    mode = mode * 8 + static_cast<unsigned>(c - '0');
  }
  return mode <= 0777 ? mode : kDefaultMailFileMode;
}

unsigned MailFileMode() { return ServiceSettings().Current()->local.mail_file_mode; }

}  // namespace kelpd::config
