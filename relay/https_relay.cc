#include "https_relay.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "globals.h"
#include "json_owner.h"
#include "peer_text.h"
#include "run_log.h"
#include "tls_groups.h"

namespace {

constexpr size_t kUrlSize = 1024;
constexpr long kTransferTimeoutSeconds = 30;

// The longest piece of each peer field that the server status entry shows.
constexpr size_t kStatusShown = 64;
constexpr size_t kCodeShown = 32;
constexpr size_t kMessageShown = 256;
// Room for four log-safe fields; what they really hold stays far below an
// entry's limit.
constexpr size_t kStatusLineSize = 4 * sizeof(LogSafeText::text) + 64;

struct EasyHandleDeleter {
  void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
struct HeaderListDeleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyHandleDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;

// Owns the answer block that curl_callback grows during one request.
class Accumulator {
 public:
  Accumulator(size_t limit, bool cut_off) {
    response_.limit = limit;
    response_.cut_off = cut_off;
  }
  ~Accumulator() { release(); }
  Accumulator(const Accumulator &) = delete;
  Accumulator &operator=(const Accumulator &) = delete;
  curl_response *get() { return &response_; }
  const curl_response &operator*() const { return response_; }
  // True when the answer was refused for passing a cut-off limit.
  bool cut() const { return response_.cut_off && response_.received > response_.limit; }
  void release() {
    free(response_.data);
    response_.data = nullptr;
    response_.size = 0;
  }

 private:
  curl_response response_{nullptr, 0, 0, false, 0};
};

// Appends one header, keeping the list owned whatever libcurl answers: on a
// failed append libcurl gives null but leaves the old list alive.
bool append_header(HeaderList &headers, const char *line) {
  curl_slist *grown = curl_slist_append(headers.get(), line);
  if (grown == nullptr) return false;
  (void)headers.release();
  headers.reset(grown);
  return true;
}

// A host name's characters only: anything else (an '@', a ':', a '/') would
// let the text after it choose the server, and so would no host at all
// ("https:///evil.example:8443/x" is read as that host).
bool host_allowed(const char *host) {
  if (host == nullptr || host[0] == '\0') return false;
  for (const char *p = host; *p != '\0'; ++p)
    if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.') return false;
  return true;
}

bool path_allowed(const char *path) {
  return path != nullptr && (path[0] == '\0' || path[0] == '/');
}

// Runs the transfer with brainpoolP256r1 among the offered groups. On
// libcurl over the OpenSSL this process links, the library's own context gets
// it beside what it offers (tls_groups.h). Elsewhere the fixed list goes
// first: a TLS library that cannot take it (an OpenSSL built without
// brainpool curves) refuses it while the connection is set up, before a byte
// of the handshake is sent, and libcurl answers CURLE_SSL_CIPHER; a libcurl
// that does not know the option refuses it at once. Either way the request
// goes with the library's own groups, within what is left of its time, so
// the list never fails a request that would have gone through without it.
CURLcode perform_offering_brainpool(CURL *curl) {
  if (groups_path() == GroupsPath::kLibraryContext &&
      curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, offer_brainpool) == CURLE_OK)
    return curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, nullptr);
  if (curl_easy_setopt(curl, CURLOPT_SSL_EC_CURVES, kFixedTlsGroups) != CURLE_OK)
    return curl_easy_perform(curl);
  auto start = std::chrono::steady_clock::now();
  CURLcode res = curl_easy_perform(curl);
  if (res != CURLE_SSL_CIPHER) return res;
  log_groups_not_taken(kFixedTlsGroups);
  auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  long left_ms = kTransferTimeoutSeconds * 1000 - static_cast<long>(spent.count());
  if (left_ms <= 0) return CURLE_OPERATION_TIMEDOUT;
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, left_ms);
  curl_easy_setopt(curl, CURLOPT_SSL_EC_CURVES, nullptr);
  return curl_easy_perform(curl);
}

