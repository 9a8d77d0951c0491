#include "tls_groups.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "globals.h"
#include "run_log.h"

const char kFixedTlsGroups[] =
    "X25519:P-256:X448:P-521:P-384:ffdhe2048:ffdhe3072:ffdhe4096:ffdhe6144:ffdhe8192:"
    "brainpoolP256r1";

namespace {

constexpr uint8_t kHandshakeRecord = 22;
constexpr uint8_t kClientHello = 1;
constexpr uint16_t kSupportedGroups = 10;
constexpr uint16_t kKeyShare = 51;

// A cursor over a piece of the hello: every read stays inside it, and a read
// that does not fit moves nothing.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool number(size_t bytes, size_t *value) {
    if (text_.size() < bytes) return false;
    size_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = (v << 8) | static_cast<uint8_t>(text_[i]);
    text_.remove_prefix(bytes);
    *value = v;
    return true;
  }
  // A piece whose length stands in front of it in `length_bytes` bytes.
  bool piece(size_t length_bytes, Cursor *inner) {
    std::string_view rest = text_;
    size_t length = 0;
    if (!number(length_bytes, &length) || text_.size() < length) {
      text_ = rest;
      return false;
    }
    *inner = Cursor(text_.substr(0, length));
    text_.remove_prefix(length);
    return true;
  }
  bool skip(size_t bytes) {
    if (text_.size() < bytes) return false;
    text_.remove_prefix(bytes);
    return true;
  }
  bool empty() const { return text_.empty(); }

 private:
  std::string_view text_;
};

bool read_group_list(Cursor list, uint16_t *groups, size_t *count) {
  size_t group = 0;
  for (*count = 0; !list.empty(); ++*count) {
    if (*count == kMaxOfferedGroups || !list.number(2, &group)) return false;
    groups[*count] = static_cast<uint16_t>(group);
  }
  return true;
}

bool read_key_shares(Cursor shares, OfferedGroups *out) {
  size_t group = 0;
  Cursor key(std::string_view{});
  for (out->key_share_count = 0; !shares.empty(); ++out->key_share_count) {
    if (out->key_share_count == kMaxOfferedGroups || !shares.number(2, &group) ||
        !shares.piece(2, &key))
      return false;
    out->key_shares[out->key_share_count] = static_cast<uint16_t>(group);
  }
  return true;
}

bool offers(const uint16_t *groups, size_t count, uint16_t group) {
  for (size_t i = 0; i < count; ++i)
    if (groups[i] == group) return true;
  return false;
}

struct SslDeleter {
  void operator()(SSL *ssl) const { SSL_free(ssl); }
};
using Ssl = std::unique_ptr<SSL, SslDeleter>;

const char *library_name(uint16_t group, void *ssl) {
  return SSL_group_to_name(static_cast<SSL *>(ssl), static_cast<int>(TLSEXT_nid_unknown | group));
}

// The version of the OpenSSL in this process: "3.0.19" of "OpenSSL 3.0.19 27 Jan 2026".
std::string_view openssl_version() {
  std::string_view text = OpenSSL_version(OPENSSL_VERSION);
  if (text.substr(0, 8) != "OpenSSL ") return {};
  text.remove_prefix(8);
  return text.substr(0, text.find(' '));
}

}  // namespace

void log_groups_not_taken(const char *list) {
  if (print_flag)
    log_print("TLS groups [%s] not taken by the TLS library: sent with its own groups\n", list);
}

