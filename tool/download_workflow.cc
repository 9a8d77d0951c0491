#include <cstdio>
#include <cstring>

#include "download_cmds.h"
#include "globals.h"
#include "https_relay.h"
#include "profile_cmds.h"
#include "radio.h"
#include "record_store.h"
#include "run_log.h"
#include "workflows.h"

namespace {

// One relayed exchange: the modem's request goes to the server, the server's
// answer back to the modem.
struct RelayStep {
  const char *stage;
  const char *header;
  int at_timeout;
  int download_flag;
  WorkflowResult http_failed;
  WorkflowResult trans_failed;
  WorkflowResult status_failed;  // kResultOk: send_at_trans judges the status itself
  const char *status_message;    // with at_status and the code
};

const RelayStep kSteps[] = {
    {"Step 1: initiateAuthentication", "\n=== Step 1: initiateAuthentication ===\n", 5, 0,
     kStep1HttpFailed, kStep1TransFailed, kStep1StatusNotZero, "Error: at_status %s, ret=%d\n"},
    {"Step 2: authenticateClient", "\n=== Step 2: authenticateClient ===\n", 5, 0, kStep2HttpFailed,
     kStep2TransFailed, kStep2StatusNotZero, "Error: at_status %s,ret=%d\n"},
    {"Step 3: getBoundProfilePackage", "\n=== Step 3: getBoundProfilePackage ===\n", 20, 1,
     kStep3HttpFailed, kStep3TransFailed, kResultOk, nullptr},
};

int relay(const RelayStep &step) {
  log_stage(step.stage);
  if (print_flag) log_print("%s", step.header);
  if (send_http(at_http_ip, at_http_path, at_payload, 0) == 0)
    return log_failure(step.http_failed, "Error: goto send_http failed, ret=%d\n");
  // A field missing from the modem's next reply must read as empty, not as
  // the previous request's. The host learned from the download command stays.
  at_status[0] = '\0';
  at_payload[0] = '\0';
  at_http_path[0] = '\0';
  if (send_at_trans(http_payload, step.at_timeout, step.download_flag) != 0)
    return log_failure(step.trans_failed, "Error: goto send_at_trans failed, ret=%d\n");
  if (step.status_failed != kResultOk && strcmp(at_status, "0") != 0)
    return log_failure(step.status_failed, step.status_message, at_status);
  http_payload[0] = '\0';
  return kResultOk;
}

}  // namespace

int download_workflow() {
  if (print_flag) {
    log_print("=== eSIM Download Tool===\n");
    log_print("Channel ID: %d\n", chan_id);
    log_print("Dev ID: %s/%d\n", dev_dir, chan_id);
    log_print("Active Code: %s\n", active_code);
  }

  log_stage("radio preparation");
  send_prev_at();

  log_stage("download command");
  if (send_at_download(active_code) != 0)
    return log_failure(kDownloadCommandFailed, "Error goto send_at_download failed. ret=%d\n");
  if (strcmp(at_status, "0") != 0)
    return log_failure(kDownloadStatusNotZero, "Error: at_status %s, ret=%d\n", at_status);
  if (print_flag) log_print("Success: at_status is %s\n", at_status);

  for (const RelayStep &step : kSteps) {
    int ret = relay(step);
    if (ret != 0) return ret;
  }

  log_stage("Step 4: notify");
  if (print_flag) log_print("\n=== Step 4: notify ===\n");
  if (send_http(at_http_ip, at_http_path, at_payload, 1) == 0)
    return log_failure(kNotifyHttpFailed, "Error: goto send_http failed, ret=%d\n");

  log_stage("profile list");
  memset(iccid, 0, sizeof iccid);
  if (send_at_list(iccid, sizeof iccid) < 0)
    return log_failure(kListFailed, "Error: goto send_at_list failed, ret=%d\n");
  // The profile is installed whatever happens to its record.
  log_stage("saving the record");
  if (save_http_info(chan_id, iccid, at_http_ip, at_http_path) < 0) {
    log_failure(kSaveRecordFailed, "Error: goto save_http_info failed, ret=%d\n");
    log_store_failure();
  }

  log_stage("radio back to full function");
  send_end_at();
  log_end("done");
  printf("eSim Download Completed, iccid: [%s]\n", iccid);
  if (print_flag) log_print("eSim Download Completed, iccid: [%s]\r\n", iccid);
  return kResultOk;
}
