#include "remote/RemoteAgent.h"

#include <ctime>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/Paths.h"
#include "base/Text.h"
#include "core/ArrivalWatch.h"
#include "core/Service.h"
#include "local/DirectoryData.h"
#include "log/Log.h"
#include "mail/QueueControl.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Socket.h"
#include "remote/QueueControl.h"
#include "remote/RetrySchedule.h"

namespace {

// The longest an idle agent waits before it lists the directory again.
constexpr int kScanIntervalMs = 1000;
constexpr size_t kFirstTableSize = 64;
// The entries an agent with no name in any list keeps for the next mails.
constexpr size_t kKeptEntries = 1024;

// The name table's hash: 32 bits of the standard string hash, which decide
// both a name's home slot and the first comparison of a look-up.
uint32_t NameHash(std::string_view name) {
  const uint64_t h = std::hash<std::string_view>{}(name);
  return static_cast<uint32_t>(h ^ (h >> 32));
}
uint64_t MakeSlot(uint32_t hash, uint32_t index) {
  return (static_cast<uint64_t>(hash) << 32) | (static_cast<uint64_t>(index) + 1);
}
uint32_t SlotHash(uint64_t slot) { return static_cast<uint32_t>(slot >> 32); }
uint32_t SlotIndex(uint64_t slot) { return static_cast<uint32_t>(slot) - 1; }

// "*.eml", as the wildcard matches it: the suffix in any case.
bool IsMailFileName(std::string_view name) {
  constexpr std::string_view kSuffix = ".eml";
  if (name.size() < kSuffix.size()) return false;
  const std::string_view tail = name.substr(name.size() - kSuffix.size());
  for (size_t i = 0; i < kSuffix.size(); ++i)
    if (kelpd::text::ToLower(tail[i]) != kSuffix[i]) return false;
  return true;
}

// The mail name of a failure report "<mail>.err", else empty.
std::string_view ReportedMailName(std::string_view name) {
  constexpr std::string_view kSuffix = ".err";
  if (!name.ends_with(kSuffix)) return {};
  const std::string_view mail = name.substr(0, name.size() - kSuffix.size());
  return IsMailFileName(mail) ? mail : std::string_view();
}

}  // namespace

CRemoteAgent::CRemoteAgent(const kelpd::config::SettingsStore& settings)
    : m_strOutgoingDir(settings.Current()->dirs.outgoing),
      settings_(settings),
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
    case ListId::kNone:
      break;
  }
  return m_lstActive;
}

void CRemoteAgent::Link(ListId id, uint32_t index) {
  NameList& list = ListOf(id);
  Entry& e = entries_[index];
  e.list = id;
  e.prev = list.tail;
  e.next = kNoEntry;
  if (list.tail == kNoEntry)
    list.head = index;
  else
    entries_[list.tail].next = index;
  list.tail = index;
  ++list.size;
}

void CRemoteAgent::Unlink(uint32_t index) {
  Entry& e = entries_[index];
  if (e.list == ListId::kNone) return;
  NameList& list = ListOf(e.list);
  if (e.prev == kNoEntry)
    list.head = e.next;
  else
    entries_[e.prev].next = e.next;
  if (e.next == kNoEntry)
    list.tail = e.prev;
  else
    entries_[e.next].prev = e.prev;
  --list.size;
  e.prev = e.next = kNoEntry;
  e.list = ListId::kNone;
}

uint32_t CRemoteAgent::Find(std::string_view name) const {
  if (table_.empty()) return kNoEntry;
  const uint32_t hash = NameHash(name);
  const size_t mask = table_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint64_t slot = table_[i];
    if (slot == 0) return kNoEntry;
    if (SlotHash(slot) == hash && entries_[SlotIndex(slot)].name == name) return SlotIndex(slot);
  }
}

void CRemoteAgent::AddToTable(uint32_t index) {
  if ((table_used_ + 1) * 2 > table_.size()) {
    // Grow to twice the size and put every slot in its new place.
    std::vector<uint64_t> old;
    old.swap(table_);
    table_.assign(old.empty() ? kFirstTableSize : old.size() * 2, 0);
    const size_t mask = table_.size() - 1;
    for (uint64_t slot : old) {
      if (slot == 0) continue;
      size_t i = SlotHash(slot) & mask;
      while (table_[i] != 0) i = (i + 1) & mask;
      table_[i] = slot;
    }
  }
  const uint32_t hash = NameHash(entries_[index].name);
  const size_t mask = table_.size() - 1;
  size_t i = hash & mask;
  while (table_[i] != 0) i = (i + 1) & mask;
  table_[i] = MakeSlot(hash, index);
  ++table_used_;
}

