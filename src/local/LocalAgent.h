// CLocalAgent: the one worker thread that drains the queue directory. Each
// queued mail file is read under its named lock and split into one copy per
// envelope recipient; a copy is stored in a local mailbox or written into the
// outgoing directory, or, when the mail matches a content filter, the mail is
// stored once in the filter directory. What can't be handled goes whole to the
// error directory; the files handled by a pass are deleted at its end, once
// everything the pass wrote is on stable storage.
//
// Owned by the application; started after the directory data is loaded and
// stopped at shutdown or restart. Only the agent's own thread touches its
// fields once it runs (RunOnePass is for a caller that has not started it).
#pragma once

#include <functional>
#include <string>
#include <unordered_set>

#include "config/StringListEx.h"
#include "core/Thread.h"
#include "platform/Durability.h"
#include "platform/LocalTime.h"

class CMail;

class CLocalAgent : public CThread {
 public:
  // Reads "QueueDir", "SpoolDir", "ErrorDir", "FilterDir" and "OutgoingDir"
  // from Config() and the host name from GetLocalHostIdentity.
  CLocalAgent();
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
  // Saves mail with the envelope lines under dir/name without replacing a
  // file: a taken name makes a new one (name and path are updated).
  bool SaveGenerated(CMail& mail, const std::string& dir, bool filter_style, std::string& name,
                     std::string& path, kelpd::platform::FileError& error);
  void AddProcessed(const std::string& path);

  CStringListEx m_pending;    // names found by the last scan, not yet handled
  CStringListEx m_processed;  // full paths handled in this pass, to be deleted
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
  kelpd::platform::SyncMode sync_mode_;
  bool direct_ = false;
};
