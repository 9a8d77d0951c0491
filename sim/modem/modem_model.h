// The simulated modem as a device: functionality level, echo, and an eUICC
// with its EID, profiles and pending notifications. It turns one command
// line into one reply text, handing the download commands to its
// DownloadDialogue; the program around it (sim_modem.cc) owns the pty, the
// timing and the fault injection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "download_dialogue.h"
#include "sim_util.h"

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
  // The eUICC's EID; empty: the channel's own (channel_eid).
  std::string eid;
  std::string firmware = "SIMMODEM01R02A03_01.002.01.002";
  int cfun = 1;
  bool echo = false;
  std::vector<Profile> profiles;
  std::vector<Notification> notifications;
  std::string next_iccid = "89882470000000000017";
  bool newest_first = false;  // the list shows the newest profile first
  // The list's first line after "list": "status" (`"list",0,N`), "count"
  // (`"list",N`) or "bare" (`"list"` alone).
  std::string list_head = "status";
  // A notification line: "quoted" (`"ntf",SEQ,"ICCID","EVENT","ADDRESS"`),
  // "unquoted" (`"ntf_list",SEQ,ICCID,EVENT-NUMBER`) or "seq-last"
  // (`"ICCID",SEQ`).
  std::string ntf_line = "quoted";
  bool eid_unquoted = false;           // the EID after its status without quotes
  int delete_notifications = 1;        // notifications a delete leaves behind
  bool endless_notifications = false;  // deleting one leaves another
  // A host named as the last member of every request after the first, so a
  // host that read it from there would go elsewhere; empty: none.
  std::string later_host;
  // The request path of each request is this, then the ES9+ function name.
  std::string path_prefix = "/gsma/rsp2/es9plus/";
  // The request that ends a download comes with an empty path ("").
  bool empty_notification_path = false;
  uint64_t seed = 0;
};

// The EID of the eUICC on `channel` when none is given: the same
// manufacturer's number with the channel in digits 27-30, so each modem of a
// gateway has its own ("89049032000001000000000000000107" on channel 1).
std::string channel_eid(int channel);

// The kind of a command line. AT+QESIM= commands are kinds of their own by
// sub-command, a trans chunk split by whether more follows; an AT+QESIM=
// with a sub-command the modem does not know, or arguments that do not
// split, is kUnknown like any other unknown command.
enum class CommandKind {
  kAt,
  kAte,
  kCfunQuery,
  kCfunSet,
  kQgmr,
  kEid,
  kDownload,
  kTrans,
  kTransLast,
  kList,
  kEnable,
  kDisable,
  kDelete,
  kNtfList,
  kNtfGet,
  kNtfDelete,
  kUnknown,
};

CommandKind command_kind(const std::string &line);

// The kind's name, which faults are attached to and transcripts show:
// at, ate, cfun_query, cfun_set, qgmr, eid, download, trans, trans_last,
// list, enable, disable, delete, ntf_list, ntf_get, ntf_delete, unknown.
const char *command_kind_name(CommandKind kind);

class ModemModel : private DownloadDialogue::Store {
 public:
  explicit ModemModel(ModemSettings settings);
  // The dialogue keeps pointers into the model.
  ModemModel(const ModemModel &) = delete;
  ModemModel &operator=(const ModemModel &) = delete;

  // Reply to one command line (its line end taken off). A non-empty
  // `status` replaces the QESIM status the command would have got, and the
  // command then changes nothing; for cfun_query it is the level reported.
  // `install_status` replaces the status of the "download" line that ends a
  // download; the profile is then not installed.
  std::string answer(const std::string &line, const std::string &status = "",
                     const std::string &install_status = "");

  const ModemSettings &state() const { return s_; }
  bool echo() const { return s_.echo; }
  DownloadStage download_stage() const { return dialogue_.stage(); }

 private:
  std::string qesim(CommandKind kind, const std::vector<std::string> &args,
                    const std::string &status, const std::string &install_status);
  std::string list(const std::string &status);
  std::string set_state(CommandKind kind, const std::vector<std::string> &args,
                        const std::string &status);
  std::string ntf_list(const std::vector<std::string> &args, const std::string &status);
  std::string ntf_get(const std::vector<std::string> &args, const std::string &status);
  std::string ntf_delete(const std::vector<std::string> &args, const std::string &status);
  void queue_notification(const std::string &iccid, const std::string &event,
                          const std::string &address = "");
  std::string install(const std::string &matching_id, bool enable,
                      const std::string &address) override;

  ModemSettings s_;
  Filler filler_;
  long seq_counter_ = 0;
  DownloadDialogue dialogue_;
};

// Splits the arguments of AT+QESIM=...: quoted texts lose their quotes,
// bare words stay as they are. False on an unterminated quote.
bool split_qesim_args(const std::string &text, std::vector<std::string> *args);

// The ICCID that follows `iccid` (its digits before any trailing F, plus one).
std::string next_iccid(const std::string &iccid);

}  // namespace sim
