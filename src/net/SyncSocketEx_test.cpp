#include "net/SyncSocketEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/HostLookup.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"
#include "platform/UniqueFd.h"

namespace platform = kelpd::platform;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t Loopback() { return *platform::ParseIPv4("127.0.0.1"); }

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1. Connections wait in its backlog until
// Accept; a peer that is never accepted is connected but silent.
class LoopbackListener {
 public:
  LoopbackListener() {
    int fd = -1;
    EXPECT_EQ(platform::OpenSocket(platform::kAddressFamilyIPv4, platform::kSocketStream, 0, &fd),
              0);
    fd_.Reset(fd);
    EXPECT_EQ(platform::BindSocket(fd, {Loopback(), 0}), 0);
    EXPECT_EQ(platform::ListenSocket(fd, 8), 0);
    platform::SocketAddressV4 local;
    EXPECT_EQ(platform::LocalAddress(fd, &local), 0);
    port_ = local.port;
  }
  unsigned port() const { return port_; }

  // The next connection, waiting at most 5 s.
  platform::UniqueFd Accept(platform::SocketAddressV4* peer = nullptr) {
    if (platform::WaitFd(fd_.get(), platform::kWaitReadable, 5000) != platform::WaitResult::kReady)
      return platform::UniqueFd();
    int accepted = -1;
    if (platform::AcceptSocket(fd_.get(), &accepted, peer) != 0) return platform::UniqueFd();
    return platform::UniqueFd(accepted);
  }

 private:
  platform::UniqueFd fd_;
  unsigned port_ = 0;
};

// Sends all of data on a non-blocking descriptor, at most 5 s.
bool PeerSend(int fd, const std::string& data) {
  size_t done = 0;
  auto start = Clock::now();
  while (done < data.size() && SecondsSince(start) < 5) {
    if (platform::WaitFd(fd, platform::kWaitWritable, 1000) != platform::WaitResult::kReady)
      continue;
    size_t sent = 0;
    int err = platform::SendSome(fd, data.data() + done, data.size() - done, 0, &sent);
    if (err != 0 && err != EAGAIN) return false;
    done += sent;
  }
  return done == data.size();
}

int ErrorOf(auto&& operation) {
  try {
    operation();
  } catch (const CSocketException& e) {
    return e.m_nError;
  }
  return 0;
}

TEST(CSyncSocketEx, ReceivesWhatThePeerSendsThenZeroWhenItCloses) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  platform::UniqueFd peer = listener.Accept();
  ASSERT_TRUE(peer.valid());

  EXPECT_EQ(socket.Send("EHLO client\r\n"), 13);
  ASSERT_TRUE(PeerSend(peer.get(), "250 ok\r\n"));
  char buf[64];
  int n = socket.Receive(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "250 ok\r\n");

  char seen[64];
  size_t got = 0;
  ASSERT_EQ(platform::ReceiveSome(peer.get(), seen, sizeof seen, 0, &got), 0);
  EXPECT_EQ(std::string(seen, got), "EHLO client\r\n");

  peer.Reset();
  socket.m_nTimeOut = 5;
  EXPECT_EQ(socket.Receive(buf, sizeof buf), 0);
}

TEST(CSyncSocketEx, SilentPeerTimesOutWith10053) {
  LoopbackListener listener;  // never accepts: the connection waits in the backlog
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  socket.m_nTimeOut = 1;
  char buf[16];
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { socket.Receive(buf, sizeof buf); }), 10053);
  EXPECT_GE(SecondsSince(start), 0.9);
  EXPECT_LT(SecondsSince(start), 5);
  EXPECT_FALSE(socket.WaitReadable(0));
  EXPECT_TRUE(socket.WaitWritable(0));
  // The socket stays open after the failure; the owner closes it.
  EXPECT_GE(socket.m_hSocket, 0);
}

