#include "tests/support/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <stdexcept>

namespace velmorine::testing {

namespace {

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

Key newKey() {
  Key key(EVP_EC_gen("P-256"));
  require(key != nullptr, "EVP_EC_gen");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_nconf_nid(nullptr, &context, nid, value.c_str());
  require(extension != nullptr, "extension");
  const int added = X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  require(added == 1, "X509_add_ext");
}

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
  Certificate certificate(X509_new());
  require(certificate != nullptr, "X509_new");
  require(X509_set_version(certificate.get(), 2) == 1, "version");
  require(ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial) == 1, "serial");
  // An hour back, so clocks that differ a little still agree.
  require(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr, "notBefore");
  require(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 7 * 86400) != nullptr, "notAfter");
  require(X509_set_pubkey(certificate.get(), key) == 1, "pubkey");
  X509_NAME* name = X509_get_subject_name(certificate.get());
  require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "CN");
  return certificate;
}

std::string pemOf(X509* certificate) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  require(bio && PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM certificate");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

std::string pemOf(EVP_PKEY* key) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
  require(
      bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
      "PEM key");
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace

struct TestCertificateAuthority::Keys {
  Key key;
  Certificate certificate;
  mutable long serial = 2;
};

TestCertificateAuthority::TestCertificateAuthority(const std::string& name)
    : keys_(std::make_unique<Keys>()) {
  keys_->key = newKey();
  keys_->certificate = newCertificate(keys_->key.get(), name, 1);
  X509* certificate = keys_->certificate.get();
  require(X509_set_issuer_name(certificate, X509_get_subject_name(certificate)) == 1, "issuer");
  addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  require(X509_sign(certificate, keys_->key.get(), EVP_sha256()) > 0, "sign CA");
  pem_ = pemOf(certificate);
}

TestCertificateAuthority::~TestCertificateAuthority() = default;

void TestCertificateAuthority::writePem(const std::filesystem::path& file) const {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream << pem_;
  require(static_cast<bool>(stream), "write CA file");
}

TestCertificate TestCertificateAuthority::issue(const std::vector<std::string>& ipAddresses,
                                                const std::vector<std::string>& dnsNames) const {
  Key key = newKey();
  const std::string commonName =
      !dnsNames.empty() ? dnsNames.front() : (ipAddresses.empty() ? "server" : ipAddresses[0]);
  Certificate certificate = newCertificate(key.get(), commonName, keys_->serial++);
  X509* issuer = keys_->certificate.get();
  require(X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuer)) == 1, "issuer");
  std::string names;
  for (const auto& address : ipAddresses) names += (names.empty() ? "" : ",") + ("IP:" + address);
  for (const auto& dns : dnsNames) names += (names.empty() ? "" : ",") + ("DNS:" + dns);
  addExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), issuer, NID_key_usage, "critical,digitalSignature");
  addExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid:always");
  if (!names.empty()) addExtension(certificate.get(), issuer, NID_subject_alt_name, names);
  require(X509_sign(certificate.get(), keys_->key.get(), EVP_sha256()) > 0, "sign server");
  return TestCertificate{pemOf(certificate.get()), pemOf(key.get())};
}

}  // namespace velmorine::testing
