// The two modes of esimctl. Each runs its steps in a fixed order over the
// process-wide state and gives 0 or one of its codes from result_codes.h.
#pragma once

#include "result_codes.h"
#include "run_log.h"

// Installs the profile of active_code on chan_id's modem and records its
// server. Codes -11 to -23 stop the run; -24 (the record) is only logged.
int download_workflow();

// Removes the profile iccid from chan_id's modem and tells the server that
// installed it. Codes -1 to -7 stop the run; -8 to -10 are only logged.
int removal_workflow();

// Logs a workflow's error line, whose last placeholder is the code's ret=
// value, and gives the code: each failure site names its code once.
template <typename... Args>
WorkflowResult log_failure(WorkflowResult code, const char *fmt, Args... args) {
  log_print(fmt, args..., static_cast<int>(code));
  return code;
}

// After the failure entry of a record store call: the store's reason, when
// it logged none itself, as an entry of its own ("Error: record store: ...").
void log_store_failure();
