#include "remote/RemoteAgent.h"

#include <ctime>
#include <vector>

#include "base/Paths.h"
#include "config/Configuration.h"
#include "core/ArrivalWatch.h"
#include "core/Service.h"
#include "local/DirectoryData.h"
#include "log/Log.h"
#include "mail/QueueControl.h"
#include "platform/DirectoryNames.h"
#include "platform/Errors.h"
#include "platform/Socket.h"
#include "remote/QueueControl.h"
#include "remote/RetrySchedule.h"

namespace {

// The longest an idle agent waits before it lists the directory again.
constexpr int kScanIntervalMs = 1000;

}  // namespace

CRemoteAgent::CRemoteAgent()
    : m_strOutgoingDir(Config().GetString("OutgoingDir", kDefaultOutgoingDir)),
      clock_(kelpd::base::NowSeconds) {}

CRemoteAgent::~CRemoteAgent() = default;

CRemoteAgent::NameList& CRemoteAgent::ListOf(ListId id) {
  switch (id) {
    case ListId::kNew:
      return m_lstNew;
    case ListId::kRetry:
      return m_lstRetry;
    case ListId::kDeferred:
      return m_lstDeferred;
    case ListId::kActive:
      break;
  }
  return m_lstActive;
}

void CRemoteAgent::Append(ListId id, const std::string& name) {
  NameList& list = ListOf(id);
  list.push_back(name);
  index_.emplace(name, Location{id, std::prev(list.end())});
}

bool CRemoteAgent::RemoveFrom(ListId id, const std::string& name) {
  auto [first, last] = index_.equal_range(name);
  for (auto it = first; it != last; ++it) {
    if (it->second.list != id) continue;
    ListOf(id).erase(it->second.it);
    index_.erase(it);
    return true;
  }
  return false;
}

bool CRemoteAgent::TakeHead(ListId from, std::string& name) {
  std::lock_guard<std::mutex> lock(m_csLists);
  NameList& list = ListOf(from);
  if (list.empty()) return false;
  // The head's own index entry is the one whose iterator is begin().
  auto [first, last] = index_.equal_range(list.front());
  for (auto it = first; it != last; ++it) {
    if (it->second.list == from && it->second.it == list.begin()) {
      // Moving the node keeps its iterator valid; only the list id changes.
      m_lstActive.splice(m_lstActive.end(), list, list.begin());
      it->second.list = ListId::kActive;
      name = m_lstActive.back();
      return true;
    }
  }
  // Not reached while the index matches the lists; keep the lists usable.
  name = list.front();
  list.pop_front();
  Append(ListId::kActive, name);
  return true;
}

bool CRemoteAgent::GetNextNewFile(std::string& name) { return TakeHead(ListId::kNew, name); }

bool CRemoteAgent::GetNextRetryFile(std::string& name) { return TakeHead(ListId::kRetry, name); }

bool CRemoteAgent::DeferFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_csLists);
  RemoveFrom(ListId::kActive, name);
  Append(ListId::kDeferred, name);
  return true;
}

void CRemoteAgent::ReleaseFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_csLists);
  RemoveFrom(ListId::kActive, name);
}

void CRemoteAgent::WaitForFiles(int timeout_ms) {
  // Cleared before the lists are looked at: a scan that adds a name after
  // the look raises the signal again, so no wake-up is lost.
  files_waiting_.Clear();
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    if (!m_lstNew.empty() || !m_lstRetry.empty()) return;
  }
  kelpd::platform::WaitFd(files_waiting_.fd(), kelpd::platform::kWaitReadable, timeout_ms);
}

CRemoteAgent::Counts CRemoteAgent::GetCounts() const {
  std::lock_guard<std::mutex> lock(m_csLists);
  return Counts{m_lstNew.size(), m_lstRetry.size(), m_lstDeferred.size(), m_lstActive.size()};
}

int CRemoteAgent::ScanOutgoing() {
  const int64_t now = clock_();
  const kelpd::remote::RetrySettings settings = kelpd::remote::ReadRetrySettings(Config());
  bool new_waiting;
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    new_waiting = !m_lstNew.empty();
  }
  if (kelpd::remote::RetryCycleDue(now, m_tLastCycle, settings, new_waiting)) {
    m_tLastCycle = now;
    std::lock_guard<std::mutex> lock(m_csLists);
    for (auto it = m_lstDeferred.begin(); it != m_lstDeferred.end(); ++it) {
      auto [first, last] = index_.equal_range(*it);
      for (auto e = first; e != last; ++e)
        if (e->second.list == ListId::kDeferred && e->second.it == it)
          e->second.list = ListId::kRetry;
    }
    m_lstRetry.splice(m_lstRetry.end(), m_lstDeferred);
  }

  // The listing runs without the lock. Only names the lists don't know yet
  // are examined for their size, so that a directory of 100,000 waiting
  // files costs a directory read, not 100,000 status calls, every second.
  int added = 0;
  kelpd::platform::DirectoryNameReader reader;
  if (!reader.Open(m_strOutgoingDir, nullptr)) return 0;
  std::string name;
  while (reader.Next(name)) {
    if (!kelpd::text::MatchWildcard("*.eml", name)) continue;
    {
      std::lock_guard<std::mutex> lock(m_csLists);
      if (index_.find(name) != index_.end()) continue;
    }
    uint64_t size = 0;
    bool is_directory = false;
    if (!reader.StatCurrent(size, is_directory) || is_directory || size == 0) continue;
    std::lock_guard<std::mutex> lock(m_csLists);
    if (index_.find(name) != index_.end()) continue;
    Append(ListId::kNew, name);
    ++added;
  }
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    if (!m_lstNew.empty() || !m_lstRetry.empty()) files_waiting_.Raise();
  }
  return added;
}

bool CRemoteAgent::IsPaused() const {
  CService* service = CService::Instance();
  return service != nullptr && service->PauseEvent().IsSet() && service->RunEvent().IsSet();
}

void CRemoteAgent::Run() {
  Info(MainLog(), "remote delivery agent (id %04X) started", GetThreadId());
  // Only a mail file or the queue tool's retry request ends the wait; the
  // reports, figures and temporary files written here do not, so the
  // service's own writes never keep it scanning. Watched before the first
  // scan, so that nothing arriving between a scan and the next wait is missed.
  kelpd::core::ArrivalWatch arrivals;
  int watch_err = 0;
  if (!arrivals.Open(m_strOutgoingDir, {"*.eml", kelpd::mail::kRetryRequestName}, &watch_err))
    Warning(MainLog(), "can't watch OutgoingDir (%s), looking once a second",
            kelpd::platform::ErrnoText(watch_err).c_str());
  while (IsRunning()) {
    while (IsPaused() && IsRunning()) Sleep(1000);
    if (!IsRunning()) break;
    if (kelpd::remote::TakeRetryRequest(m_strOutgoingDir)) {
      // The next scan opens a cycle whatever the interval says.
      Info(MainLog(), "retry cycle requested, deferred mail is tried now");
      m_tLastCycle = 0;
    }
    const int added = ScanOutgoing();
    kelpd::remote::PublishDeliveryFigures(m_strOutgoingDir);
    if (added == 0 && IsRunning()) arrivals.Wait(kScanIntervalMs);
  }
  kelpd::remote::PublishDeliveryFigures(m_strOutgoingDir, true);
  Info(MainLog(), "remote delivery agent (id %04X) stopped", GetThreadId());
}