TEST(CSyncSocketEx, StopRequestEndsAnUnlimitedWait) {
  LoopbackListener listener;
  std::atomic<int> error{0};
  std::atomic<double> waited{0};
  platform::StopSignal stop;
  std::thread worker([&] {
    platform::SetCurrentStopSignal(&stop);
    CSyncSocketEx socket;
    socket.m_nTimeOut = -1;
    char buf[16];
    auto start = Clock::now();
    error = ErrorOf([&] {
      socket.Create();
      socket.Connect("127.0.0.1", listener.port());
      socket.Receive(buf, sizeof buf);
    });
    waited = SecondsSince(start);
    platform::SetCurrentStopSignal(nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  stop.Raise();
  worker.join();
  EXPECT_EQ(error, 10053);
  EXPECT_GE(waited, 0.15);
  EXPECT_LT(waited, 5);
}

TEST(CSyncSocketEx, RaisedStopRequestEndsASendBeforeAnythingLeaves) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  platform::UniqueFd peer = listener.Accept();
  ASSERT_TRUE(peer.valid());
  platform::StopSignal stop;
  platform::SetCurrentStopSignal(&stop);
  EXPECT_EQ(socket.Send("NOOP\r\n"), 6);
  stop.Raise();
  EXPECT_EQ(ErrorOf([&] { socket.Send("QUIT\r\n"); }), 10053);
  stop.Clear();
  platform::SetCurrentStopSignal(nullptr);
  char seen[64];
  size_t got = 0;
  ASSERT_EQ(platform::ReceiveSome(peer.get(), seen, sizeof seen, 0, &got), 0);
  EXPECT_EQ(std::string(seen, got), "NOOP\r\n");
  EXPECT_EQ(platform::ReceiveSome(peer.get(), seen, sizeof seen, 0, &got), EAGAIN);
}

TEST(CSyncSocketEx, LargeSendArrivesWhole) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  platform::UniqueFd peer = listener.Accept();
  ASSERT_TRUE(peer.valid());

  std::string data(16 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + i / 4093);
  std::string received;
  std::atomic<bool> send_returned{false};
  std::thread reader([&] {
    // Reads slowly at first, so that the sender meets a full buffer.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char buf[65536];
    auto start = Clock::now();
    while (received.size() < data.size() && SecondsSince(start) < 20) {
      if (platform::WaitFd(peer.get(), platform::kWaitReadable, 1000) !=
          platform::WaitResult::kReady) {
        if (send_returned) break;  // nothing more is coming
        continue;
      }
      size_t n = 0;
      if (platform::ReceiveSome(peer.get(), buf, sizeof buf, 0, &n) != 0 || n == 0) break;
      received.append(buf, n);
    }
  });
  socket.m_nTimeOut = 10;
  int sent = -1;
  int error = ErrorOf([&] { sent = socket.Send(data.data(), static_cast<int>(data.size()), 0); });
  send_returned = true;
  reader.join();
  EXPECT_EQ(error, 0);
  EXPECT_EQ(sent, static_cast<int>(data.size()));
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST(CSyncSocketEx, SendToAPeerThatDoesNotReadTimesOut) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  socket.m_nTimeOut = 1;
  std::string data(64 << 20, 'x');
  auto start = Clock::now();
  EXPECT_EQ(ErrorOf([&] { socket.Send(data.data(), static_cast<int>(data.size()), 0); }), 10053);
  EXPECT_LT(SecondsSince(start), 10);
}

TEST(CSyncSocketEx, CloseAndCreateTwice) {
  CSyncSocketEx socket;
  EXPECT_FALSE(socket.Close());
  EXPECT_EQ(socket.m_hSocket, -1);

  ASSERT_TRUE(socket.Create());
  int first = socket.m_hSocket;
  ASSERT_GE(first, 0);
  EXPECT_EQ(ErrorOf([&] { socket.Create(); }), 10048);
  EXPECT_EQ(socket.m_hSocket, first);
  std::string address;
  unsigned port = 1;
  EXPECT_TRUE(socket.GetSockName(address, port));  // the first socket is still open
  EXPECT_EQ(address, "0.0.0.0");
  EXPECT_EQ(port, 0u);  // not bound: its connect picks the address and port

  EXPECT_TRUE(socket.Close());
  EXPECT_EQ(socket.m_hSocket, -1);
  EXPECT_FALSE(socket.Close());
  // Without a socket, waits and transfers fail at once instead of sleeping.
  char buf[4];
  EXPECT_EQ(ErrorOf([&] { socket.Receive(buf, sizeof buf); }), 10038);
  EXPECT_EQ(ErrorOf([&] { socket.Send("x"); }), 10038);
}

TEST(CSyncSocketEx, UnresolvableNames) {
  CSyncSocketEx stream;
  ASSERT_TRUE(stream.Create());
  EXPECT_EQ(ErrorOf([&] { stream.Connect("nonexistent.invalid", 25); }), 11001);
  EXPECT_EQ(ErrorOf([&] { stream.Connect(nullptr, 25); }), 11001);

  CSyncSocketEx bound;
  ASSERT_TRUE(bound.Socket());
  EXPECT_EQ(ErrorOf([&] { bound.Bind(0, "nonexistent.invalid"); }), 11001);

  CSyncSocketEx datagram;
  ASSERT_TRUE(datagram.Create(0, platform::kSocketDatagram));
  EXPECT_EQ(ErrorOf([&] { datagram.SendTo("x", 1, 514, "nonexistent.invalid"); }), 10022);
  EXPECT_EQ(ErrorOf([&] { datagram.SendTo("x", 1, 514, ""); }), 10022);
}

TEST(CSyncSocketEx, AddressesGivenForANameServeItsNextConnectOnly) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  // Given for another name: looked up, which fails.
  socket.UseAddressesOnce("other.invalid", {platform::IpAddress::V4(Loopback())});
  EXPECT_EQ(ErrorOf([&] { socket.Connect("mx.invalid", listener.port()); }), 11001);
  socket.UseAddressesOnce("mx.invalid", {platform::IpAddress::V4(Loopback())});
  EXPECT_TRUE(socket.Connect("mx.invalid", listener.port()));
  EXPECT_TRUE(listener.Accept().valid());
  socket.Close();
  ASSERT_TRUE(socket.Create());
  EXPECT_EQ(ErrorOf([&] { socket.Connect("mx.invalid", listener.port()); }), 11001);
}

