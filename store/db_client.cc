// The one place that starts the database client: the fuzz targets bring
// their own exec_cmd, so this unit holds nothing else.
#include <cerrno>
#include <cstdio>
#include <memory>

#include "record_store.h"

namespace {

struct PipeCloser {
  void operator()(FILE *stream) const { pclose(stream); }
};

}  // namespace

int exec_cmd(const char *cmd, int len, char *result) {
  std::unique_ptr<FILE, PipeCloser> pipe(popen(cmd, "r"));
  if (!pipe) {
    // The caller logs why the client did not start.
    int err = errno;
    printf("exec cmd faild, cmd:\"%s\"", cmd);
    errno = err;
    return -11;
  }
  if (result != nullptr && len > 0) {
    // One byte stays free so that the text always ends inside the buffer.
    size_t room = static_cast<size_t>(len) - 1;
    size_t got = 0;
    while (got < room) {
      size_t n = fread(result + got, 1, room - got, pipe.get());
      if (n == 0) break;
      got += n;
    }
    result[got] = '\0';
  }
  return 0;
}
