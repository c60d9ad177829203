#include "local/MailHelpers.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "base/Environment.h"
#include "base/Paths.h"
#include "base/Text.h"
#include "local/DirectoryData.h"
#include "log/Log.h"
#include "mail/Mail.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ServiceFiles.h"

namespace {

constexpr char kSource[] = "Common\\MailHlpr";
constexpr char kArrivalScript[] = "onarrival.cmd";
constexpr char kSpamTagger[] = "junkscan.exe";
constexpr char kAutoResponder[] = "autoresp.exe";
// Only the start of a body is searched: a filter text further down does not
// divert the mail, and a huge body costs no more than this.
constexpr size_t kFilterBodyBytes = 10240;

using kelpd::platform::ChildProcess;
using kelpd::platform::SpawnOptions;

// Starts the first candidate that can be executed. A candidate that is
// missing or not executable makes way for the next; the error reported is
// EACCES when one was found but refused, else the last one met.
bool StartFirst(const std::vector<std::string>& candidates, SpawnOptions options,
                ChildProcess& child, int* error) {
  int first_refusal = 0;
  *error = ENOENT;
  for (const std::string& candidate : candidates) {
    options.argv[0] = candidate;
    if (child.Start(options, error)) return true;
    if (*error == EACCES && first_refusal == 0) first_refusal = EACCES;
    if (*error != ENOENT && *error != EACCES && *error != ENOTDIR && *error != ENOEXEC) break;
  }
  if (first_refusal != 0 && *error == ENOENT) *error = first_refusal;
  return false;
}

// Waits for a started helper unless told not to. A child that is not waited
// for, or whose wait the calling worker's stop request cut short, is reaped
// when it ends.
void WaitUnlessNoWait(ChildProcess& child, bool no_wait) {
  if (!no_wait) child.Wait(-1);
  child.Detach();
}

std::string ConfigDirPath(const char* program) {
  std::string dir;
  kelpd::base::EnvValue(kelpd::base::kConfigDirVariable, dir);
  return MakePath(dir, program);
}

// Runs one of the account helpers (the tagger, the auto-responder) in the
// mailbox directory, found by the program search.
bool RunSearchedHelper(const char* program, std::vector<std::string> words,
                       const std::string& directory, bool no_wait, int line) {
  SpawnOptions options;
  options.argv = std::move(words);
  options.working_dir = directory;
  ChildProcess child;
  int error = 0;
  if (!StartFirst(ProgramCandidates(program), options, child, &error)) {
    Error(MainLog(), "CreateProcess in %s:%d for \"%s\" failed, error = %d", kSource, line,
          ConfigDirPath(program).c_str(), error);
    return false;
  }
  WaitUnlessNoWait(child, no_wait);
  return true;
}

}  // namespace

bool MatchFilters(const CMail& mail, std::string& reason) {
  CStorableList& filters = Filters();
  std::lock_guard<std::recursive_mutex> lock(filters.Section());
  const std::string subject = kelpd::text::ToLowerCopy(mail.GetSubject());
  for (const std::string& entry : filters) {
    // An empty text would be found in every mail.
    if (entry.empty()) continue;
    std::string text = kelpd::text::ToLowerCopy(entry);
    if (subject.find(text) != std::string::npos) {
      reason = text;
      return true;
    }
  }
  std::string_view body = mail.BodyView();
  if (body.size() > kFilterBodyBytes) body = body.substr(0, kFilterBodyBytes);
  const std::string start = kelpd::text::ToLowerCopy(body);
  for (const std::string& entry : filters) {
    if (entry.empty()) continue;
    std::string text = kelpd::text::ToLowerCopy(entry);
    if (start.find(text) != std::string::npos) {
      reason = text;
      return true;
    }
  }
  return false;
}

