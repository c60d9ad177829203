// Drops mails into a queue directory as fast as it can, each file written
// under its named lock and appearing whole, as the suite's SMTP receiver
// writes them. Prints the number of local copies the mails ask for.
//
// kelpd_queue_writer <queue dir> <mails> <users> <domain> [seed]
// Recipients are "user%03d@<domain>", one to three distinct ones per mail.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "mail/Mail.h"
#include "platform/FileLock.h"
#include "platform/Files.h"

namespace platform = kelpd::platform;

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <queue dir> <mails> <users> <domain> [seed]\n", argv[0]);
    return 2;
  }
  const std::string queue = argv[1];
  const long mails = std::strtol(argv[2], nullptr, 10);
  const int users = static_cast<int>(std::strtol(argv[3], nullptr, 10));
  const std::string domain = argv[4];
  std::mt19937 random(argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : 1u);
  if (mails <= 0 || users < 3) return 2;

  // A body of about 4 KB in lines of 76 characters.
  std::string body;
  while (body.size() < 3800) {
    std::string line;
    for (int i = 0; i < 76; ++i) line += static_cast<char>('a' + (body.size() + i) % 26);
    body += line + "\r\n";
  }

  // The receiver syncs what it accepts; the benchmark measures the agent, so
  // the writer leaves that to the file system.
  platform::DeferredSync deferred;  // never flushed
  long copies = 0;
  for (long n = 0; n < mails; ++n) {
    const int count = 1 + static_cast<int>(random() % 3);
    int picked[3] = {-1, -1, -1};
    std::string to;
    for (int i = 0; i < count; ++i) {
      int user;
      do {
        user = static_cast<int>(random() % static_cast<unsigned>(users));
      } while (user == picked[0] || user == picked[1]);
      picked[i] = user;
      char address[64];
      std::snprintf(address, sizeof address, "user%03d@%s", user, domain.c_str());
      to += (i == 0 ? "" : ", ") + std::string(address);
    }
    copies += count;
    char name[64];
    std::snprintf(name, sizeof name, "bench%08ld.eml", n);
    const std::string path = queue + "/" + name;
    const std::string header =
        "X-Envelope-From: sender@remote.example\r\nX-Envelope-To: " + to +
        "\r\nReceived: from client.remote.example by mx.bench\r\n"
        "Message-ID: <" +
        std::string(name) +
        "@remote.example>\r\nFrom: Sender <sender@remote.example>\r\nTo: " + to +
        "\r\nSubject: Benchmark mail " + std::to_string(n) +
        "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n";
    platform::NamedLock lock(CMail::LockNameOf(path));
    if (lock.Lock(10000) != platform::LockResult::kAcquired) {
      std::fprintf(stderr, "could not lock %s\n", path.c_str());
      return 1;
    }
    const platform::FileResult err =
        platform::WriteFileWhole(path, {header, body}, {.replace = true, .deferred = &deferred});
    if (!err.ok()) {
      std::fprintf(stderr, "could not write %s: error %d\n", path.c_str(), err.error());
      return 1;
    }
  }
  std::printf("%ld\n", copies);
  return 0;
}
