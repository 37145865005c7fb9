#pragma once
// Certificates made fresh for a test run (POSIX builds, by OpenSSL): a test CA and server
// certificates that each fail the client's checks in one way, or in none.

#include "support/tls_channel.h"
#include "support/temp_dir.h"

#include <string>

namespace zanpost::testing {

struct TestCertificates {
    TestCertificates();

    TempDir directory;
    std::string ca_file;    // the test CA's certificate: what a client is told to trust
    ServerTls good;         // localhost and 127.0.0.1, by the test CA, valid now
    ServerTls expired;      // the same names by the test CA, validity ended a month ago
    ServerTls not_yet_valid;  // the same names by the test CA, valid from next month
    ServerTls other_name;   // mail.example.org only, by the test CA, sent with the CA
    ServerTls foreign_ca;   // localhost and 127.0.0.1, by a CA the client does not trust
    ServerTls self_signed;  // localhost and 127.0.0.1, signed by itself
};

// Made once per test program: key generation is the slow part.
const TestCertificates& test_certificates();

}  // namespace zanpost::testing
