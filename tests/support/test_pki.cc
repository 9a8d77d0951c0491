#include "test_pki.h"

#include <openssl/conf.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <initializer_list>
#include <memory>

namespace {

struct KeyFree {
  void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509 *c) const { X509_free(c); }
};
struct FileClose {
  void operator()(FILE *f) const { fclose(f); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using File = std::unique_ptr<FILE, FileClose>;

constexpr long kDay = 24 * 3600;

struct ConfFree {
  void operator()(CONF *c) const { NCONF_free(c); }
};

bool add_extension(X509 *cert, X509 *issuer, int nid, const char *value) {
  // An empty configuration: certificate policies are read only with one.
  std::unique_ptr<CONF, ConfFree> conf(NCONF_new(nullptr));
  if (!conf) return false;
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509V3_set_nconf(&ctx, conf.get());
  X509_EXTENSION *ext = X509V3_EXT_nconf_nid(conf.get(), &ctx, nid, value);
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

struct Extension {
  int nid;
  const char *value;
};

// A certificate for `name` with `extensions`, valid from `from` to `until`
// seconds around now, signed by `issuer` (itself when null).
Cert make_cert(const char *name, std::initializer_list<Extension> extensions, long from, long until,
               EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, long serial) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), until);
  X509_set_pubkey(cert.get(), key);
  X509_NAME *subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>(name), -1, -1, 0);
  X509 *signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  for (const Extension &e : extensions)
    if (!add_extension(cert.get(), signer, e.nid, e.value)) return nullptr;
  if (X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0)
    return nullptr;
  return cert;
}

bool write_pair(const std::string &dir, const char *name, X509 *cert, EVP_PKEY *key) {
  File c(fopen((dir + "/" + name + ".pem").c_str(), "w"));
  File k(fopen((dir + "/" + name + ".key").c_str(), "w"));
  return c && k && PEM_write_X509(c.get(), cert) == 1 &&
         PEM_write_PrivateKey(k.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool append_cert(const std::string &dir, const char *name, X509 *cert) {
  File c(fopen((dir + "/" + name + ".pem").c_str(), "a"));
  return c && PEM_write_X509(c.get(), cert) == 1;
}

// A certificate issuer of the eSIM ecosystem's shape on `curve`, and the
// profile server's TLS certificate it issues: key usage, extended key usage
// and policy as the ecosystem's TLS certificates carry them, and a
// registered ID in the alternative names beside the host name.
bool make_ci_pair(const std::string &dir, const char *curve, const char *ci_file,
                  const char *tls_file, long serial) {
  Key ci_key(EVP_EC_gen(curve));
  Key key(EVP_EC_gen(curve));
  if (!ci_key || !key) return false;
  std::string ci_name = std::string("esimctl test CI ") + curve;
  Cert ci = make_cert(ci_name.c_str(),
                      {{NID_basic_constraints, "critical,CA:TRUE"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                       {NID_subject_key_identifier, "hash"}},
                      -kDay, 30 * kDay, ci_key.get(), nullptr, nullptr, serial);
  Cert tls = make_cert("smdp.example",
                       {{NID_key_usage, "critical,digitalSignature"},
                        {NID_ext_key_usage, "critical,serverAuth,clientAuth"},
                        {NID_certificate_policies, "2.23.146.1.2.1.3"},
                        {NID_subject_alt_name, "DNS:smdp.example,RID:2.999.10"},
                        {NID_authority_key_identifier, "keyid:always"}},
                       -3600, kDay, key.get(), ci.get(), ci_key.get(), serial + 1);
  return ci && tls && write_pair(dir, ci_file, ci.get(), ci_key.get()) &&
         write_pair(dir, tls_file, tls.get(), key.get()) && append_cert(dir, "ca", ci.get());
}

}  // namespace

bool make_test_pki(const std::string &dir) {
  Key ca_key(EVP_EC_gen("P-256"));
  Key key(EVP_EC_gen("P-256"));
  if (!ca_key || !key) return false;
  Cert ca = make_cert(
      "esimctl test CA",
      {{NID_basic_constraints, "critical,CA:TRUE"}, {NID_key_usage, "critical,keyCertSign"}}, -kDay,
      30 * kDay, ca_key.get(), nullptr, nullptr, 1);
  if (!ca || !write_pair(dir, "ca", ca.get(), ca_key.get())) return false;
  const char *both = "DNS:smdp.example,IP:127.0.0.1";
  struct Leaf {
    const char *file;
    const char *name;
    const char *alt;
    long from, until;
    bool by_ca;
  } leaves[] = {
      {"good", "smdp.example", both, -3600, kDay, true},
      {"other-name", "other.example", "DNS:other.example", -3600, kDay, true},
      {"expired", "smdp.example", both, -2 * kDay, -kDay, true},
      {"self-signed", "smdp.example", both, -3600, kDay, false},
  };
  long serial = 2;
  for (const Leaf &leaf : leaves) {
    Cert cert =
        make_cert(leaf.name, {{NID_subject_alt_name, leaf.alt}}, leaf.from, leaf.until, key.get(),
                  leaf.by_ca ? ca.get() : nullptr, leaf.by_ca ? ca_key.get() : nullptr, serial++);
    if (!cert || !write_pair(dir, leaf.file, cert.get(), key.get())) {
      fprintf(stderr, "test_pki: cannot make %s\n", leaf.file);
      return false;
    }
  }
  Key rsa_key(EVP_RSA_gen(2048));
  Cert rsa = rsa_key ? make_cert("smdp.example", {{NID_subject_alt_name, both}}, -3600, kDay,
                                 rsa_key.get(), nullptr, nullptr, serial++)
                     : nullptr;
  if (!rsa || !write_pair(dir, "rsa-self-signed", rsa.get(), rsa_key.get())) {
    fprintf(stderr, "test_pki: cannot make rsa-self-signed\n");
    return false;
  }
  if (!make_ci_pair(dir, "P-256", "ci-p256", "tls-p256", 100) ||
      !make_ci_pair(dir, "brainpoolP256r1", "ci-brainpool", "tls-brainpool", 200)) {
    fprintf(stderr, "test_pki: cannot make the CI certificates\n");
    return false;
  }
  return true;
}
