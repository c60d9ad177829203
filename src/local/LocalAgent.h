// CLocalAgent: the one worker thread that drains the queue directory. Each
// queued mail file is read under its named lock and split into one copy per
// envelope recipient; a copy is stored in a local mailbox or written into the
// outgoing directory, or, when the mail matches a content filter, the mail is
// stored once in the filter directory. What can't be handled goes whole to the
// error directory.
//
// The copies of a group of queued files are written without names, their data
// is synced once, then they are named (a mailbox file takes its number only
// then, under the account lock), the names are synced once, and only then are
// the group's queued files deleted. So no copy is ever seen before its data is
// on stable storage, and a crash at any point re-delivers at most a group.
//
// Owned by the application; started after the directory data is loaded and
// stopped at shutdown or restart. Only the agent's own thread touches its
// fields once it runs (RunOnePass is for a caller that has not started it).
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/Settings.h"
#include "config/StringListEx.h"
#include "core/Thread.h"
#include "local/MailboxStore.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"

class CMail;

class CLocalAgent : public CThread {
 public:
  // Handled queue files are made durable and deleted in groups of this many
  // during a pass, not only at its end: a crash re-delivers at most one
  // group, where a long pass over a full queue would otherwise be delivered
  // again whole. A group saves each of its mailboxes' settings files once, so
  // the larger it is, the fewer settings writes a copy costs.
  static constexpr int kDeleteGroup = 128;

  // Takes its directories from settings now and its switches from settings
  // for each mail; the host name comes from GetLocalHostIdentity. settings
  // must outlive the agent.
  explicit CLocalAgent(const kelpd::config::SettingsStore& settings);
  ~CLocalAgent() override;

  // The agent idles while the service's pause event and its run event are
  // both set. A query set here (before Start) replaces that look.
  void SetPauseQuery(std::function<bool()> paused) { paused_ = std::move(paused); }

  // One pass of the thread body on the calling thread: scan, handle the
  // pending files, make the pass's writes durable and delete the handled
  // files. False when the queue directory does not exist. For tools and
  // tests; never while the thread runs.
  bool RunOnePass();

  const std::string& GetHostName() const { return m_strHostName; }
  int ProcessedCount() const { return m_processed.GetCount(); }

 protected:
  void Run() override;
  // The local time that generated file names are made of.
  virtual kelpd::platform::LocalTime NameTime() const;

 private:
  bool IsPaused() const;
  bool KeepGoing() const { return direct_ || IsRunning(); }
  void SleepMs(int ms);

  bool Scan();
  void HandlePending();
  void DeleteProcessed();
  bool Deliver(const std::string& name);
  // Moves the queue file name to the error directory; false (logged, 1 s
  // pause, name remembered) when it stays in the queue.
  bool MoveToError(const std::string& name);
  // A generated file name: the filter style prints the milliseconds with four
  // digits, the outgoing style with three. Uses up one counter value.
  std::string MakeFileName(bool filter_style);
  void AddProcessed(const std::string& path);
  // Syncs the copies written so far, names them and forgets them. A queued
  // file whose copy could not be named is noted in unnamed_.
  void NameStaged();
  // Names one outgoing or filter copy under the name's lock, taking a new
  // name while the name is taken; kStopped when the lock stayed busy.
  struct PendingCopy;
  StoreResult NameGenerated(PendingCopy& copy);
  // Acts on unnamed_ for the queued files handled already: a failure moves
  // the file to the error directory, a stop leaves it in the queue.
  void SettleUnnamed();
  // Where the copy being delivered could not be named: the result of Deliver.
  bool TakeUnnamed(const std::string& path, bool* result);

  CStringListEx m_pending;    // names found by the last scan, not yet handled
  CStringListEx m_processed;  // full paths handled in this pass, to be deleted
  const kelpd::config::SettingsStore& settings_;
  std::string m_strQueueDir;
  std::string m_strSpoolDir;
  std::string m_strErrorDir;
  std::string m_strFilterDir;
  std::string m_strOutgoingDir;
  unsigned m_nCounter = 0;
  std::string m_strHostName;

  std::unordered_set<std::string> processed_index_;  // the paths of m_processed
  // Names whose move to the error directory failed: only the move is retried.
  std::unordered_set<std::string> failed_moves_;
  std::function<bool()> paused_;
  // The syncs of a pass's writes, made before its queue files go.
  kelpd::platform::DeferredSync deferred_;
  bool direct_ = false;
  // For the crash test: wait, once, between the writes of a group and its
  // names until asked to stop.
  bool hold_before_naming_ = false;

  kelpd::platform::StagedFiles staged_;
  std::vector<PendingCopy> pending_;
  // The settings of mailboxes written into, each with the version of the
  // file it was read from.
  std::unordered_map<std::string, MailboxSettings> mailbox_settings_;
  // Queued files (full paths) with a copy that was not named: kFailed or
  // kStopped.
  std::unordered_map<std::string, StoreResult> unnamed_;
};
