// CSyncSocketEx: the blocking IPv4 and IPv6 socket of the service. Every wait before a
// receive or send is bounded by m_nTimeOut and also ends when the calling
// worker is asked to stop; failures are thrown as CSocketException with a
// socket error number:
//   10053  a receive or send waited m_nTimeOut seconds (or the worker is stopping)
//   11001  Connect(host, port) or Bind given a name that does not resolve
//   11004  Connect(host, port) given a name with no address the address
//          order and the bound interface leave
//   10022  SendTo given a name that does not resolve
//   10048  Socket/Create while a socket is already open
//   10060  a connection not established within about 21 seconds
//   other  the failed call's errno through platform::SocketErrorFromErrno
// Close, ShutDown and Bind's own bind call report by result and never throw.
// The socket stays open after a thrown failure; the owner (or the destructor)
// closes it. There is no line reading and no buffering here.
//
// Accept is left out: the service never listens for connections.
//
// Not thread-safe: an object belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/AddressOrder.h"
#include "net/SocketException.h"
#include "platform/Socket.h"

class CSyncSocketEx {
 public:
  CSyncSocketEx() = default;
  // Closes the socket by the same steps as Close, without the virtual call.
  virtual ~CSyncSocketEx();
  CSyncSocketEx(const CSyncSocketEx&) = delete;
  CSyncSocketEx& operator=(const CSyncSocketEx&) = delete;

  // Returns false when there is no socket; otherwise closes it, sets m_hSocket
  // to -1 (the descriptor is released even when close reports an error) and
  // returns whether close succeeded.
  virtual bool Close();

  // Connects the open socket, waiting at most platform::kConnectTimeoutMs.
  // Returns true or throws.
  virtual bool Connect(const kelpd::platform::SocketAddress& addr);
  // host is an address literal (never looked up; IPv6 may stand in square
  // brackets) or a name; a null host or one that does not resolve throws
  // 11001, a port above 65535 throws 10022. Of the host's addresses those
  // AddressesToTry picks (by the address order, and the family of the
  // interface Create bound to) are connected to in turn as the address form
  // of this class does (not through the virtual table), each on a fresh
  // socket of its family made and bound as Create made the first; a failure
  // goes on with the next address (logged) unless it was the last or the
  // worker is stopping, and is thrown then. None left to try throws 11004.
  virtual bool Connect(const char* host, unsigned port);
  // The next Connect(host, port) to exactly this host connects to these
  // addresses (as if the look-up had given them) instead of looking it up;
  // any Connect(host, port) forgets them.
  void UseAddressesOnce(std::string host, std::vector<kelpd::platform::IpAddress> all) {
    known_host_ = std::move(host);
    known_addresses_ = std::move(all);
    known_ = true;
  }
  // The address order of Connect(host, port); kIPv4First unless set.
  void SetAddressOrder(kelpd::net::AddressOrder order) { address_order_ = order; }

  // Waits for data (m_nTimeOut), then one receive of at most size bytes.
  // Returns the count, 0 when the peer has closed the connection.
  virtual int Receive(char* buf, int size, int flags = 0);
  // The whole zero-terminated text through the virtual Send(data, len, 0).
  virtual int Send(const char* text);
  // Sends all len bytes: sends what the stack takes and, while bytes are
  // left, waits until the socket is writable (each wait bounded by
  // m_nTimeOut) and sends again. Returns len or throws; a wait that runs out,
  // a stop request of the calling worker or a deadline already passed throws
  // 10053, leaving an unknown part of the data sent.
  virtual int Send(const char* data, int len, int flags);

  // socket(family, type, protocol). Throws 10048 when a socket is already open
  // (which stays open), or the error of socket. Returns true.
  bool Socket(int type = kelpd::platform::kSocketStream, int protocol = 0,
              int family = kelpd::platform::kAddressFamilyIPv4);
  // Socket(type, 0, the family of address: IPv4 when it is null or empty)
  // and Bind(port, address); true when both succeed. A stream socket without
  // address and port is not bound: its connect picks both. Connect(host, port)
  // makes its further sockets the same way.
  bool Create(unsigned port = 0, int type = kelpd::platform::kSocketStream,
              const char* address = nullptr);
  // A null or empty address binds to any local address; otherwise an address
  // literal or a name (its first IPv4 address, else its first IPv6 address;
  // one that does not resolve throws 11001). Returns false when bind fails
  // (an address of another family than the socket's) or port is above 65535.
  bool Bind(unsigned port, const char* address = nullptr);

  // The local address. Throws the error of getsockname.
  bool GetSockName(kelpd::platform::SocketAddress& addr);
  // The local address as text (dotted quad, or IPv6 without brackets) and
  // the port in host order.
  bool GetSockName(std::string& address, unsigned& port);

  // shutdown(how); whether it succeeded. Never throws.
  bool ShutDown(int how = kelpd::platform::kShutdownSend);

  // One datagram to host:port without waiting. A null host is the limited
  // broadcast address; a host that is neither a dotted quad nor resolvable
  // throws 10022. Returns the count sent or throws the error of sendto.
  int SendTo(const char* data, int len, unsigned port, const char* host = nullptr, int flags = 0);

  // Wait until the socket is readable (writable), at most seconds (negative:
  // no limit). True when ready, false when the time ran out. A stop request of
  // the calling worker throws 10053, as does a wait that fails (with its error)
  // and a wait without a socket (10038).
  bool WaitReadable(int seconds);
  bool WaitWritable(int seconds);

  // An overall limit over several waits (a whole reply, however its bytes
  // trickle in): from now on every wait ends at most seconds from now, and a
  // wait that starts after that runs out at once. ClearDeadline (and Close)
  // lift it; m_nTimeOut still bounds each single wait.
  void SetDeadline(int seconds);
  void ClearDeadline() { deadline_ms_ = -1; }

  int m_hSocket = -1;    // the descriptor, -1 when none is open
  int m_nTimeOut = 120;  // seconds for each wait before a receive or send; -1 no limit

 private:
  bool Wait(short events, int seconds);
  bool CloseNow();
  bool BindTo(unsigned port, const std::optional<kelpd::platform::IpAddress>& local);

  // How Create made the socket, for the further sockets of Connect(host, port).
  int family_ = kelpd::platform::kAddressFamilyIPv4;
  int type_ = kelpd::platform::kSocketStream;
  unsigned local_port_ = 0;
  std::optional<kelpd::platform::IpAddress> local_;  // the bound interface, if any
  kelpd::net::AddressOrder address_order_ = kelpd::net::AddressOrder::kIPv4First;

  int64_t deadline_ms_ = -1;  // monotonic milliseconds, -1 when none is set

  // Set by UseAddressesOnce.
  bool known_ = false;
  std::string known_host_;
  std::vector<kelpd::platform::IpAddress> known_addresses_;
};

// The socket library needs no start-up on this platform; always true.
bool SocketsStartup();
