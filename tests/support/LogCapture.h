// Collects what the service writes to the main log while a test runs, and
// removes the target again at the end. One LogCapture at a time.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/Log.h"

namespace kelpd::testing {

class LogCapture {
 public:
  struct Line {
    int level;
    std::string text;
  };

  LogCapture() : store_(std::make_shared<Store>()) {
    MainLog().SetTarget(std::make_unique<Target>(store_));
  }
  ~LogCapture() { MainLog().ClearTarget(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(store_->mutex);
    return store_->lines;
  }
  // Number of lines that contain text.
  int Count(const std::string& text) const {
    int n = 0;
    for (const Line& line : Lines())
      if (line.text.find(text) != std::string::npos) ++n;
    return n;
  }
  std::string All() const {
    std::string out;
    for (const Line& line : Lines()) out += std::to_string(line.level) + " " + line.text + "\n";
    return out;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(store_->mutex);
    store_->lines.clear();
  }

 private:
  struct Store {
    std::mutex mutex;
    std::vector<Line> lines;
  };
  class Target : public CLogTarget {
   public:
    explicit Target(std::shared_ptr<Store> store) : store_(std::move(store)) {}
    void Write(int level, const char* text) override {
      std::lock_guard<std::mutex> lock(store_->mutex);
      store_->lines.push_back(Line{level, text});
    }

   private:
    std::shared_ptr<Store> store_;
  };

  std::shared_ptr<Store> store_;
};

}  // namespace kelpd::testing
