#include "platform/Socket.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/HostLookup.h"
#include "platform/StopSignal.h"
#include "platform/UniqueFd.h"

namespace kelpd::platform {
namespace {

UniqueFd OpenStream() {
  int fd = -1;
  EXPECT_EQ(OpenSocket(kAddressFamilyIPv4, kSocketStream, 0, &fd), 0);
  return UniqueFd(fd);
}

// A loopback listener whose accept queue is full, so that a further connection
// attempt gets no answer to its SYN and stays pending.
struct FullListener {
  UniqueFd listener = OpenStream();
  std::vector<UniqueFd> queued;
  SocketAddressV4 address;

  FullListener() {
    EXPECT_EQ(BindSocket(listener.get(), {*ParseIPv4("127.0.0.1"), 0}), 0);
    EXPECT_EQ(ListenSocket(listener.get(), 0), 0);
    EXPECT_EQ(LocalAddress(listener.get(), &address), 0);
    for (int i = 0; i < 2; ++i) {
      queued.push_back(OpenStream());
      (void)ConnectSocket(queued.back().get(), address, 500);
    }
  }
};

TEST(ConnectSocket, PendingConnectEndsAtItsLimit) {
  FullListener full;
  UniqueFd fd = OpenStream();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectSocket(fd.get(), full.address, 300), ETIMEDOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(ConnectSocket, PendingConnectEndsOnStopRequest) {
  FullListener full;
  StopSignal stop;
  int result = 0;
  std::thread worker([&] {
    SetCurrentStopSignal(&stop);
    UniqueFd fd = OpenStream();
    result = ConnectSocket(fd.get(), full.address, kConnectTimeoutMs);
    SetCurrentStopSignal(nullptr);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = std::chrono::steady_clock::now();
  stop.Raise();
  worker.join();
  EXPECT_EQ(result, ECONNABORTED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace kelpd::platform
