#include "backend/dns/LocalCertificateAuthority.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace backend {
namespace {

constexpr long kValiditySeconds = 30L * 24 * 3600;

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for key, named commonName, signed by issuerKey (issuer: nullptr for self-signed).
// A server certificate covers the names of subjectAltNames ("IP:...,DNS:...").
Cert makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool ca,
                     const std::string& subjectAltNames = "") {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(cert.get());
  ok = ok && X509_set_version(cert.get(), 2) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) != nullptr &&
       X509_set_pubkey(cert.get(), key) == 1 &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("Vorellin backend stand-in"), -1, -1, 0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                                  -1, -1, 0) == 1 &&
       X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) == 1;
  X509* issuerCert = issuer ? issuer : cert.get();
  if (ca) {
    ok = ok && addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         addExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
  } else {
    ok = ok && addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(cert.get(), issuerCert, NID_key_usage, "critical,digitalSignature") &&
         addExtension(cert.get(), issuerCert, NID_ext_key_usage, "serverAuth") &&
         addExtension(cert.get(), issuerCert, NID_subject_alt_name, subjectAltNames.c_str()) &&
         addExtension(cert.get(), issuerCert, NID_authority_key_identifier, "keyid:always");
  }
  ok = ok && X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0;
  return ok ? std::move(cert) : nullptr;
}

bool writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  // The key file is owner-only from its creation on.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, key ? 0600 : 0644);
  FILE* f = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
  if (!f) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  bool ok = cert ? PEM_write_X509(f, cert) == 1 : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

bool LocalCertificateAuthority::create(const std::string& directory, std::string* error,
                                       const std::vector<std::string>& otherNames) {
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  Key caKey(EVP_EC_gen("P-256"));
  Key serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) return fail("cannot make a key");
  Cert ca = makeCertificate(caKey.get(), "Vorellin local CA", nullptr, caKey.get(), true);
  if (!ca) return fail("cannot make the CA certificate");
  std::string names = "IP:127.0.0.1,DNS:localhost";
  for (const std::string& name : otherNames) names += ",DNS:" + name;
  Cert server = makeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), false, names);
  if (!server) return fail("cannot make the server certificate");

  caFile_ = directory + "/ca.pem";
  certFile_ = directory + "/server.pem";
  keyFile_ = directory + "/server-key.pem";
  if (!writePem(caFile_, ca.get(), nullptr) || !writePem(certFile_, server.get(), nullptr) ||
      !writePem(keyFile_, nullptr, serverKey.get())) {
    return fail("cannot write the certificates to " + directory);
  }
  return true;
}

}  // namespace backend
