// Certificates for TLS tests, made with OpenSSL's API the first time they are
// asked for and kept as PEM files in a temporary directory for the rest of
// the test program. Keys are P-256; certificates are valid from an hour ago
// for a day.
//
// Error convention: TestCertificates() returns files that exist; when they
// cannot be made it says why in `error` and the file names are empty.
#pragma once

#include <string>

namespace zvtest {

struct CertAndKey {
  std::string cert;  // PEM certificate file
  std::string key;   // PEM private key file
};

struct TestPki {
  std::string caFile;        // the test CA
  std::string otherCaFile;   // a CA that signed none of the certificates below
  CertAndKey good;           // for 127.0.0.1, ::1 and localhost, by the test CA
  CertAndKey wrongName;      // for wrong.example only, by the test CA
  CertAndKey selfSigned;     // for 127.0.0.1, ::1 and localhost, signed by itself
  CertAndKey cnOnly;         // subject CN localhost, no subjectAltName, by the test CA
  std::string error;
};

const TestPki& TestCertificates();

}  // namespace zvtest
