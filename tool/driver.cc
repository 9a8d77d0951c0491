#include "driver.h"

#include <curl/curl.h>

#include <cstdio>

#include "at_exchange.h"
#include "globals.h"
#include "options.h"
#include "progress.h"
#include "run_log.h"
#include "workflows.h"

int esimctl_main(int argc, char *argv[]) {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    puts("Error: goto curl_global_init failed");
    return 1;
  }
  if (parse_arguments(argc, argv) != 0) {
    curl_global_cleanup();
    return 1;
  }

  int ret = 0;
  if (delete_mode) {
    if (log_file[0] == '\0')
      snprintf(log_file, sizeof log_file, ESIMCTL_LOG_DIR "/esim_delete_%d_%s.txt", chan_id, iccid);
    log_fd = log_open(log_file);
    progress_begin(chan_id);
    ret = removal_workflow();
  } else {
    if (log_file[0] == '\0')
      snprintf(log_file, sizeof log_file, ESIMCTL_LOG_DIR "/esim_add_%d.txt", chan_id);
    log_fd = log_open(log_file);
    progress_begin(chan_id);
    ret = download_workflow();
  }
  if (ret < 0) {
    char outcome[kLogFileSize + 64];
    snprintf(outcome, sizeof outcome, "failed (result %d, see %s)", ret, log_file);
    progress_end(outcome);
  }

  curl_global_cleanup();
  release_channel();
  log_close(log_fd);
  log_fd = nullptr;
  if (ret < 0) printf("Error: failed cause %d\n", ret);
  fflush(stdout);
  return ret;
}
