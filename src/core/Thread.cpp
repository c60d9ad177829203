#include "core/Thread.h"

#include "platform/CrashSignals.h"

#include <atomic>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Event.h"
#include "log/Log.h"
#include "platform/StopSignal.h"
#include "platform/ThreadId.h"

namespace {

constexpr char kSource[] = "Common\\Thread";

// How long Start waits for the new thread to report its id.
constexpr int kIdWaitMs = 10000;

thread_local uint32_t t_random_state = 0;
thread_local bool t_random_seeded = false;

}  // namespace

namespace kelpd::core {

void SeedThreadRandom(uint32_t seed) {
  t_random_state = seed;
  t_random_seeded = true;
}

int ThreadRandom() {
  if (!t_random_seeded)
    SeedThreadRandom(static_cast<uint32_t>(std::time(nullptr)) ^
                     (platform::CurrentThreadId() * 2654435761u));
  t_random_state = t_random_state * 214013u + 2531011u;
  return static_cast<int>((t_random_state >> 16) & 0x7FFF);
}

}  // namespace kelpd::core

// What the system thread uses once its body has returned, and what Stop waits
// on: shared with the system thread, so it outlives the object if need be.
struct CThread::Shared {
  kelpd::core::Event started;  // set when the body begins; reset by Stop, Terminate, Start
  kelpd::core::Event stopped;  // set when the thread ended or was terminated; never reset
  kelpd::core::Event id_known;
  kelpd::platform::StopSignal stop;
  // A stop requested before the body began is kept here; the started event
  // alone would lose it when the body sets it.
  std::atomic<bool> stop_requested{false};
  std::atomic<bool> has_thread{false};  // a thread was started and not yet ended or let go
  std::atomic<bool> ever_started{false};
  std::atomic<bool> body_done{true};  // no system thread executes the object's code
  std::atomic<bool> alive{false};     // a system thread is between its entry and its end
  std::atomic<uint32_t> tid{0};
  std::atomic<uint32_t> exit_code{0};
};

CThread::CThread() : shared_(std::make_shared<Shared>()) {}

CThread::~CThread() {
  // Whatever the system thread still waits on wakes up and sees the stop.
  shared_->stop_requested = true;
  shared_->stop.Raise();
}

bool CThread::Start() {
  // Checked first: a second Start must not make the running body's loop end.
  if (shared_->has_thread || shared_->tid != 0 || shared_->alive) return false;
  shared_->started.Reset();
  shared_->stop_requested = false;
  shared_->stop.Clear();
  shared_->id_known.Reset();
  shared_->exit_code = 0;
  shared_->body_done = false;
  shared_->alive = true;
  shared_->has_thread = true;
  shared_->ever_started = true;
  try {
    std::thread thread(&CThread::Entry, shared_, this);
    // The thread releases its own resources when it ends; Stop waits on the
    // stopped event, which stays valid in the shared block.
    thread.detach();
  } catch (const std::system_error& e) {
    Error(MainLog(), "CreateThread failed in %s:%d with error %d", kSource, __LINE__,
          e.code().value());
    shared_->tid = 0;
    shared_->has_thread = false;
    shared_->alive = false;
    shared_->body_done = true;
    return false;
  }
  shared_->id_known.Wait(kIdWaitMs);
  return true;
}

void CThread::Entry(std::shared_ptr<Shared> shared, CThread* self) {
  // A stack overflow on this worker must still reach the crash reporter.
  kelpd::platform::ThreadCrashStack crash_stack;
  const uint32_t tid = kelpd::platform::CurrentThreadId();
  // Each worker's generator is seeded once, at its start.
  kelpd::core::SeedThreadRandom(static_cast<uint32_t>(std::time(nullptr)) ^ (tid * 2654435761u));
  shared->tid = tid;
  shared->id_known.Set();
  kelpd::platform::SetCurrentStopSignal(&shared->stop);
  shared->started.Set();
  if (!shared->stop_requested) self->Run();
  // From here on the object may be destroyed: only the shared block is used.
  shared->body_done = true;
  kelpd::platform::SetCurrentStopSignal(nullptr);
  // Handle and id are gone before the owner's Stop returns.
  shared->has_thread = false;
  shared->tid = 0;
  shared->stopped.Set();
  shared->alive = false;
}

bool CThread::Stop(int timeout_ms) {
  shared_->started.Reset();
  shared_->stop_requested = true;
  shared_->stop.Raise();
  RequestStop();
  if (!shared_->ever_started) return false;
  if (shared_->stopped.Wait(timeout_ms)) return true;
  Error(MainLog(), "WaitForSingleObject timed out (%d ms) in %s:%d", timeout_ms, kSource, __LINE__);
  return false;
}

bool CThread::Terminate(uint32_t exit_code) {
  Info(MainLog(), "Within Terminate at %s:%d", kSource, __LINE__);
  if (!shared_->has_thread) return false;
  shared_->started.Reset();
  // Killing a thread would leave its locks held and its objects half
  // changed; instead every wait it reaches from now on returns at once, and
  // the owner no longer counts on it.
  shared_->stop_requested = true;
  shared_->stop.Raise();
  shared_->exit_code = exit_code;
  shared_->stopped.Set();
  shared_->has_thread = false;
  shared_->tid = 0;
  return true;
}

bool CThread::IsStopped() const { return shared_->stopped.IsSet(); }

bool CThread::IsRunning() const {
  return !shared_->stop_requested && shared_->started.IsSet() && !shared_->stopped.IsSet();
}

uint32_t CThread::GetThreadId() const { return shared_->tid; }

bool CThread::HasEnded() const { return shared_->body_done; }

uint32_t CThread::GetExitCode() const { return shared_->exit_code; }

bool CThread::Sleep(int ms) {
  return kelpd::platform::SleepFor(ms) == kelpd::platform::WaitResult::kTimeout;
}

void CThread::Dispose(std::unique_ptr<CThread> thread) {
  if (!thread) return;
  if (thread->HasEnded()) return;  // destroyed here
  thread->shared_->stop_requested = true;
  thread->shared_->stop.Raise();
  // Kept until the process exits: its thread may still touch it.
  static std::mutex mutex;
  static std::vector<CThread*>* kept = new std::vector<CThread*>();
  std::lock_guard<std::mutex> lock(mutex);
  kept->push_back(thread.release());
}
