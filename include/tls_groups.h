// The key exchange groups a request offers: those the TLS library and the
// platform's OpenSSL configuration offer on their own, with brainpoolP256r1
// added when they lack it. Profile servers hold TLS certificates on P-256 or
// on brainpoolP256r1, and in TLS 1.2 a server may use an ECDSA certificate
// only on a curve the client lists.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// The most groups (and key shares) read from one ClientHello; OpenSSL knows
// about 40 groups in all.
constexpr size_t kMaxOfferedGroups = 64;
// The IANA code point of brainpoolP256r1 in TLS 1.2's sense.
constexpr uint16_t kGroupBrainpoolP256r1 = 26;
// The room for a group list as OpenSSL takes it: names of at most 20
// characters, a ':' and a key share mark each.
constexpr size_t kGroupListSize = kMaxOfferedGroups * 24;

// What a ClientHello offers: its supported_groups in order, and the groups
// of its key shares in order (TLS 1.3).
struct OfferedGroups {
  uint16_t groups[kMaxOfferedGroups];
  size_t count;
  uint16_t key_shares[kMaxOfferedGroups];
  size_t key_share_count;
};

// Reads the ClientHello at the start of `records` (TLS records as a client
// writes them, the hello in the first one). True when a whole ClientHello
// with a supported_groups extension was read; false for anything else
// (another record or message, a cut or malformed hello, more groups than
// kMaxOfferedGroups), and `out` is then not to be used. Nothing past
// `records` is read.
bool read_client_hello_groups(std::string_view records, OfferedGroups *out);

// A group's name as the TLS library takes it in a group list, or null.
using GroupNamer = const char *(*)(uint16_t group, void *context);

// Writes into `out` (of `size` bytes) the group list that offers `offered`
// in its order and brainpoolP256r1 last, unless it is already offered. With
// `mark_key_shares` (OpenSSL 3.5 and later) each key share's group is marked
// with '*', so the same key shares go out. False, with `out` empty, when a
// group has no name or the list does not fit.
bool groups_with_brainpool(const OfferedGroups &offered, bool mark_key_shares, GroupNamer name_of,
                           void *context, char *out, size_t size);

// How a request's groups are chosen: through the TLS library's own context
// (libcurl on the OpenSSL that esimctl is linked with), or as a fixed list
// with a second try without it (any other TLS library, or a libcurl that
// cannot hand the context over).
enum class GroupsPath { kLibraryContext, kFixedList };
GroupsPath groups_path();

// The fixed list of the second path: OpenSSL 3.0's defaults in their order,
// with brainpoolP256r1 last.
extern const char kFixedTlsGroups[];

// Logs, when print_flag is set, that the TLS library refused the group list
// `list`: "TLS groups [<list>] not taken by the TLS library: sent with its
// own groups".
void log_groups_not_taken(const char *list);

// CURLOPT_SSL_CTX_FUNCTION: adds brainpoolP256r1 to what the context would
// offer. The context is left as it is when the library cannot say what it
// offers or refuses the list (logged by log_groups_not_taken). Always
// CURLE_OK: the request then goes with the library's own groups.
CURLcode offer_brainpool(CURL *curl, void *ssl_ctx, void *unused);