// The body of an answer read with its header lines (a notification's): what
// follows the last header block; an interim 1xx answer brings one of its own.
std::string_view answer_body(std::string_view text, bool with_headers) {
  while (with_headers && text.substr(0, 5) == "HTTP/") {
    size_t end = text.find("\r\n\r\n");
    if (end == std::string_view::npos) return {};
    text.remove_prefix(end + 4);
  }
  return text;
}

// The text of a string member, at most `shown` bytes of it; empty for a
// member that is missing or not a string.
void bounded_member(const cJSON *object, const char *name, size_t shown, char *out) {
  const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
  const char *text = cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
  snprintf(out, shown + 1, "%s", text);
}

// A refusal is an answer that reads well over HTTP (the server gives 200)
// but whose JSON says the function was not executed; the modem turns it into
// a bare status, so the server's own words are kept in the run log and on
// the progress line. Nothing else of the answer is judged.
void tell_server_status(std::string_view body) {
  Json root(cJSON_ParseWithLength(body.data(), body.size()));
  const cJSON *header = cJSON_GetObjectItemCaseSensitive(root.get(), "header");
  const cJSON *execution = cJSON_GetObjectItemCaseSensitive(header, "functionExecutionStatus");
  const cJSON *status = cJSON_GetObjectItemCaseSensitive(execution, "status");
  if (!cJSON_IsObject(root.get()) || !cJSON_IsString(status) || status->valuestring == nullptr ||
      strcmp(status->valuestring, "Executed-Success") == 0)
    return;

  char shown_status[kStatusShown + 1];
  bounded_member(execution, "status", kStatusShown, shown_status);
  char line[kStatusLineSize];
  const cJSON *codes = cJSON_GetObjectItemCaseSensitive(execution, "statusCodeData");
  if (cJSON_IsObject(codes)) {
    char subject[kCodeShown + 1];
    char reason[kCodeShown + 1];
    char message[kMessageShown + 1];
    bounded_member(codes, "subjectCode", kCodeShown, subject);
    bounded_member(codes, "reasonCode", kCodeShown, reason);
    bounded_member(codes, "message", kMessageShown, message);
    snprintf(line, sizeof line, "Server status: %s, subject %s, reason %s: %s",
             log_safe(shown_status).text, log_safe(subject).text, log_safe(reason).text,
             log_safe(message).text);
  } else {
    snprintf(line, sizeof line, "Server status: %s", log_safe(shown_status).text);
  }
  log_print("%s\n", line);
  log_note(line);
}

}  // namespace

size_t curl_callback(void *contents, size_t size, size_t nmemb, void *userp) {
  auto *mem = static_cast<curl_response *>(userp);
  if (mem == nullptr) return SIZE_MAX;
  // libcurl never hands over more than CURL_MAX_WRITE_SIZE at once; a count
  // whose product would wrap is refused all the same.
  if (size != 0 && nmemb > SIZE_MAX / size) return 0;
  size_t realsize = size * nmemb;
  mem->received = realsize <= SIZE_MAX - mem->received ? mem->received + realsize : SIZE_MAX;

  size_t keep = realsize;
  if (mem->limit != 0 && keep > mem->limit - mem->size) {
    if (mem->cut_off) return 0;
    keep = mem->limit - mem->size;
  }
  if (keep == 0) return realsize;

  // A count that cannot be represented is as fatal as an allocator refusal.
  char *grown = nullptr;
  if (keep <= SIZE_MAX - mem->size - 1)
    grown = static_cast<char *>(realloc(mem->data, mem->size + keep + 1));
  if (grown == nullptr) {
    log_print("Error: realloc failed.\n");
    return 0;
  }
  mem->data = grown;
  memcpy(mem->data + mem->size, contents, keep);
  mem->size += keep;
  mem->data[mem->size] = '\0';
  return realsize;
}