void CRemoteAgent::RemoveFromTable(uint32_t index) {
  const size_t mask = table_.size() - 1;
  size_t hole = NameHash(entries_[index].name) & mask;
  while (table_[hole] != 0 && SlotIndex(table_[hole]) != index) hole = (hole + 1) & mask;
  if (table_[hole] == 0) return;  // not reached: every entry in a list is in the table
  // Later slots of the same run move back into the hole unless their home
  // lies after the hole (cyclically), so no look-up ever stops short.
  for (size_t j = (hole + 1) & mask; table_[j] != 0; j = (j + 1) & mask) {
    const size_t home = SlotHash(table_[j]) & mask;
    const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (stays) continue;
    table_[hole] = table_[j];
    hole = j;
  }
  table_[hole] = 0;
  --table_used_;
}

void CRemoteAgent::FreeEntry(uint32_t index) {
  Entry& e = entries_[index];
  std::string().swap(e.name);
  e.next = free_entries_;
  free_entries_ = index;
}

uint32_t CRemoteAgent::Append(ListId id, std::string_view name) {
  uint32_t index = Find(name);
  if (index != kNoEntry) {
    Unlink(index);
  } else {
    if (free_entries_ != kNoEntry) {
      index = free_entries_;
      free_entries_ = entries_[index].next;
    } else {
      index = static_cast<uint32_t>(entries_.size());
      entries_.emplace_back();
    }
    entries_[index].name = name;
    entries_[index].report = false;
    entries_[index].added_by_scan = 0;
    AddToTable(index);
  }
  Link(id, index);
  return index;
}

bool CRemoteAgent::TakeHead(ListId from, std::string& name, bool* report) {
  std::lock_guard<std::mutex> lock(m_csLists);
  const uint32_t index = ListOf(from).head;
  if (index == kNoEntry) return false;
  Unlink(index);
  Link(ListId::kActive, index);
  const Entry& e = entries_[index];
  name = e.name;
  // The scan that added the name may still list its report.
  if (report != nullptr)
    *report = e.report || (listing_scan_ != 0 && e.added_by_scan == listing_scan_);
  return true;
}

bool CRemoteAgent::GetNextNewFile(std::string& name, bool* report) {
  return TakeHead(ListId::kNew, name, report);
}

bool CRemoteAgent::GetNextRetryFile(std::string& name, bool* report) {
  return TakeHead(ListId::kRetry, name, report);
}

bool CRemoteAgent::DeferFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_csLists);
  // A deferred attempt leaves its failure report.
  entries_[Append(ListId::kDeferred, name)].report = true;
  return true;
}

void CRemoteAgent::ReleaseFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_csLists);
  const uint32_t index = Find(name);
  if (index == kNoEntry || entries_[index].list != ListId::kActive) return;
  Unlink(index);
  RemoveFromTable(index);
  FreeEntry(index);
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
  return Counts{m_lstNew.size, m_lstRetry.size, m_lstDeferred.size, m_lstActive.size};
}

