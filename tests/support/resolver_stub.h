// What the in-process tests' reverse lookup answers (see tests/unit/resolver_stub.cpp).
#pragma once

inline constexpr char STUB_CLIENT_HOST[] = "client.test";  // the name of 127.0.0.1, every attached client's address
inline constexpr char STUB_LONG_NAME_IP[] = "127.0.0.9";   // its name is longer than any field
inline constexpr int STUB_LONG_NAME_LENGTH = 600;

// While set, lookups are left waiting; the test answers them itself through hostNameFound.
extern bool stubDefersLookups;
