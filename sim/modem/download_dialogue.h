// The download dialogue that the simulated eUICC runs with a profile server
// through its host: AT+QESIM="download" starts it, the server's answers come
// back hex-encoded in "trans" chunks, and each complete answer is judged the
// way the eUICC's LPA would before the next request is prepared. At the end
// the profile is installed in the eUICC store, which the dialogue reaches
// only through DownloadDialogue::Store.
#pragma once

#include <string>
#include <vector>

#include "sim_util.h"

struct cJSON;

namespace sim {

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

// Where a download stands: the request whose answer the modem waits for.
enum class DownloadStage {
  kNone,  // no download runs
  kInitiateAuthentication,
  kAuthenticateClient,
  kGetBoundProfilePackage,
};

// The ES9+ function named in the request path of `stage`; "" for kNone.
const char *es9_function(DownloadStage stage);

class DownloadDialogue {
 public:
  // The eUICC store's part at the end of a download.
  class Store {
   public:
    // Installs the downloaded profile (named after `matching_id`, enabled
    // when `enable`), queues its install notification for the server at
    // `address`, and gives that notification's blob.
    virtual std::string install(const std::string &matching_id, bool enable,
                                const std::string &address) = 0;

   protected:
    ~Store() = default;
  };

  // `filler` is the modem's one random stream, shared with the store so
  // that a scenario gives the same bytes run after run; `path_prefix`,
  // `later_host` and `empty_notification_path` are the settings of the same
  // names. Both
  // pointers must outlive the dialogue.
  DownloadDialogue(Filler *filler, Store *store, std::string path_prefix, std::string later_host,
                   bool empty_notification_path);

  // The replies to AT+QESIM="download" and "trans" (arguments as split,
  // the sub-command first). A non-empty `status` replaces the status the
  // command would have got and ends a running download; `install_status`
  // replaces the status of the "download" line that ends a download, and
  // the profile is then not installed.
  std::string download(const std::vector<std::string> &args, const std::string &status);
  std::string trans(const std::vector<std::string> &args, const std::string &status,
                    const std::string &install_status);

  DownloadStage stage() const { return stage_; }

 private:
  std::string take_answer(const std::string &json, const std::string &install_status);
  std::string request(cJSON *req) const;
  std::string install(cJSON *req, const std::string &install_status);
  void add_later_host(cJSON *req) const;
  std::string abort(int status);
  void reset();
  void clear_chunks();

  Filler *filler_;
  Store *store_;
  std::string path_prefix_;
  std::string later_host_;
  bool empty_notification_path_;
  DownloadStage stage_ = DownloadStage::kNone;
  std::string address_;
  std::string matching_id_;
  std::string transaction_id_;
  bool enable_after_install_ = true;
  // The answer's hex text so far, the index the next chunk must carry and
  // the total length the first chunk announced (-1: no chunk yet).
  std::string chunks_;
  int next_index_ = 0;
  long total_ = -1;
};

}  // namespace sim
