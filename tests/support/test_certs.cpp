#include "support/test_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>

#include "support/testutil.h"

namespace zvtest {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `cn`, signed by `issuerKey` as `issuer`
// (itself when null). `altNames` is a subjectAltName value; empty for a CA,
// null for a server named by its CN alone.
Cert MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, const char* altNames, long serial) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  X509* c = cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), 86400);
  X509_set_pubkey(c, key);
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("zvmail32 tests"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : c;
  X509_set_issuer_name(c, X509_get_subject_name(signer));
  const bool ca = altNames != nullptr && *altNames == '\0';
  const bool ok = AddExtension(c, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
                  AddExtension(c, signer, NID_key_usage,
                               ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") &&
                  AddExtension(c, signer, NID_subject_key_identifier, "hash") &&
                  (ca || ((altNames == nullptr || AddExtension(c, signer, NID_subject_alt_name, altNames)) &&
                          AddExtension(c, signer, NID_ext_key_usage, "serverAuth"))) &&
                  X509_sign(c, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0;
  return ok ? std::move(cert) : nullptr;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  BIO* out = BIO_new_file(path.c_str(), "w");
  if (out == nullptr) return false;
  const bool ok = cert != nullptr ? PEM_write_bio_X509(out, cert) == 1
                                  : PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  BIO_free(out);
  return ok;
}

constexpr const char* kLoopbackNames = "IP:127.0.0.1,IP:::1,DNS:localhost";

TestPki Make(const TempDir& dir) {
  TestPki pki;
  Key caKey(EVP_EC_gen("P-256")), otherKey(EVP_EC_gen("P-256")), serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !otherKey || !serverKey) return pki.error = "key generation failed", pki;
  Cert ca = MakeCert(caKey.get(), "zvmail32 test CA", nullptr, nullptr, "", 1);
  Cert other = MakeCert(otherKey.get(), "zvmail32 other CA", nullptr, nullptr, "", 2);
  if (!ca || !other) return pki.error = "CA certificates failed", pki;
  Cert good = MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), kLoopbackNames, 3);
  Cert wrong = MakeCert(serverKey.get(), "wrong.example", ca.get(), caKey.get(), "DNS:wrong.example", 4);
  Cert self = MakeCert(serverKey.get(), "localhost", nullptr, nullptr, kLoopbackNames, 5);
  Cert cnOnly = MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), nullptr, 6);
  if (!good || !wrong || !self || !cnOnly) return pki.error = "server certificates failed", pki;

  const std::string key = dir / "server.key";
  TestPki made;
  made.caFile = dir / "ca.pem";
  made.otherCaFile = dir / "other-ca.pem";
  made.good = {dir / "good.pem", key};
  made.wrongName = {dir / "wrong-name.pem", key};
  made.selfSigned = {dir / "self-signed.pem", key};
  made.cnOnly = {dir / "cn-only.pem", key};
  const bool ok = WritePem(made.caFile, ca.get(), nullptr) && WritePem(made.otherCaFile, other.get(), nullptr) &&
                  WritePem(made.good.cert, good.get(), nullptr) && WritePem(made.wrongName.cert, wrong.get(), nullptr) &&
                  WritePem(made.selfSigned.cert, self.get(), nullptr) && WritePem(made.cnOnly.cert, cnOnly.get(), nullptr) &&
                  WritePem(key, nullptr, serverKey.get());
  if (!ok) return pki.error = "writing the PEM files failed", pki;
  return made;
}

}  // namespace

const TestPki& TestCertificates() {
  static TempDir dir;
  static const TestPki pki = Make(dir);
  return pki;
}

}  // namespace zvtest