TEST(CSyncSocketEx, RefusedConnection) {
  unsigned port;
  {
    // A port that was free a moment ago and has no listener now.
    CSyncSocketEx probe;
    ASSERT_TRUE(probe.Create(0, platform::kSocketStream, "127.0.0.1"));
    std::string address;
    probe.GetSockName(address, port);
    EXPECT_EQ(address, "127.0.0.1");
  }
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create());
  EXPECT_EQ(ErrorOf([&] { socket.Connect("127.0.0.1", port); }), 10061);
}

TEST(CSyncSocketEx, LocalAddressAfterConnect) {
  LoopbackListener listener;
  CSyncSocketEx socket;
  ASSERT_TRUE(socket.Create(0, platform::kSocketStream, ""));
  ASSERT_TRUE(socket.Connect("127.0.0.1", listener.port()));
  platform::SocketAddressV4 peer;
  platform::UniqueFd accepted = listener.Accept(&peer);
  ASSERT_TRUE(accepted.valid());
  std::string address;
  unsigned port = 0;
  EXPECT_TRUE(socket.GetSockName(address, port));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(port, peer.port);
  EXPECT_TRUE(socket.ShutDown(platform::kShutdownSend));
  char buf[4];
  size_t n = 1;
  ASSERT_EQ(platform::WaitFd(accepted.get(), platform::kWaitReadable, 5000),
            platform::WaitResult::kReady);
  EXPECT_EQ(platform::ReceiveSome(accepted.get(), buf, sizeof buf, 0, &n), 0);
  EXPECT_EQ(n, 0u);  // the peer sees the end of the stream
}

TEST(CSyncSocketEx, SendToDeliversOneDatagram) {
  CSyncSocketEx receiver;
  ASSERT_TRUE(receiver.Create(0, platform::kSocketDatagram, "127.0.0.1"));
  std::string address;
  unsigned port = 0;
  receiver.GetSockName(address, port);

  CSyncSocketEx sender;
  ASSERT_TRUE(sender.Create(0, platform::kSocketDatagram));
  EXPECT_EQ(sender.SendTo("hello", 5, port, "127.0.0.1"), 5);
  receiver.m_nTimeOut = 5;
  char buf[16];
  int n = receiver.Receive(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "hello");
  EXPECT_TRUE(SocketsStartup());
}

}  // namespace
