#include "https_relay.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "globals.h"
#include "peer_text.h"
#include "run_log.h"

namespace {

constexpr size_t kUrlSize = 1024;
constexpr long kTransferTimeoutSeconds = 30;

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
  CURLcode res = curl_easy_perform(curl.get());
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
