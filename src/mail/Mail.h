// CMail: one mail with its SMTP envelope, as it lives in a queued mail file
// ("*.eml"): a header section whose leading lines carry the envelope
// ("X-Envelope-From", "X-Envelope-To", or "Return-Path" in mailbox files),
// one empty line, and the body. Reads such a file under the file's named lock,
// answers questions about the envelope, is copied and re-addressed per
// recipient, and writes itself back so that the file appears whole.
//
// The envelope is decided by the first "X-Envelope-From"/"Envelope-From" line
// (sender) and the first "X-Envelope-To"/"Envelope-To" line (recipients) of
// the header section: the writer of a queued file puts them first, so lines
// further down, which may come from the sender's own header, never override
// them. Without such lines, the sender comes from the first "X-Sender", else
// "Return-Path", and the recipients from the first of the fallback names.
//
// Not thread-safe: a CMail belongs to one thread.
#pragma once

#include <string>

#include "config/StringListEx.h"
#include "mail/Message.h"
#include "platform/Errors.h"

class CMail : public CMessage {
 public:
  CMail() = default;
  CMail(const CMail&) = default;
  CMail& operator=(const CMail&) = default;

  // The header dispatch of the mail level (envelope and delivery fields);
  // other names go on to CMessage.
  bool OnHeader(const std::string& name, const std::string& value) override;
  bool ReadFrom(CByteSource& file, bool headersOnly) override;
  // In this order, lines with empty values left out: the lines of kind, the
  // Received lines, Message-ID, From, Organization, To, Cc, Bcc, Subject,
  // Date, Return-Receipt-To, Disposition-Notification-To, the MIME fields, the
  // other header lines in reading order, References, In-Reply-To, Reply-To,
  // Precedence, X-Authenticated-As, X-Resent-For.
  void WriteHeaderLines(CStringListEx& lines, int kind) const override;

  // Reads a queued mail file under its named lock (the file name without
  // directory and extension), waiting at most LockWaitMs(). Fails with
  // fileError clear (cause 0) when the lock was not obtained (error ETIMEDOUT,
  // or ECANCELED when the worker was asked to stop), the file has two bytes or
  // fewer (error ENODATA: under its lock such a file is whole, so broken), or
  // the body could not be read whole or allocated (see LastLoadFailure for
  // how the remote side sorts these); with fileError set when the file can't be opened.
  bool Load(const std::string& path, kelpd::platform::FileResult& fileError, bool headersOnly);
  // Why the last Load failed: kLockNotObtained when the lock was not had in
  // time (or the service is stopping), so the file itself may be fine;
  // kBroken for everything else (the file can't be opened, holds two bytes or
  // fewer although read under its lock, can't be read whole, or the lock
  // could not be taken at all). kNone after a Load that succeeded.
  enum class LoadFailure { kNone, kLockNotObtained, kBroken };
  LoadFailure LastLoadFailure() const { return load_failure_; }
  // Writes the mail with the given header kind under the file's named lock.
  // The file appears whole; with createNew an existing file is kept and the
  // call fails with EEXIST in fileError.error. A lock not obtained in time
  // fails with cause 0 and ETIMEDOUT (ECANCELED when asked to stop).
  bool Save(const std::string& path, int kind, kelpd::platform::FileResult& fileError,
            bool createNew);
  // A copy of the mail without its recipient list, for the per-recipient
  // copies: copying the list each time would cost the square of its length.
  CMail CopyWithoutRecipients();
  // Header text, blank line and body (without a trailing "\r\n.\r\n") into one
  // buffer; false when memory runs out (logged).
  bool BuildText(std::string& buffer, int kind) const;

  void SetEnvelopeSender(const std::string& address);
  void SetReturnPath(const std::string& address);
  // Replaces the recipients by the runs of text between ",;<>"; sets To from
  // the first one when To is empty.
  void SetRecipients(const std::string& text);
  void AddReceived(const std::string& text) { m_received.AddHead(text); }
  std::string GetFirstRecipient() const {
    return m_recipients.IsEmpty() ? std::string() : m_recipients.GetHead();
  }
  void SetResentFor(const std::string& text) { m_strResentFor = text; }
  const std::string& GetSender() const { return m_strSender; }

  // The lock wait of Load and Save: 10,000 ms unless changed (tests).
  static int LockWaitMs();
  static void SetLockWaitMs(int ms);
  // The lock name of a mail file: its name without directory and extension.
  static std::string LockNameOf(const std::string& path);

  CStringListEx m_received;
  std::string m_strSender;
  CStringListEx m_recipients;
  std::string m_strTo;
  std::string m_strCc;
  std::string m_strBcc;
  std::string m_strReturnPath;
  std::string m_strReplyTo;
  std::string m_strReturnReceiptTo;
  std::string m_strDispositionNotificationTo;
  std::string m_strInReplyTo;
  std::string m_strPrecedence;
  std::string m_strAuthenticatedAs;
  std::string m_strResentFor;

 private:
  // Set while reading once an envelope line decided the sender or the
  // recipients; later lines no longer change them.
  bool envelope_sender_fixed_ = false;
  bool envelope_recipients_fixed_ = false;
  LoadFailure load_failure_ = LoadFailure::kNone;
};
