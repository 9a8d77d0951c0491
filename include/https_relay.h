// One HTTPS POST to the profile server per request.
#pragma once

#include <cstddef>

#include "build_config.h"

// The answer accumulator: `data` holds `size` bytes and a NUL, or is null.
// It never grows past `limit` bytes (0: no limit), so no server can make the
// tool hold more than it will use. With `cut_off` a delivery that would pass
// the limit ends the transfer; without it the rest is read and dropped.
// `received` counts every byte delivered, kept or not.
struct curl_response {
  char *data;
  size_t size;
  size_t limit;
  bool cut_off;
  size_t received;
};

// The CA file that profile server certificates must chain to, with the
// server's name checked too; empty (the default build) checks nothing, since
// the eSIM ecosystem's roots are in no system store. Set by the build
// (ESIMCTL_CA_FILE); only that file is trusted, never the system's store.
extern const char *const tls_ca_file;

// The most an exchange answer may hold (the build's ESIMCTL_ANSWER_LIMIT,
// 65535 by default): two hex digits per byte and the NUL must fit
// http_payload.
constexpr size_t kMaxAnswerBytes = ESIMCTL_ANSWER_LIMIT;
// A notification answer is only logged (and the log cuts its lines), so this
// much of it is kept.
constexpr size_t kNotificationKeptBytes = 2048;

// POSTs `http_data` to "https://<http_ip><http_path>". With `notify_flag` 1
// (a notification request) only an HTTP status of 200-299 counts; otherwise
// (an exchange request) a body of 1 to kMaxAnswerBytes bytes counts and lands in
// http_payload as lowercase hex. 1 on success, 0 on failure; http_payload is
// untouched on every failure.
//
// Host and path come from the modem or the record store, never from the
// operator: a host holding anything but letters, digits, '-' and '.', or a
// path that is not empty and does not begin with '/', could move the request
// to another server ("https://a@b/..."), so it is refused before any request.
//
// An exchange answer that passes kMaxAnswerBytes ends the transfer at once and is
// refused ("Error: response data is large, <bytes received>"); of a
// notification answer only the first kNotificationKeptBytes are kept.
//
// Every request offers the key exchange groups the TLS library and the
// platform's OpenSSL configuration offer, with brainpoolP256r1 added when
// they lack it (tls_groups.h), so that a server holding a brainpool
// certificate can use it. On libcurl over another TLS library the fixed list
// kFixedTlsGroups goes instead, and a library that refuses it gets the
// request sent again without it, within what is left of the 30 s. Either
// refusal is logged when print_flag is set: "TLS groups [...] not taken by
// the TLS library: sent with its own groups".
//
// An exchange or notification answer whose JSON
// header.functionExecutionStatus.status is text other than
// "Executed-Success" adds one entry after "HTTP Response", whatever
// print_flag says: "Server status: <status>, subject <subjectCode>, reason
// <reasonCode>: <message>", or "Server status: <status>" without
// statusCodeData; each field cut (64, 32, 32, 256 bytes) and made log-safe.
// The progress line's last state shows it too. The answer is judged and
// handed on as without it.
//
// The server certificate is verified only against tls_ca_file, when the
// build names one: a missing or unreadable file then fails every request
// with libcurl's own text. Redirects are not followed; the whole transfer may
// take 30 s. When no answer bytes arrived, the verbose
// "HTTP Response" line shows empty brackets. A request whose header list
// cannot be built fails (logged as "Error: goto curl_slist_append failed."),
// since without its Content-Type the server would not read the body as JSON;
// option setting results are not examined, but for the group list's.
int send_http(const char *http_ip, const char *http_path, const char *http_data, int notify_flag);

// libcurl write function: appends the delivery to the accumulator, up to its
// limit. Returns the count consumed; 0 when memory runs out (the block is
// kept for the owner to free) or a cut-off limit is passed (nothing of that
// delivery is kept), and SIZE_MAX without an accumulator: each of these makes
// libcurl end the transfer with a write error.
size_t curl_callback(void *contents, size_t size, size_t nmemb, void *userp);

// Writes `binary_len` bytes as 2 * binary_len lowercase hex digits and a NUL.
void string_to_hex(const char *binary_data, size_t binary_len, char *hex_string);
