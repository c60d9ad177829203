// Mail texts in the tests: parsed from bytes, the queued files of a directory,
// the parts of a multipart body, queued mails made up and masked for comparing.
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

// A queued mail file: the two envelope lines, a small header and body.
inline std::string QueuedMail(const std::string& from, const std::string& to,
                              const std::string& subject, const std::string& message_id,
                              const std::string& body = "Hello there.\r\n") {
  return "X-Envelope-From: " + from + "\r\nX-Envelope-To: " + to +
         "\r\nReceived: from client.remote.example by mx.example.org\r\nMessage-ID: <" +
         message_id + ">\r\nFrom: <" + from + ">\r\nTo: " + to + "\r\nSubject: " + subject +
         "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n" + body;
}

// text with the date at the end of every "Received: by" header (the text
// behind its "; ") replaced by "DATE".
inline std::string MaskReceivedDates(const std::string& text) {
  std::string out = text;
  size_t pos = 0;
  while ((pos = out.find("Received: by ", pos)) != std::string::npos) {
    const size_t semi = out.find("; ", pos);
    const size_t end = out.find("\r\n", semi == std::string::npos ? pos : semi);
    if (semi == std::string::npos || end == std::string::npos) break;
    out.replace(semi + 2, end - semi - 2, "DATE");
    pos = semi;
  }
  return out;
}

}  // namespace kelpd::testing
