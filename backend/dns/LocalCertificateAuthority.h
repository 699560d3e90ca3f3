// A throw-away certificate authority for the stand-in's HTTPS services: a CA certificate and a server
// certificate for 127.0.0.1 and localhost signed by it, made fresh at start and written as PEM files.
#pragma once

#include <string>
#include <vector>

namespace backend {

class LocalCertificateAuthority {
 public:
  // Writes ca.pem, server.pem and server-key.pem (owner-only) into directory, which must exist.
  // False and a reason when a key, a certificate or a file cannot be made. The server certificate
  // also covers otherNames (DNS names), for a test that gives a loopback service a name of its own.
  bool create(const std::string& directory, std::string* error = nullptr,
              const std::vector<std::string>& otherNames = {});

  const std::string& caFile() const { return caFile_; }      // what clients are told to trust
  const std::string& certFile() const { return certFile_; }  // the server's certificate
  const std::string& keyFile() const { return keyFile_; }    // the server's private key

 private:
  std::string caFile_, certFile_, keyFile_;
};

}  // namespace backend
