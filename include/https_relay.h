// One HTTPS POST to the profile server per request.
#pragma once

#include <cstddef>

// The answer accumulator: `data` holds `size` bytes and a NUL, or is null.
struct curl_response {
  char *data;
  size_t size;
};

// POSTs `http_data` to "https://<http_ip><http_path>". With `notify_flag` 1
// (a notification request) only an HTTP status of 200-299 counts; otherwise
// (an exchange request) a body of 1-65535 bytes counts and lands in
// http_payload as lowercase hex. 1 on success, 0 on failure; http_payload is
// untouched on every failure.
//
// The server certificate is not verified and redirects are not followed; the
// whole transfer may take 30 s. When no answer bytes arrived, the verbose
// "HTTP Response" line shows empty brackets. A request whose header list
// cannot be built fails (logged as "Error: goto curl_slist_append failed."),
// since without its Content-Type the server would not read the body as JSON;
// option setting results are not examined.
int send_http(const char *http_ip, const char *http_path, const char *http_data, int notify_flag);

// libcurl write function: appends the delivery to the accumulator. Returns
// the count consumed; 0 when memory runs out (the block is kept for the
// owner to free) and SIZE_MAX without an accumulator, both of which make
// libcurl end the transfer with a write error.
size_t curl_callback(void *contents, size_t size, size_t nmemb, void *userp);

// Writes `binary_len` bytes as 2 * binary_len lowercase hex digits and a NUL.
void string_to_hex(const char *binary_data, size_t binary_len, char *hex_string);
