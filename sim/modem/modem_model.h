// The simulated modem as a device: functionality level, echo, an eUICC with
// its EID, profiles and pending notifications, and the download dialogue
// that the modem runs with a profile server through its host (esimctl).
// It turns one command line into one reply text; the program around it
// (sim_modem.cc) owns the pty, the timing and the fault injection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_util.h"

struct cJSON;

namespace sim {

struct Profile {
  std::string iccid;
  bool enabled = false;
  std::string name;
};

struct Notification {
  long seq = 0;
  std::string iccid;
  std::string event;    // "install", "enable", "disable" or "delete"
  std::string address;  // the profile server the notification is meant for
  std::string blob;     // the signed notification, base64
};

struct ModemSettings {
  int channel = 1;
  std::string eid = "89049032000001000000000000000107";
  std::string firmware = "SIMMODEM01R02A03_01.002.01.002";
  int cfun = 1;
  bool echo = false;
  std::vector<Profile> profiles;
  std::vector<Notification> notifications;
  std::string next_iccid = "89882470000000000017";
  bool newest_first = false;           // the list shows the newest profile first
  int delete_notifications = 1;        // notifications a delete leaves behind
  bool endless_notifications = false;  // deleting one leaves another
  // A host named as the last member of every request after the first, so a
  // host that read it from there would go elsewhere; empty: none.
  std::string later_host;
  // The request that ends a download comes with an empty path ("").
  bool empty_notification_path = false;
  uint64_t seed = 0;
};

// Status codes of the download dialogue, also used in the README.
enum DialogueStatus {
  kNoSession = 1,
  kChunkOrder = 2,
  kChunkLength = 3,
  kNotLowerHex = 4,
  kNotExpectedAnswer = 5,
  kServerFailed = 6,
  kEuiccNotReady = 7,
  kBadActivationCode = 8,
};

// The kind of a command line, the name faults are attached to:
// at, ate, cfun_query, cfun_set, qgmr, eid, download, trans, trans_last,
// list, enable, disable, delete, ntf_list, ntf_get, ntf_delete, unknown.
std::string command_kind(const std::string &line);

class ModemModel {
 public:
  explicit ModemModel(ModemSettings settings);

  // Reply to one command line (its line end taken off). A non-empty
  // `status` replaces the QESIM status the command would have got, and the
  // command then changes nothing; for cfun_query it is the level reported.
  // `install_status` replaces the status of the "download" line that ends a
  // download; the profile is then not installed.
  std::string answer(const std::string &line, const std::string &status = "",
                     const std::string &install_status = "");

  const ModemSettings &state() const { return s_; }
  bool echo() const { return s_.echo; }
  const std::string &download_stage() const { return stage_; }

 private:
  std::string qesim(const std::vector<std::string> &args, const std::string &status,
                    const std::string &install_status);
  std::string download(const std::vector<std::string> &args, const std::string &status);
  std::string trans(const std::vector<std::string> &args, const std::string &status,
                    const std::string &install_status);
  std::string take_answer(const std::string &json, const std::string &install_status);
  std::string list(const std::string &status);
  std::string set_state(const std::string &what, const std::vector<std::string> &args,
                        const std::string &status);
  std::string ntf_list(const std::vector<std::string> &args, const std::string &status);
  std::string ntf_get(const std::vector<std::string> &args, const std::string &status);
  std::string ntf_delete(const std::vector<std::string> &args, const std::string &status);
  void queue_notification(const std::string &iccid, const std::string &event);
  void add_later_host(cJSON *req) const;
  std::string install_profile();
  void abort_download() {
    stage_.clear();
    chunks_.clear();
    next_index_ = 0;
    total_ = -1;
  }

  ModemSettings s_;
  Filler filler_;
  long seq_counter_ = 0;
  // Download dialogue: the request whose answer the modem waits for, empty
  // when no download runs.
  std::string stage_;
  std::string address_;
  std::string matching_id_;
  std::string transaction_id_;
  bool enable_after_install_ = true;
  std::string chunks_;
  int next_index_ = 0;
  long total_ = -1;
};

// Splits the arguments of AT+QESIM=...: quoted texts lose their quotes,
// bare words stay as they are. False on an unterminated quote.
bool split_qesim_args(const std::string &text, std::vector<std::string> *args);

// The ICCID that follows `iccid` (its digits before any trailing F, plus one).
std::string next_iccid(const std::string &iccid);

}  // namespace sim
