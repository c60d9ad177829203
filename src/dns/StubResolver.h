// CStubResolver: MX lookups through the built-in resolver. The calling
// thread's resolver state lives exactly as long as the object, so every
// lookup reads the configuration afresh. Use on one thread only.
#pragma once

#include "dns/Resolver.h"

class CStubResolver : public CResolver {
 public:
  CStubResolver();            // res_init
  ~CStubResolver() override;  // res_cleanup
  CStubResolver(const CStubResolver&) = delete;
  CStubResolver& operator=(const CStubResolver&) = delete;

  bool Init() override { return true; }
  // 0, 68 (no such domain), 75 (temporary failure) or 71 (other failure).
  int GetMXHosts(const char* domain, CStringListEx& hosts) override;
  // Appends the strings of the TXT records of domain; 0, or the codes above.
  int GetTXTRecords(const char* domain, CStringListEx& texts) override;
};
