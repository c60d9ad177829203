// A scripted SMTP peer on a loopback address for the protocol edge cases a real server
// won't produce. Each accepted connection runs the test's handler on the
// server's thread; the handler sends exactly the bytes it wants and reads what
// the client sent. Everything received is recorded per connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelpd::testing {

class ScriptedConnection {
 public:
  explicit ScriptedConnection(int fd, std::string* record, std::mutex* mutex)
      : fd_(fd), record_(record), mutex_(mutex) {}
  // Sends bytes as they are (split sends: call Send twice).
  void Send(const std::string& bytes);
  // Reads one line up to and including LF; empty on close or after timeout_ms.
  std::string ReadLine(int timeout_ms = 5000);
  // Reads until the text ends with terminator (e.g. "\r\n.\r\n").
  std::string ReadUntil(const std::string& terminator, int timeout_ms = 5000);
  // Closes the connection at once.
  void Close();
  // Waits without answering (a silent peer), up to ms or until the client closes.
  void Silence(int ms);
  // Like Silence, and tells whether the client closed the connection meanwhile.
  bool ClientClosed(int ms);

 private:
  int ReadByte(int timeout_ms);
  int fd_;
  std::string* record_;
  std::mutex* mutex_;
  std::string pending_;
};

class ScriptedSmtpServer {
 public:
  using Handler = std::function<void(ScriptedConnection&, int connection_index)>;

  // Listens on address:port (default 127.0.0.1, ephemeral port; an IPv6
  // address such as "::1" is written without brackets) and serves
  // up to max_connections. Throws when the address can't be bound.
  explicit ScriptedSmtpServer(Handler handler, int max_connections = 1,
                              const std::string& address = "127.0.0.1", uint16_t port = 0);
  ~ScriptedSmtpServer();
  ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
  ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

  uint16_t port() const { return port_; }
  // Bytes received on connection i (0-based); empty when none.
  std::string Received(int i) const;
  int Connections() const { return connections_.load(); }
  // Waits until the server thread has served every connection it will serve
  // or timeout_ms passed.
  void Join(int timeout_ms = 10000);

 private:
  void Serve();

  Handler handler_;
  int max_connections_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;  // guarded by mutex_
  std::thread thread_;
};

// Sends an SMTP reply made of the given lines ("250-a", "250 b"), each followed by CR LF.
std::string ReplyLines(const std::vector<std::string>& lines);

// How a scripted session answers: the greeting, the EHLO reply lines and
// replies by command ("RCPT" -> "450 later"); AUTH gets 235, DATA takes the
// message and gets "250 queued", QUIT ends it, other commands get "250 ok".
// A greeting that is no 220 only answers a QUIT.
struct SmtpScript {
  std::string greeting = "220 scripted ESMTP";
  std::vector<std::string> ehlo = {"250-scripted", "250-SIZE 1000000", "250-STARTTLS",
                                   "250 AUTH PLAIN LOGIN"};
  std::map<std::string, std::string> replies;
  bool close_after_data = false;
};
void ServeScript(ScriptedConnection& c, const SmtpScript& script);

}  // namespace kelpd::testing