void string_to_hex(const char *binary_data, size_t binary_len, char *hex_string) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < binary_len; ++i) {
    auto byte = static_cast<unsigned char>(binary_data[i]);
    hex_string[2 * i] = kDigits[byte >> 4];
    hex_string[2 * i + 1] = kDigits[byte & 0x0f];
  }
  hex_string[2 * binary_len] = '\0';
  if (print_flag) log_print("after hex data: [%s]\n", hex_string);
}

int send_http(const char *http_ip, const char *http_path, const char *http_data, int notify_flag) {
  Accumulator body(notify_flag == 1 ? kNotificationKeptBytes : kMaxAnswerBytes, notify_flag != 1);
  HeaderList headers;
  char url[kUrlSize] = {};

  if (print_flag) log_print("Send Http Request.\n");
  if (!host_allowed(http_ip)) {
    log_print("Error: server host [%s] refused: only letters, digits, '-' and '.' may name it\n",
              log_safe(http_ip).text);
    return 0;
  }
  if (!path_allowed(http_path)) {
    log_print("Error: server path [%s] refused: it must be empty or begin with '/'\n",
              log_safe(http_path).text);
    return 0;
  }
  snprintf(url, sizeof url, "https://%s%s", http_ip, http_path);
  if (print_flag) {
    log_print("URL: %s\n", url);
    log_print("Data: %s\n", http_data);
  }

  EasyHandle curl(curl_easy_init());
  if (!curl) {
    log_print("Error: goto curl_easy_init failed.\n");
    return 0;
  }

  curl_easy_setopt(curl.get(), CURLOPT_URL, url);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, http_data);
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(http_data)));
  // Without both headers libcurl would announce a form body; the server
  // would then refuse the request, so a lost header fails it here instead.
  if (!append_header(headers, "Content-Type: application/json") ||
      !append_header(headers, "Accept: */*")) {
    log_print("Error: goto curl_slist_append failed.\n");
    return 0;
  }
  curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "curl/7.60.0");
  curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
  if (tls_ca_file[0] == '\0') {
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
  } else {
    // That file alone: no CA folder, so nothing of the system's store counts.
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl.get(), CURLOPT_CAINFO, tls_ca_file);
    curl_easy_setopt(curl.get(), CURLOPT_CAPATH, nullptr);
  }
  curl_easy_setopt(curl.get(), CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, curl_callback);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, body.get());
  if (notify_flag == 1) curl_easy_setopt(curl.get(), CURLOPT_HEADER, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kTransferTimeoutSeconds);

  log_wait(notify_flag == 1 ? "the profile server to take the notification"
                            : "the profile server's answer",
           static_cast<int>(kTransferTimeoutSeconds));
  CURLcode res = perform_offering_brainpool(curl.get());
  // An answer too large to use ends its transfer early, but is reported as
  // one that was read whole and then refused.
  if (res != CURLE_OK && !(res == CURLE_WRITE_ERROR && body.cut())) {
    log_print("Error: Http request failed. %s\n", curl_easy_strerror(res));
    return 0;
  }

  long response_code = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &response_code);
  // An answer without any bytes shows as empty brackets.
  if (print_flag)
    log_print("HTTP Response: %ld [%s]\n", response_code, (*body).data ? (*body).data : "");
  if ((*body).data != nullptr && !body.cut())
    tell_server_status(answer_body(std::string_view((*body).data, (*body).size), notify_flag == 1));
  headers.reset();
  curl.reset();

  if (notify_flag == 1) return response_code >= 200 && response_code <= 299 ? 1 : 0;

  const curl_response &answer = *body;
  if (body.cut()) {
    log_print("Error: response data is large, %d\n", static_cast<int>(answer.received));
    return 0;
  }
  if (answer.data == nullptr || answer.size == 0) return 0;
  static_assert(2 * kMaxAnswerBytes + 1 <= kHttpPayloadSize, "an answer's hex must fit");
  if (print_flag) {
    log_print("http response[%d][%s]\n", static_cast<int>(answer.size), answer.data);
    log_print("HTTP response data len: %zu\n", answer.size);
  }
  string_to_hex(answer.data, answer.size, http_payload);
  return 1;
}
