// Reading mails back in the tests: parsed from bytes, the queued files of a
// directory, the parts of a multipart body.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "mail/ByteSource.h"
#include "mail/Mail.h"
#include "support/ServiceTree.h"

namespace kelpd::testing {

inline CMail ParseMail(std::string_view bytes) {
  CMail mail;
  CMemorySource source(bytes);
  EXPECT_TRUE(mail.ReadFrom(source, false));
  return mail;
}

inline std::vector<std::string> RecipientsOf(const CMail& mail) {
  return std::vector<std::string>(mail.m_recipients.begin(), mail.m_recipients.end());
}

// The "*.eml" files of a directory as full paths, sorted.
inline std::vector<std::string> EmlPaths(const std::string& dir) {
  std::vector<std::string> paths;
  for (const std::string& name : ServiceTree::EmlFiles(dir)) paths.push_back(dir + "/" + name);
  return paths;
}

// The parts of a multipart body, split at its boundary lines, each with its
// final CR LF.
inline std::vector<std::string> MimeParts(const CMail& mail) {
  std::vector<std::string> parts;
  const std::string body(mail.BodyView());
  const std::string marker = "\r\n--" + mail.m_strBoundary;
  size_t pos = body.find(marker);
  while (pos != std::string::npos) {
    const size_t start = pos + marker.size();
    if (body.compare(start, 2, "--") == 0) break;
    const size_t next = body.find(marker, start);
    if (next == std::string::npos) break;
    parts.push_back(body.substr(start + 2, next - start - 2 + 2));
    pos = next;
  }
  return parts;
}

}  // namespace kelpd::testing
