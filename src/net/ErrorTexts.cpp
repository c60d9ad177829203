#include "net/ErrorTexts.h"

#include <cstdio>
#include <iterator>

namespace kelpd::net {

namespace {

struct SocketErrorEntry {
  int code;
  const char* text;
};

constexpr SocketErrorEntry kSocketErrors[] = {
    {10004, "the (blocking) call was canceled using WSACancelBlockingCall"},
    {10009, "the descriptor is not a socket"},
    {10013, "the requested address is a broadcast address, but the appropriate flag was not set"},
    {10014,
     "the buf argument is not in a valid part of the user address space or the nSockAddrLen "
     "argument is incorrect"},
    {10022, "the socket has not been bound to an address"},
    {10024, "no more file descriptors are available"},
    {10035, "the socket is marked as nonblocking and the requested operation would block"},
    {10036, "a blocking Windows Sockets call is in progress"},
    {10038, "the descriptor is not a socket"},
    {10039, "a destination address is required"},
    {10040,
     "the datagram is larger than the maximum supported by the Windows Sockets implementation"},
    {10041, "the specified port is the wrong type for this socket"},
    {10042, "the specified option is not supported by the used protocol"},
    {10043, "the specified port is not supported"},
    {10044, "the specified socket type is not supported in this address family"},
    {10045, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM"},
    {10046, "protocol in the specified family cannot be used with this socket"},
    {10047, "addresses in the specified family cannot be used with this socket"},
    {10048, "the specified address is already in use"},
    {10049, "the specified address is not available from the local machine"},
    {10050, "the network subsystem failed or has been blocked"},
    {10051, "the network cannot be reached from this host at this time"},
    {10052, "the connection must be reset because the Windows Sockets implementation dropped it"},
    {10053, "the connection was aborted due to timeout or other failure"},
    {10054, "the connection was reset by the remote side"},
    {10055, "the Windows Sockets implementation reports a buffer deadlock"},
    {10056, "the socket is already connected"},
    {10057, "the socket is not connected"},
    {10058, "the socket has been shut down"},
    {10060, "the attempt to connect timed out without establishing a connection"},
    {10061, "the attempt to connect was rejected"},
    {10065, "the host cannot be reached from this host at this time"},
    {10091, "the network subsystem is unusable"},
    {10092, "the Windows Sockets DLL does not support this application"},
    {10093, "the winsock API has not been initialised correctly"},
    {10101, "the message terminated gracefully"},
    {11001, "the host was not found"},
    {11004, "the host has no address of the family that may be used"},
};

// Indexed by cause number.
constexpr const char* kFileCauses[] = {
    "no error occurred",
    "an unspecified error occurred",
    "the file could not be located",
    "all or part of the path is invalid",
    "the permitted number of open files was exceeded",
    "the file could not be accessed",
    "there was an attempt to use an invalid file handle",
    "the current working directory cannot be removed",
    "there are no more directory entries",
    "there was an error trying to set the file pointer",
    "there was a hardware error",
    "there was a sharing violation",
    "there was an attempt to lock a region that was already locked",
    "the disk is full",
    "the end of file was reached",
};

}  // namespace

std::string SocketErrorText(int code) {
  for (const SocketErrorEntry& e : kSocketErrors) {
    if (e.code == code) return e.text;
  }
  return "unknown error: " + std::to_string(code);
}

std::string FileErrorText(const kelpd::platform::FileResult* error) {
  if (error == nullptr) return "CFileException is NULL pointer";
  int cause = error->cause();
  if (cause >= 0 && cause < static_cast<int>(std::size(kFileCauses))) return kFileCauses[cause];
  char buf[32];
  std::snprintf(buf, sizeof buf, "unknown error: 0x%08X", static_cast<unsigned>(cause));
  return buf;
}

}  // namespace kelpd::net
