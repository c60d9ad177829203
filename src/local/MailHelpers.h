// The content filter and the helper programs of the suite that delivery
// starts: the new-mail script "onarrival.cmd", the anti-spam tagger
// "junkscan.exe" and the auto-responder "autoresp.exe". Programs are started
// from an argument vector, never through a shell.
#pragma once

#include <string>
#include <vector>

class CMail;

// True, with the matching filter text (lower case) in reason, when the mail's
// subject or the first 10,240 bytes of its body contain a filter text.
bool MatchFilters(const CMail& mail, std::string& reason);

// Each returns false only when the process could not be created.
bool RunArrivalScript(const std::string& directory, const std::string& file, bool noWait);
bool RunSpamTagger(const std::string& directory, const std::string& file, bool noWait);
bool RunAutoResponder(const std::string& directory, const std::string& file,
                      const std::string& templ, const std::string& output, bool noWait);

// Runs a command line (its words, a quoted path being one word) and returns
// the exit code; -1 when it could not be started, -2 when it outlived
// milliseconds and could not be ended, -3/-4 for the two
// start failures that callers tell apart.
int RunProgram(const std::string& commandLine, int milliseconds);

// The same with the words already apart (the first one is the program, found
// as the tagger is). A stop request of the calling worker leaves the child
// running to its end (reaped when it ends) and gives -2.
int RunProgram(const std::vector<std::string>& words, int milliseconds);

// The words of a command line: runs of characters between blanks, a double
// quote beginning or ending a quoted run in which blanks are kept; the quotes
// themselves are dropped ("" is an empty word).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Where the tagger and the auto-responder are looked for: the directory of
// the running program, then the absolute entries of PATH, in order; never the
// working directory. A name holding '/' is used as it is.
std::vector<std::string> ProgramCandidates(const std::string& name);
