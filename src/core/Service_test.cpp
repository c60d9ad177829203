#include "core/Service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A notification socket in the abstract namespace, named in $NOTIFY_SOCKET
// for the life of the object.
class NotifyReceiver {
 public:
  NotifyReceiver() {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string name = "kelpd-service-test-" + std::to_string(::getpid());
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    socklen_t len =
        static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
    ::setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
  }
  ~NotifyReceiver() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(fd_);
  }
  // The next datagram, or "" when none comes within timeout_ms.
  std::string Next(int timeout_ms = 2000) {
    struct pollfd p {
      fd_, POLLIN, 0
    };
    if (::poll(&p, 1, timeout_ms) != 1) return "";
    char buf[1024];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
};

class CRecordingService : public CService {
 public:
  CRecordingService() : CService("Test Service", "TestSvc") {
    SetAcceptedControls(kAcceptStop | kAcceptPauseContinue | kAcceptShutdown);
  }
  void OnStop() override {
    calls += "stop;";
    // Progress reports of a stop reach the manager.
    ReportStatus(kStopPending, 2000);
  }
  void OnPause() override { calls += "pause;"; }
  void OnContinue() override { calls += "continue;"; }
  void OnUserControl(int code) override {
    calls += "user" + std::to_string(code) + ";";
    settled_during_user_control = StatusSettledEvent().IsSet();
    // Not passed on: the service stays in its state during a user control.
    ReportStatus(kStartPending, 1000);
  }
  std::string calls;
  bool settled_during_user_control = false;
};

TEST(CService, OneInstancePerProcess) {
  EXPECT_EQ(CService::Instance(), nullptr);
  {
    CRecordingService service;
    EXPECT_EQ(CService::Instance(), &service);
    EXPECT_FALSE(service.RunEvent().IsSet());
    EXPECT_FALSE(service.StoppedEvent().IsSet());
    EXPECT_FALSE(service.PauseEvent().IsSet());
    EXPECT_FALSE(service.StatusSettledEvent().IsSet());
  }
  EXPECT_EQ(CService::Instance(), nullptr);
}

TEST(CService, StatusReportsBecomeNotifications) {
  NotifyReceiver manager;
  CRecordingService service;
  EXPECT_TRUE(service.ReportStatus(0, 1000));
  EXPECT_TRUE(service.ReportStatus(CService::kStartPending, 1000));
  EXPECT_EQ(manager.Next(), "STATUS=starting\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_TRUE(service.ReportStatus(CService::kRunning, 0));
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");

  // While the status is settled, nothing is passed on.
  service.StatusSettledEvent().Set();
  EXPECT_TRUE(service.ReportStatus(CService::kStopPending, 1000));
  EXPECT_EQ(manager.Next(100), "");
  service.StatusSettledEvent().Reset();
}

TEST(CService, ControlsRunTheirSequence) {
  NotifyReceiver manager;
  CRecordingService service;
  service.RunEvent().Set();
  service.ReportStatus(CService::kRunning, 0);
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");

  service.Control(CService::kControlPause);
  EXPECT_EQ(manager.Next(), "STATUS=pausing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(manager.Next(), "STATUS=paused");
  EXPECT_TRUE(service.PauseEvent().IsSet());
  EXPECT_TRUE(service.StatusSettledEvent().IsSet());

  service.Control(CService::kControlContinue);
  EXPECT_EQ(manager.Next(), "STATUS=continuing\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");
  EXPECT_FALSE(service.PauseEvent().IsSet());

  service.Control(CService::kControlInterrogate);
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");

  // A user control runs with the status settled, so its own reports go
  // nowhere, and then reports the current state.
  service.Control(CService::kControlRestart);
  EXPECT_EQ(manager.Next(), "READY=1\nSTATUS=running");
  EXPECT_EQ(manager.Next(100), "");
  EXPECT_TRUE(service.settled_during_user_control);

  service.Control(CService::kControlStop);
  EXPECT_EQ(manager.Next(), "STOPPING=1\nEXTEND_TIMEOUT_USEC=1000000");
  EXPECT_EQ(manager.Next(), "STOPPING=1\nEXTEND_TIMEOUT_USEC=2000000");
  EXPECT_FALSE(service.RunEvent().IsSet());
  EXPECT_TRUE(service.StoppedEvent().IsSet());
  EXPECT_EQ(service.calls, "pause;continue;user129;stop;");
}

TEST(CService, ShutdownStopsThroughOnShutdown) {
  CRecordingService service;
  service.RunEvent().Set();
  service.Control(CService::kControlShutdown);
  EXPECT_EQ(service.calls, "stop;");
  EXPECT_FALSE(service.RunEvent().IsSet());
  EXPECT_TRUE(service.StoppedEvent().IsSet());
}

TEST(CService, ReportsWithoutOrWithABadNotificationSocket) {
  CRecordingService service;
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_TRUE(service.ReportStatus(CService::kRunning, 0));  // nobody to tell
  ::setenv("NOTIFY_SOCKET", "/nonexistent/kelpd-notify", 1);
  EXPECT_FALSE(service.ReportStatus(CService::kRunning, 0));
  ::setenv("NOTIFY_SOCKET", "relative/socket", 1);
  EXPECT_FALSE(service.ReportStatus(CService::kRunning, 0));
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(CService, BaseRunEndsWhenTheRunEventIsReset) {
  CService service("Base", "Base");
  service.RunEvent().Set();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    service.RunEvent().Reset();
  });
  EXPECT_EQ(service.Run(), 0);
  stopper.join();
}

}  // namespace
