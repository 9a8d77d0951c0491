// The reading of a channel's run logs for esimctl-info: which files are the
// channel's, and the last KiBs of each, handed to last_run_in_log.
#pragma once

#include "last_run.h"

// Finds the last run among channel `chan`'s run logs in folder `dir`: the
// download log esim_add_<chan>.txt and the removal logs
// esim_delete_<chan>_<ICCID>.txt, each also as logrotate's first rotation
// (".1", not yet compressed). Only regular files are read, never through a
// symbolic link, each only its last kRunLogWindow bytes; of a folder with
// many, the 16 written last. False when the channel has no run log
// with an entry. `last_download` (may be null) gets the last run of the
// download logs, found = false when there is none.
bool find_last_run(int chan, const char *dir, LastRun *last, LastRun *last_download = nullptr);
