#include <cstdio>
#include <cstring>

#include "globals.h"
#include "https_relay.h"
#include "notification_cmds.h"
#include "profile_cmds.h"
#include "radio.h"
#include "record_store.h"
#include "run_log.h"
#include "workflows.h"

namespace {
constexpr int kCleanupPasses = 10;
}  // namespace

void log_store_failure() {
  const char *why = record_store_failure();
  if (why[0] != '\0') log_print("Error: record store: %s\n", why);
}

int removal_workflow() {
  log_print("=== eSIM Delete Tool===\n");
  log_print("Channel ID: %d\n", chan_id);
  log_print("Dev ID: %s/%d\n", dev_dir, chan_id);
  log_print("ICCID: %s\n", iccid);
  log_print("Disable flag: %s\n", disable_flag ? "Yes" : "No");

  log_stage("radio off");
  send_at_cfun_max();

  // The notification goes to the server that installed the profile, which
  // only the record knows.
  log_stage("record lookup");
  memset(at_http_ip, 0, sizeof at_http_ip);
  memset(at_http_path, 0, sizeof at_http_path);
  if (get_http_info(chan_id, iccid, at_http_ip, at_http_path) < 0) {
    log_failure(kRemoveLookupFailed, "Error: Get http info failed. ret=%d\n");
    log_store_failure();
    return kRemoveLookupFailed;
  }
  if (at_http_ip[0] == '\0' || at_http_path[0] == '\0')
    return log_failure(kRemoveRecordIncomplete,
                       "Error: at_http_ip [%s] or at_http_path [%s] is NULL. ret=%d\n", at_http_ip,
                       at_http_path);

  if (disable_flag) log_stage("disabling the profile");
  if (disable_flag && send_at_disable_esim(iccid) != 0)
    return log_failure(kRemoveDisableFailed, "Error: Failed to disable eSIM, ret=%d\n");
  if (!donot_delete_flag) log_stage("deleting the profile");
  if (!donot_delete_flag && send_at_delete_esim(iccid) != 0)
    return log_failure(kRemoveDeleteFailed, "Error: Failed to delete eSIM, ret=%d\n");
  log_stage("notification list");
  if (send_at_ntf_list_delete(iccid) != 0)
    return log_failure(kRemoveNtfListFailed, "Error: Failed to get notification list, ret=%d\n");
  log_stage("notification fetch");
  if (send_at_ntf_get() != 0)
    return log_failure(kRemoveNtfGetFailed, "Error: Failed to get notification data, ret=%d\n");

  log_stage("notification to the server");
  if (print_flag) log_print("\n=== Sending Delete Notification ===\n");
  if (send_http(at_http_ip, at_http_path, http_payload, 1) == 0)
    return log_failure(kRemoveNotifyFailed, "Error: HTTP notification request failed, ret=%d\n");

  // From here on the profile is gone and the server told: failures are only logged.
  log_stage("notification delete");
  if (send_at_ntf_delete(req_id) != 0)
    log_failure(kRemoveNtfDeleteFailed, "Error: Failed to ntf_delete req_id, ret=%d\n");

  int ntf_count = kCleanupPasses;
  while (ntf_count--) {
    char stage[32];
    snprintf(stage, sizeof stage, "clean-up pass %d", kCleanupPasses - ntf_count);
    log_stage(stage);
    memset(req_id, 0, sizeof req_id);
    if (send_at_ntf_list(iccid, req_id, sizeof req_id) != 0) break;
    if (send_at_ntf_delete(req_id) != 0) {
      log_print("Error: Continue to ntf_delete req_id, ret=%d, count=%d\n",
                kRemoveCleanupDeleteFailed, kCleanupPasses - ntf_count);
      break;
    }
  }

  log_stage("forgetting the record");
  if (delete_http_info(chan_id, iccid) < 0) {
    log_failure(kRemoveForgetRecordFailed, "Error: Get http info failed. ret=%d\n");
    log_store_failure();
  }

  log_stage("radio back to full function");
  send_end_at();
  log_end("done");
  puts("eSIM Remove Completed");
  if (print_flag) log_print("eSIM Remove Completed\n");
  return kResultOk;
}
