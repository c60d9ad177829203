#include "log/Log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/ConsoleLogTarget.h"

namespace {

// Collects what a console target writes, through a pipe.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds_[0], F_SETPIPE_SZ, 1 << 20);
  }
  ~ConsoleCapture() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int write_fd() const { return fds_[1]; }
  std::string Read() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  int fds_[2];
};

TEST(CLog, WriteWithoutTargetDoesNothing) {
  CLog channel;
  EXPECT_FALSE(channel.HasTarget());
  Error(channel, "dropped %d", 1);
  Write(channel, 6, "dropped too");
}

TEST(CLog, NullTargetChangesNothing) {
  ConsoleCapture capture;
  CLog channel;
  SetTarget(channel, std::make_unique<CConsoleLogTarget>(capture.write_fd()));
  SetTarget(channel, nullptr);
  Info(channel, "still here");
  EXPECT_NE(capture.Read().find("info: still here\n"), std::string::npos);
}

TEST(CConsoleLogTarget, LineFormatAndLevelNames) {
  ConsoleCapture capture;
  CLog channel;
  SetTarget(channel, std::make_unique<CConsoleLogTarget>(capture.write_fd()));
  Error(channel, "could not load %s", "configuration");
  Warning(channel, "w");
  Info(channel, "i");
  Log(channel, 7, "d%d", 7);
  std::string out = capture.Read();
  std::regex line(
      R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \[[0-9A-F]{4,}\] error: could not load configuration\n)"
      R"(.* \[[0-9A-F]{4,}\] warning: w\n.* info: i\n.* debug: d7\n)");
  EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST(CConsoleLogTarget, LongMessageIsCutAt1023Characters) {
  ConsoleCapture capture;
  CLog channel;
  SetTarget(channel, std::make_unique<CConsoleLogTarget>(capture.write_fd()));
  std::string long_text(2000, 'x');
  Info(channel, "%s", long_text.c_str());
  std::string out = capture.Read();
  size_t start = out.find("info: ") + 6;
  EXPECT_EQ(out.substr(start), std::string(1023, 'x') + "\n");
}

// A target that notices being used after its destruction.
class CheckedTarget : public CLogTarget {
 public:
  explicit CheckedTarget(std::atomic<int>* writes) : writes_(writes) {}
  ~CheckedTarget() override { alive_ = 0; }
  void Write(int, const char*) override {
    EXPECT_EQ(alive_, 0x600D);
    writes_->fetch_add(1);
  }

 private:
  volatile int alive_ = 0x600D;
  std::atomic<int>* writes_;
};

TEST(CLog, TargetExchangeWhileOtherThreadsWrite) {
  CLog channel;
  std::atomic<int> writes{0};
  std::atomic<bool> done{false};
  SetTarget(channel, std::make_unique<CheckedTarget>(&writes));
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i) {
    writers.emplace_back([&, i] {
      while (!done) Info(channel, "line %d", i);
    });
  }
  for (int i = 0; i < 2000; ++i) SetTarget(channel, std::make_unique<CheckedTarget>(&writes));
  // On a loaded machine the writers may not have begun yet: let them write.
  while (writes.load() < 100) std::this_thread::yield();
  for (int i = 0; i < 200; ++i) SetTarget(channel, std::make_unique<CheckedTarget>(&writes));
  done = true;
  for (auto& t : writers) t.join();
  EXPECT_GT(writes.load(), 0);
}

TEST(CConsoleLogTarget, LinesOfSeveralThreadsDoNotInterleave) {
  ConsoleCapture capture;
  CLog channel;
  SetTarget(channel, std::make_unique<CConsoleLogTarget>(capture.write_fd()));
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      std::string body(300, static_cast<char>('a' + t));
      for (int i = 0; i < 100; ++i) Info(channel, "%s", body.c_str());
    });
  }
  for (auto& t : writers) t.join();
  std::string out = capture.Read();
  std::regex line(R"(.* info: (a{300}|b{300}|c{300}|d{300}))");
  size_t count = 0, pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    ASSERT_NE(nl, std::string::npos);
    EXPECT_TRUE(std::regex_match(out.substr(pos, nl - pos), line));
    pos = nl + 1;
    ++count;
  }
  EXPECT_EQ(count, 400u);
}

}  // namespace
