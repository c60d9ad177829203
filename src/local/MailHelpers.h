// The content filter and the helper programs of the suite that delivery
// starts: the new-mail script "onarrival.cmd", the anti-spam tagger
// "junkscan.exe" and the auto-responder "autoresp.exe". Programs are started
// from an argument vector, never through a shell.
#pragma once

#include <string>

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
// milliseconds and could not be ended, -3/-4 as the design numbers them.
int RunProgram(const std::string& commandLine, int milliseconds);
