#include "test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
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

bool add_extension(X509 *cert, X509 *issuer, int nid, const char *value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `name` with `alt_names`, valid from `from` to `until`
// seconds around now, signed by `issuer` (itself when null).
Cert make_cert(const char *name, const char *alt_names, long from, long until, EVP_PKEY *key,
               X509 *issuer, EVP_PKEY *issuer_key, bool is_ca, long serial) {
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
  bool ok = is_ca ? add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
                        add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign")
                  : add_extension(cert.get(), signer, NID_subject_alt_name, alt_names);
  if (!ok || X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0)
    return nullptr;
  return cert;
}

bool write_pair(const std::string &dir, const char *name, X509 *cert, EVP_PKEY *key) {
  File c(fopen((dir + "/" + name + ".pem").c_str(), "w"));
  File k(fopen((dir + "/" + name + ".key").c_str(), "w"));
  return c && k && PEM_write_X509(c.get(), cert) == 1 &&
         PEM_write_PrivateKey(k.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

}  // namespace

bool make_test_pki(const std::string &dir) {
  Key ca_key(EVP_EC_gen("P-256"));
  Key key(EVP_EC_gen("P-256"));
  if (!ca_key || !key) return false;
  Cert ca = make_cert("esimctl test CA", nullptr, -kDay, 30 * kDay, ca_key.get(), nullptr, nullptr,
                      true, 1);
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
    Cert cert = make_cert(leaf.name, leaf.alt, leaf.from, leaf.until, key.get(),
                          leaf.by_ca ? ca.get() : nullptr, leaf.by_ca ? ca_key.get() : nullptr,
                          false, serial++);
    if (!cert || !write_pair(dir, leaf.file, cert.get(), key.get())) {
      fprintf(stderr, "test_pki: cannot make %s\n", leaf.file);
      return false;
    }
  }
  return true;
}
