#include "mail/Mail.h"

#include <atomic>
#include <cerrno>
#include <new>

#include "base/Text.h"
#include "log/Log.h"
#include "mail/Address.h"
#include "platform/FileLock.h"

namespace text = kelpd::text;
namespace platform = kelpd::platform;

namespace {

constexpr char kSource[] = "Common\\Message";

std::atomic<int> g_lock_wait_ms{10000};

bool Is(const std::string& name, const char* candidate) {
  return text::EqualsNoCase(name, candidate);
}

void AddIfSet(CStringListEx& lines, const char* prefix, const std::string& value,
              const char* suffix = "") {
  if (!value.empty()) lines.AddTail(prefix + value + suffix);
}

}  // namespace

int CMail::LockWaitMs() { return g_lock_wait_ms.load(); }
void CMail::SetLockWaitMs(int ms) { g_lock_wait_ms.store(ms); }

std::string CMail::LockNameOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

bool CMail::OnHeader(const std::string& name, const std::string& value) {
  if (Is(name, "X-Envelope-From") || Is(name, "Envelope-From")) {
    if (!envelope_sender_fixed_) {
      SetEnvelopeSender(NormalizeAddress(value));
      envelope_sender_fixed_ = true;
    }
  } else if (Is(name, "X-Sender")) {
    if (!envelope_sender_fixed_ && m_strSender.empty()) SetEnvelopeSender(NormalizeAddress(value));
  } else if (Is(name, "X-Envelope-To") || Is(name, "Envelope-To")) {
    if (!envelope_recipients_fixed_) {
      SetRecipients(NormalizeAddress(value));
      envelope_recipients_fixed_ = true;
    }
  } else if (Is(name, "X-Delivered-To") || Is(name, "X-Original-To") || Is(name, "X-Rcpt-To") ||
             Is(name, "X-Real-To") || Is(name, "X-Receiver")) {
    if (!envelope_recipients_fixed_ && m_recipients.IsEmpty())
      SetRecipients(NormalizeAddress(value));
  } else if (Is(name, "Delivered-To")) {
    if (!envelope_recipients_fixed_ && m_recipients.IsEmpty()) {
      const size_t space = value.rfind(' ');
      SetRecipients(NormalizeAddress(space == std::string::npos ? value : value.substr(space + 1)));
    }
  } else if (Is(name, "Return-Path")) {
    // Once an envelope line named the sender, a Return-Path further down
    // (possibly the sender's own) must not replace it.
    if (!envelope_sender_fixed_) SetReturnPath(NormalizeAddress(value));
  } else if (Is(name, "Received")) {
    m_received.AddTail(value);
  } else if (Is(name, "To")) {
    m_strTo = value;
  } else if (Is(name, "Cc")) {
    m_strCc = value;
  } else if (Is(name, "Bcc")) {
    m_strBcc = value;
  } else if (Is(name, "Return-Receipt-To")) {
    m_strReturnReceiptTo = NormalizeAddress(value);
  } else if (Is(name, "Disposition-Notification-To")) {
    m_strDispositionNotificationTo = NormalizeAddress(value);
  } else if (Is(name, "Reply-To")) {
    m_strReplyTo = NormalizeAddress(value);
  } else if (Is(name, "In-Reply-To")) {
    m_strInReplyTo = value;
  } else if (Is(name, "Precedence")) {
    m_strPrecedence = value;
  } else if (Is(name, "X-Authenticated-As")) {
    m_strAuthenticatedAs = value;
  } else if (Is(name, "X-Resent-For")) {
    m_strResentFor = value;
  } else {
    return CMessage::OnHeader(name, value);
  }
  return true;
}

bool CMail::ReadFrom(CByteSource& file, bool headersOnly) {
  envelope_sender_fixed_ = false;
  envelope_recipients_fixed_ = false;
  return CMessage::ReadFrom(file, headersOnly);
}

void CMail::WriteHeaderLines(CStringListEx& lines, int kind) const {
  if (kind == EnvelopeHeaders) {
    if (!m_recipients.IsEmpty()) {
      lines.AddTail("X-Envelope-From: " + m_strSender);
      lines.AddTail("X-Envelope-To: " + m_recipients.GetHead());
    }
  } else if (kind == ReturnPathHeader) {
    lines.AddTail("Return-Path: <" + m_strReturnPath + ">");
  }
  for (const std::string& received : m_received) lines.AddTail("Received: " + received);
  AddIfSet(lines, "Message-ID: <", m_strMessageID, ">");
  if (!m_strFromName.empty()) {
    lines.AddTail("From: \"" + m_strFromName + "\" <" + m_strFromAddress + ">");
  } else {
    AddIfSet(lines, "From: <", m_strFromAddress, ">");
  }
  AddIfSet(lines, "Organization: ", m_strOrganization);
  AddIfSet(lines, "To: ", m_strTo);
  AddIfSet(lines, "Cc: ", m_strCc);
  AddIfSet(lines, "Bcc: ", m_strBcc);
  AddIfSet(lines, "Subject: ", m_strSubject);
  AddIfSet(lines, "Date: ", m_strDate);
  AddIfSet(lines, "Return-Receipt-To: <", m_strReturnReceiptTo, ">");
  AddIfSet(lines, "Disposition-Notification-To: <", m_strDispositionNotificationTo, ">");
  AddIfSet(lines, "MIME-Version: ", m_strMimeVersion);
  AddIfSet(lines, "Content-Type: ", m_strContentType);
  AddIfSet(lines, "Content-Transfer-Encoding: ", m_strContentTransferEncoding);
  AddIfSet(lines, "Content-Language: ", m_strContentLanguage);
  AddIfSet(lines, "Content-Disposition: ", m_strContentDisposition);
  AddIfSet(lines, "Content-Description: ", m_strContentDescription);
  for (const std::string& other : m_otherHeaders) lines.AddTail(other);
  AddIfSet(lines, "References: ", m_strReferences);
  AddIfSet(lines, "In-Reply-To: ", m_strInReplyTo);
  AddIfSet(lines, "Reply-To: <", m_strReplyTo, ">");
  AddIfSet(lines, "Precedence: ", m_strPrecedence);
  AddIfSet(lines, "X-Authenticated-As: ", m_strAuthenticatedAs);
  AddIfSet(lines, "X-Resent-For: ", m_strResentFor);
}

