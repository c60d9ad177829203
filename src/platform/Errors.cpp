#include "platform/Errors.h"

#include <errno.h>
#include <string.h>

namespace kelpd::platform {

int SocketErrorFromErrno(int err) {
  switch (err) {
    case EINTR:
      return 10004;
    case EBADF:
    case ENOTSOCK:
      return 10038;
    case EACCES:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
    case EPIPE:
      return 10054;
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTDOWN:
    case EHOSTUNREACH:
      return 10065;
    default:
      return 10000 + err;
  }
}

FileCause FileCauseFromErrno(int err) {
  switch (err) {
    case ENOENT:
      return kFileCauseNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kFileCauseBadPath;
    case EMFILE:
    case ENFILE:
      return kFileCauseTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kFileCauseAccessDenied;
    case EBADF:
      return kFileCauseInvalidHandle;
    case EIO:
      return kFileCauseHardIO;
    case EWOULDBLOCK:
      return kFileCauseLockViolation;
    case ENOSPC:
    case EDQUOT:
      return kFileCauseDiskFull;
    default:
      return kFileCauseGeneric;
  }
}

std::string ErrnoText(int err) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("unknown error");
}

}  // namespace kelpd::platform
