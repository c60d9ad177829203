// Exit codes of the companion programs, by the BSD "sysexits" convention that
// mail programs share, so that a caller such as a web form or a cron job can
// tell a bad command line from a temporary failure worth retrying.
#pragma once

namespace kelpd::companions {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 64;        // bad command line, no recipients
constexpr int kExitDataErr = 65;      // bad input data (an address in the message)
constexpr int kExitNoInput = 66;      // an input file is missing or unreadable
constexpr int kExitUnavailable = 69;  // the service did not answer a request
constexpr int kExitSoftware = 70;     // internal fault
constexpr int kExitCantCreat = 73;    // the output directory is missing
constexpr int kExitIoErr = 74;        // reading or writing failed
constexpr int kExitTempFail = 75;     // a lock stayed held; try again later
constexpr int kExitConfig = 78;       // the configuration file can't be loaded

}  // namespace kelpd::companions
