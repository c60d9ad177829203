// Feeds arbitrary bytes to the mail file reader as if they were a queued mail
// file, then writes the mail back in every header kind, copies it and reads
// the written text again. Nothing may crash, hang or leak, and the second
// reading must see the same envelope.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/Address.h"
#include "mail/Mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CMail mail;
  CMemorySource source(bytes);
  if (!mail.ReadFrom(source, false)) return 0;

  std::string text;
  for (int kind : {PlainHeaders, EnvelopeHeaders, ReturnPathHeader}) {
    if (!mail.BuildText(text, kind)) std::abort();
  }
  CMail copy(mail);
  if (copy.GetBodyLength() != mail.GetBodyLength()) std::abort();
  (void)IsValidAddress(mail.GetSender());
  (void)GetLocalPart(mail.GetFirstRecipient());

  // A written file read back names the same first recipient, provided the
  // recipient survives being written on one line.
  if (!mail.BuildText(text, EnvelopeHeaders)) std::abort();
  CMail again;
  CMemorySource written(text);
  if (!again.ReadFrom(written, false)) std::abort();
  const std::string first = mail.GetFirstRecipient();
  if (first.find_first_of("\r\n,;") == std::string::npos && !first.empty() &&
      first == NormalizeAddress(first) && again.GetFirstRecipient() != first) {
    std::abort();
  }
  return 0;
}
