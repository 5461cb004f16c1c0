#pragma once

// Certificates made while a test runs: a certificate authority of the test's own and server
// certificates it issues, so HTTPS tests trust exactly what they made and nothing of the host.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace velmorine::testing {

struct TestCertificate {
  std::string certificatePem;
  std::string privateKeyPem;
};

class TestCertificateAuthority {
 public:
  explicit TestCertificateAuthority(const std::string& name = "Velmorine Test CA");
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  // The authority's own certificate, to trust.
  const std::string& pem() const { return pem_; }
  void writePem(const std::filesystem::path& file) const;

  // A server certificate for these IP addresses and DNS names, signed by this authority.
  TestCertificate issue(const std::vector<std::string>& ipAddresses,
                        const std::vector<std::string>& dnsNames = {}) const;

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
  std::string pem_;
};

}  // namespace velmorine::testing
