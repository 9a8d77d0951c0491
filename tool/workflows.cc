#include "driver.h"
#include "run_log.h"

// Neither mode is built yet; both refuse to report success.
int download_workflow() {
  log_print("Error: download workflow is not built yet\n");
  return -11;
}

int removal_workflow() {
  log_print("Error: removal workflow is not built yet\n");
  return -1;
}