bool CMail::Load(const std::string& path, platform::FileResult& fileError, bool headersOnly) {
  fileError = platform::FileResult{};
  load_failure_ = LoadFailure::kBroken;
  platform::NamedLock lock(LockNameOf(path));
  const platform::LockResult locked = lock.Lock(LockWaitMs());
  if (locked != platform::LockResult::kAcquired) {
    if (locked == platform::LockResult::kError)
      Error(MainLog(), "CMutex::Lock failed in %s:%d, error=%d", kSource, __LINE__, lock.error());
    else
      load_failure_ = LoadFailure::kLockNotObtained;
    if (locked == platform::LockResult::kTimeout)
      fileError = platform::FileResult(platform::kFileCauseNone, ETIMEDOUT);
    if (locked == platform::LockResult::kStopped)
      fileError = platform::FileResult(platform::kFileCauseNone, ECANCELED);
    return false;
  }
  CFileSource file;
  fileError = file.Open(path);
  if (!fileError.ok()) return false;
  // Files appear whole, so one this short under its lock stays that way.
  if (file.Size() <= 2) {
    fileError = platform::FileResult(platform::kFileCauseNone, ENODATA);
    return false;
  }
  bool ok = false;
  int err = 0;
  try {
    ok = ReadFrom(file, headersOnly);
    if (!ok) err = file.error() != 0 ? file.error() : ENOMEM;
  } catch (const std::bad_alloc&) {
    Error(MainLog(), "insufficient memory in %s:%d", kSource, __LINE__);
    err = ENOMEM;
  }
  if (!ok) {
    // Memory or a read that fell short (cause 0, the errno kept).
    fileError = platform::FileResult{platform::kFileCauseNone, err};
    Error(MainLog(), "mail file \"%s\" could not be read whole", path.c_str());
    return false;
  }
  load_failure_ = LoadFailure::kNone;
  return true;
}

bool CMail::Save(const std::string& path, int kind, platform::FileResult& fileError,
                 bool createNew) {
  platform::NamedLock lock(LockNameOf(path));
  const platform::LockResult locked = lock.Lock(LockWaitMs());
  if (locked != platform::LockResult::kAcquired) {
    const int err = locked == platform::LockResult::kTimeout   ? ETIMEDOUT
                    : locked == platform::LockResult::kStopped ? ECANCELED
                                                               : lock.error();
    Error(MainLog(), "CMutex::Lock failed in %s:%d, error=%d", kSource, __LINE__, err);
    fileError = platform::FileResult{platform::kFileCauseNone, err};
    return false;
  }
  return WriteTo(path, kind, createNew, fileError);
}

CMail CMail::CopyWithoutRecipients() {
  // The list is set aside for the copy, so the copy never holds it.
  CStringListEx recipients = std::move(m_recipients);
  m_recipients.RemoveAll();
  CMail copy(*this);
  m_recipients = std::move(recipients);
  return copy;
}

bool CMail::BuildText(std::string& buffer, int kind) const {
  try {
    buffer = BuildHeaderText(kind);
    buffer.append(BodyForWriting());
    return true;
  } catch (const std::bad_alloc&) {
    Error(MainLog(), "CMemoryException in %s:%d", kSource, __LINE__);
    buffer.clear();
    return false;
  }
}

void CMail::SetEnvelopeSender(const std::string& address) {
  m_strSender = address;
  m_strReturnPath = address;
  if (m_strFromAddress.empty()) SetFromAddress(address);
}

void CMail::SetReturnPath(const std::string& address) {
  m_strReturnPath = address;
  if (m_strSender.empty()) m_strSender = address;
  if (m_strFromAddress.empty()) SetFromAddress(address);
}

void CMail::SetRecipients(const std::string& value) {
  m_recipients.RemoveAll();
  Split(value, ",;<>", m_recipients);
  if (m_strTo.empty() && !m_recipients.IsEmpty()) m_strTo = "<" + m_recipients.GetHead() + ">";
}
