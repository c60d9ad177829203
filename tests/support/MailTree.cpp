#include "support/MailTree.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace kelpd::testing {

MailTree::MailTree() {
  config = tmp_.MakeDir("config");
  lock = tmp_.MakeDir("lock");
  queue = tmp_.MakeDir("queue");
  spool = tmp_.MakeDir("spool");
  error = tmp_.MakeDir("error");
  outgoing = tmp_.MakeDir("outgoing");
  filtered = tmp_.MakeDir("filtered");
}

std::string MailTree::DirectoryLines() const {
  return "QueueDir:\t" + queue + "\nSpoolDir:\t" + spool + "\nErrorDir:\t" + error +
         "\nOutgoingDir:\t" + outgoing + "\nFilterDir:\t" + filtered + "\n";
}

void MailTree::WriteConfigFile(const std::string& name, const std::string& contents) const {
  tmp_.WriteFile("config/" + name, contents);
}

std::string MailTree::AddUser(const std::string& dir_name, const char* settings) const {
  const std::string dir = tmp_.MakeDir("spool/" + dir_name);
  tmp_.WriteFile("spool/" + dir_name + "/password", "secret\n");
  if (settings != nullptr) tmp_.WriteFile("spool/" + dir_name + "/config", settings);
  return dir;
}

std::string MailTree::Queue(const std::string& name, const std::string& contents) const {
  const std::string temp = tmp_.WriteFile("queue/." + name + ".tmp", contents);
  const std::string path = queue + "/" + name;
  fs::rename(temp, path);
  return path;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string QueuedMail(const std::string& from, const std::string& to, const std::string& subject,
                       const std::string& message_id, const std::string& body) {
  return "X-Envelope-From: " + from + "\r\nX-Envelope-To: " + to +
         "\r\nReceived: from client.remote.example by mx.example.org\r\nMessage-ID: <" +
         message_id + ">\r\nFrom: <" + from + ">\r\nTo: " + to + "\r\nSubject: " + subject +
         "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n" + body;
}

std::string MaskReceivedDates(const std::string& text) {
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