bool RunArrivalScript(const std::string& directory, const std::string& file, bool noWait) {
  const std::string script = MakePath(directory, kArrivalScript);
  // Paths the script gets must still name their files in its own working
  // directory.
  const std::string argument =
      file.empty() ? std::string() : kelpd::platform::AbsolutePath(MakePath(directory, file));
  kelpd::platform::FileStatus status;
  if (!kelpd::platform::StatFile(script, status).ok()) return true;
  int error = 0;

  SpawnOptions options;
  // The new-mail script gets one argument, the stored file's path (empty
  // when no file is given), as the suite's scripts expect.
  options.argv = {script, argument};
  options.working_dir = directory;
  ChildProcess child;
  if (!child.Start(options, &error)) {
    Error(MainLog(), "CreateProcess in %s:%d for \"%s\" failed, error = %d", kSource, __LINE__,
          script.c_str(), error);
    return false;
  }
  Info(MainLog(), "postprocessing-script for \"%s\" started", file.c_str());
  // A wait that the caller's stop request cut short leaves the script
  // running to its end (reaped then), and it has not finished.
  if (!noWait && child.Wait(-1) == ChildProcess::WaitResult::kExited)
    Info(MainLog(), "postprocessing-script for \"%s\" finished", file.c_str());
  child.Detach();
  return true;
}

bool RunSpamTagger(const std::string& directory, const std::string& file, bool noWait) {
  using kelpd::platform::AbsolutePath;
  return RunSearchedHelper(kSpamTagger,
                           {kSpamTagger, AbsolutePath(MakePath(directory, file)), "-tag", "-s"},
                           directory, noWait, __LINE__);
}

bool RunAutoResponder(const std::string& directory, const std::string& file,
                      const std::string& templ, const std::string& output, bool noWait) {
  using kelpd::platform::AbsolutePath;
  return RunSearchedHelper(
      kAutoResponder,
      {kAutoResponder, AbsolutePath(MakePath(directory, file)), "-t",
       AbsolutePath(MakePath(directory, templ)), "-o", AbsolutePath(output), "-k", "-s"},
      directory, noWait, __LINE__);
}

int RunProgram(const std::string& commandLine, int milliseconds) {
  return RunProgram(SplitCommandLine(commandLine), milliseconds);
}

int RunProgram(const std::vector<std::string>& words, int milliseconds) {
  if (words.empty() || words[0].empty()) return -1;
  SpawnOptions options;
  options.argv = words;
  ChildProcess child;
  int error = 0;
  if (!StartFirst(ProgramCandidates(words[0]), options, child, &error)) return -1;
  switch (child.Wait(milliseconds < 0 ? -1 : milliseconds)) {
    case ChildProcess::WaitResult::kExited:
      return child.exit_code();
    case ChildProcess::WaitResult::kTimeout:
      if (!child.Kill()) return -2;
      // Ended from outside: the script's result is -1, as for a kill.
      return -1;
    case ChildProcess::WaitResult::kStopped:
      // The service is stopping: the helper (which may be returning a mail
      // to its sender) finishes on its own and is reaped when it ends.
      child.Detach();
      return -2;
    case ChildProcess::WaitResult::kError:
      child.Detach();
      return -3;
  }
  return -3;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::vector<std::string> ProgramCandidates(const std::string& name) {
  if (name.find('/') != std::string::npos) return {name};
  std::vector<std::string> candidates;
  std::string own;
  int error = 0;
  if (kelpd::platform::OwnExecutablePath(&own, &error)) {
    size_t slash = own.rfind('/');
    if (slash != std::string::npos) candidates.push_back(MakePath(own.substr(0, slash + 1), name));
  }
  const std::string path = kelpd::base::EnvValueOr("PATH", "");
  std::string_view rest = path;
  while (!rest.empty()) {
    size_t colon = rest.find(':');
    std::string_view entry = rest.substr(0, colon);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    // Relative entries (and the empty one, which means the working
    // directory) would let a mailbox directory supply the program.
    if (entry.empty() || entry[0] != '/') continue;
    candidates.push_back(MakePath(std::string(entry), name));
  }
  return candidates;
}
