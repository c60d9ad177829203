// When the files the service writes reach stable storage.
//
// By default every whole-file write (WriteFileWhole) syncs its file's data
// before the file gets its name, and the directory after. A thread that writes many files in a row
// and only needs them durable at a later point (the local delivery agent, before it deletes the
// queue files of a pass) switches itself to deferred syncing: its writes then skip the per-file
// syncs of new files (a file that replaces another is still synced before the rename) and note
// their file systems, and the thread calls FlushDeferredWrites, which runs one syncfs per file
// system noted.
//
// The mode and the notes belong to the calling thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Errors.h"

namespace kelpd::platform {

enum class SyncMode {
  kPerFile,   // fdatasync of each file (and fsync of its directory)
  kDeferred,  // nothing per file; FlushDeferredWrites makes them durable
};

void SetThreadSyncMode(SyncMode mode);
SyncMode ThreadSyncMode();

// Notes the directory of a file written in deferred mode (a no-op in per-file
// mode). Called by the writers.
void NoteDeferredWrite(const std::string& directory);
// The same by a descriptor open on the written file: no directory needs to be
// opened, and a file system already noted costs nothing more than the fstat
// (nothing when device, the file's st_dev, is given).
void NoteDeferredWrite(int fd, uint64_t device = 0);

// Whether writes were noted since the last successful flush.
bool HasDeferredWrites();

// One syncfs for each file system that holds a noted directory. On success
// the notes are cleared; on failure they are kept (so a later flush tries
// again) and err and failed_path name the first failure.
bool FlushDeferredWrites(FileError& err, std::string& failed_path);

}  // namespace kelpd::platform
