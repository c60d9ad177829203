// The name and address by which this host introduces itself in Received
// headers and failure reports. Thread-safe.
#pragma once

#include <string>

// Asks the system for the local host name. When that fails the name is
// "unknown" and the address "0.0.0.0". Otherwise the name is resolved: on
// success name is its canonical name and address its first IPv4 address in
// dotted form ("0.0.0.0" when the answer holds none); when it does not
// resolve, name is the plain host name and address "0.0.0.0".
void GetLocalHostIdentity(std::string& address, std::string& name);
