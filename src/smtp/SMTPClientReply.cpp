// CSMTPClient: reading one reply.
#include "log/Log.h"
#include "smtp/SMTPClient.h"

namespace {

constexpr int kErrorAborted = 10053;

}  // namespace

int CSMTPClient::ReadReply() {
  m_nReplyCode = 0;
  // Emptied once per reply, so that the code, the capability search of Hello
  // and the transcript see every line of a multi-line reply, however the
  // lines were split between receives.
  m_strReply.clear();
  reader_.Begin();
  for (;;) {
    int n = Receive(m_buf, sizeof m_buf, 0);
    if (n <= 0) throw CSocketException(kErrorAborted);  // the peer closed the connection
    kelpd::smtp::ReplyReader::Status status = reader_.Feed(m_buf, static_cast<size_t>(n));
    m_strReply = reader_.reply();
    if (status == kelpd::smtp::ReplyReader::Status::kTooLong) {
      // A server that sends without end is not a partner for this mail: the
      // session with it ends as a broken connection.
      Warning(MainLog(),
              "reply beyond %zu bytes, %zu lines or %zu bytes a line, connection dropped",
              kelpd::smtp::ReplyReader::kMaxReplyLength, kelpd::smtp::ReplyReader::kMaxReplyLines,
              kelpd::smtp::ReplyReader::kMaxLineLength);
      throw CSocketException(kErrorAborted);
    }
    if (m_nDebugLogging >= 2 && !reader_.last_line().empty())
      Log(MainLog(), kLevelDebug, "S: %s", reader_.last_line().c_str());
    if (status == kelpd::smtp::ReplyReader::Status::kComplete) break;
  }
  m_nReplyCode = reader_.code();
  if (m_nDebugLogging >= 1) Log(MainLog(), kLevelDebug, "S: %s", m_strReply.c_str());
  m_lstTranscript.AddTail("<<< " + m_strReply);
  return m_nReplyCode;
}