bool read_client_hello_groups(std::string_view records, OfferedGroups *out) {
  Cursor all(records);
  Cursor record(std::string_view{}), hello(std::string_view{}), list(std::string_view{});
  size_t type = 0;
  if (!all.number(1, &type) || type != kHandshakeRecord || !all.skip(2) || !all.piece(2, &record))
    return false;
  if (!record.number(1, &type) || type != kClientHello || !record.piece(3, &hello)) return false;
  Cursor skipped(std::string_view{}), extensions(std::string_view{});
  if (!hello.skip(2 + 32) || !hello.piece(1, &skipped) || !hello.piece(2, &skipped) ||
      !hello.piece(1, &skipped) || !hello.piece(2, &extensions))
    return false;
  bool groups_read = false;
  out->count = out->key_share_count = 0;
  while (!extensions.empty()) {
    Cursor data(std::string_view{});
    if (!extensions.number(2, &type) || !extensions.piece(2, &data)) return false;
    if (type == kSupportedGroups) {
      if (!data.piece(2, &list) || !read_group_list(list, out->groups, &out->count)) return false;
      groups_read = true;
    } else if (type == kKeyShare) {
      if (!data.piece(2, &list) || !read_key_shares(list, out)) return false;
    }
  }
  return groups_read && out->count > 0;
}

bool groups_with_brainpool(const OfferedGroups &offered, bool mark_key_shares, GroupNamer name_of,
                           void *context, char *out, size_t size) {
  size_t used = 0;
  auto add = [&](uint16_t group) {
    const char *name = name_of(group, context);
    if (name == nullptr) return false;
    bool share = mark_key_shares && offers(offered.key_shares, offered.key_share_count, group);
    int n =
        snprintf(out + used, size - used, "%s%s%s", used == 0 ? "" : ":", share ? "*" : "", name);
    if (n < 0 || static_cast<size_t>(n) >= size - used) return false;
    used += static_cast<size_t>(n);
    return true;
  };
  if (size == 0) return false;
  out[0] = '\0';
  bool ok = true;
  for (size_t i = 0; ok && i < offered.count; ++i) ok = add(offered.groups[i]);
  if (ok && !offers(offered.groups, offered.count, kGroupBrainpoolP256r1))
    ok = add(kGroupBrainpoolP256r1);
  if (!ok) out[0] = '\0';
  return ok;
}

GroupsPath groups_path() {
  const curl_version_info_data *curl = curl_version_info(CURLVERSION_NOW);
  std::string_view backend =
      curl != nullptr && curl->ssl_version != nullptr ? curl->ssl_version : "";
  std::string_view ours = openssl_version();
  // The context libcurl hands over belongs to its TLS library: only the very
  // OpenSSL this process calls may read and change it.
  if (!ours.empty() && backend.substr(0, 8) == "OpenSSL/" && backend.substr(8) == ours)
    return GroupsPath::kLibraryContext;
  return GroupsPath::kFixedList;
}

CURLcode offer_brainpool(CURL *, void *ssl_ctx, void *) {
  auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
  char list[kGroupListSize] = {};
  // The ClientHello this context would send, written into memory: what the
  // library's defaults and the platform's configuration offer, key shares
  // included. Nothing reaches the network.
  OfferedGroups offered{};
  bool read = false;
  Ssl probe(SSL_new(ctx));
  BIO *in = BIO_new(BIO_s_mem());
  BIO *out = BIO_new(BIO_s_mem());
  if (probe && in != nullptr && out != nullptr) {
    SSL_set_bio(probe.get(), in, out);
    in = out = nullptr;
    SSL_set_connect_state(probe.get());
    (void)SSL_do_handshake(probe.get());
    char *hello = nullptr;
    long bytes = BIO_get_mem_data(SSL_get_wbio(probe.get()), &hello);
    read = bytes > 0 &&
           read_client_hello_groups(std::string_view(hello, static_cast<size_t>(bytes)), &offered);
  }
  BIO_free(in);
  BIO_free(out);
  bool marks = OpenSSL_version_num() >= 0x30500000L;
  bool named =
      read && groups_with_brainpool(offered, marks, library_name, probe.get(), list, sizeof list);
  probe.reset();
  if (!named) {
    // What the context offers cannot be told: the fixed list, as before.
    if (SSL_CTX_set1_groups_list(ctx, kFixedTlsGroups) != 1) log_groups_not_taken(kFixedTlsGroups);
    return CURLE_OK;
  }
  if (offers(offered.groups, offered.count, kGroupBrainpoolP256r1)) return CURLE_OK;
  if (SSL_CTX_set1_groups_list(ctx, list) != 1) log_groups_not_taken(list);
  return CURLE_OK;
}