int CRemoteAgent::ScanOutgoing() {
  const int64_t now = clock_();
  const kelpd::remote::RetrySettings settings = settings_.Current()->remote.retry;
  bool new_waiting;
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    new_waiting = !m_lstNew.empty();
    // Once a burst is gone, its store goes back to the system.
    if (m_lstNew.empty() && m_lstRetry.empty() && m_lstDeferred.empty() && m_lstActive.empty() &&
        entries_.size() > kKeptEntries) {
      std::deque<Entry>().swap(entries_);
      std::vector<uint64_t>().swap(table_);
      table_used_ = 0;
      free_entries_ = kNoEntry;
      first_listed_ = kNoEntry;
      first_report_listed_ = kNoEntry;
    }
  }
  if (kelpd::remote::RetryCycleDue(now, m_tLastCycle, settings, new_waiting)) {
    m_tLastCycle = now;
    std::lock_guard<std::mutex> lock(m_csLists);
    // The deferred chain, in its order, goes to the tail of the retry chain.
    for (uint32_t i = m_lstDeferred.head; i != kNoEntry; i = entries_[i].next)
      entries_[i].list = ListId::kRetry;
    if (m_lstDeferred.head != kNoEntry) {
      if (m_lstRetry.tail == kNoEntry) {
        m_lstRetry.head = m_lstDeferred.head;
      } else {
        entries_[m_lstRetry.tail].next = m_lstDeferred.head;
        entries_[m_lstDeferred.head].prev = m_lstRetry.tail;
      }
      m_lstRetry.tail = m_lstDeferred.tail;
      m_lstRetry.size += m_lstDeferred.size;
      m_lstDeferred = NameList{};
    }
  }

  // The listing runs without the lock. Only names the lists don't know yet
  // are examined for their size, so that a directory of 100,000 waiting
  // files costs a directory read, not 100,000 status calls, every second.
  int added = 0;
  kelpd::platform::DirectoryReader reader;
  if (!reader.Open(m_strOutgoingDir).ok()) return 0;
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    listing_scan_ = ++last_scan_ == 0 ? ++last_scan_ : last_scan_;
  }
  // The mails whose failure reports were listed before them.
  std::unordered_set<std::string> reports_first;
  // Known names are chained in the order of this listing for the next one.
  uint32_t expected = first_listed_;
  uint32_t previous = kNoEntry;
  auto chain = [&](uint32_t index) {
    if (previous == kNoEntry)
      first_listed_ = index;
    else
      entries_[previous].listed_next = index;
    previous = index;
    expected = entries_[index].listed_next;
  };
  // And the entries whose reports were listed, in the order of the reports,
  // so that a report is matched to its mail without a look-up.
  uint32_t expected_report = first_report_listed_;
  uint32_t previous_report = kNoEntry;
  auto chain_report = [&](uint32_t index) {
    if (previous_report == kNoEntry)
      first_report_listed_ = index;
    else
      entries_[previous_report].report_listed_next = index;
    previous_report = index;
    expected_report = entries_[index].report_listed_next;
  };
  std::string_view name;
  while (reader.Next(name)) {
    if (const std::string_view mail = ReportedMailName(name); !mail.empty()) {
      std::lock_guard<std::mutex> lock(m_csLists);
      uint32_t index = kNoEntry;
      if (expected_report != kNoEntry && entries_[expected_report].list != ListId::kNone &&
          entries_[expected_report].name == mail)
        index = expected_report;
      else
        index = Find(mail);
      if (index != kNoEntry) {
        entries_[index].report = true;
        chain_report(index);
      } else {
        reports_first.emplace(mail);
      }
      continue;
    }
    if (!IsMailFileName(name)) continue;
    {
      std::lock_guard<std::mutex> lock(m_csLists);
      // Names are unique among the entries in a list, so an entry in a list
      // that holds this name is its entry.
      uint32_t index = kNoEntry;
      if (expected != kNoEntry && entries_[expected].list != ListId::kNone &&
          entries_[expected].name == name)
        index = expected;
      else
        index = Find(name);
      if (index != kNoEntry) {
        chain(index);
        continue;
      }
    }
    kelpd::platform::FileStatus status;
    if (!reader.Stat(status).ok() || status.is_directory || status.size == 0) continue;
    std::lock_guard<std::mutex> lock(m_csLists);
    if (Find(name) != kNoEntry) continue;
    const uint32_t index = Append(ListId::kNew, name);
    entries_[index].report = !reports_first.empty() && reports_first.count(std::string(name)) != 0;
    entries_[index].added_by_scan = listing_scan_;
    chain(index);
    ++added;
  }
  {
    std::lock_guard<std::mutex> lock(m_csLists);
    listing_scan_ = 0;
    if (previous == kNoEntry)
      first_listed_ = kNoEntry;
    else
      entries_[previous].listed_next = kNoEntry;
    if (previous_report == kNoEntry)
      first_report_listed_ = kNoEntry;
    else
      entries_[previous_report].report_listed_next = kNoEntry;
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
