// sim_modem: a simulated cellular modem on a pty. It publishes the pty's
// device at --link (a symlink, like /dev/zarn/chn_usb/3), answers AT
// commands line by line, and writes a transcript of every command and reply.
// See sim/README.md for the replies, the options and the faults.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "final_results.h"
#include "modem_faults.h"
#include "modem_model.h"
#include "sim_util.h"

namespace {

volatile sig_atomic_t stopping = 0;
void on_signal(int) {
  stopping = 1;
}

struct Options {
  std::string link;
  std::string transcript;
  double time_factor = 1.0;
  sim::ModemSettings settings;
  std::vector<sim::ModemFault> faults;
  std::string fault_file;
};

// Each delete queues this many notifications at once; more only fills memory.
constexpr int kMaxDeleteNotifications = 1000;

void usage() {
  fprintf(stderr,
          "usage: sim_modem --link PATH [--channel N] [--transcript FILE] [--time-factor F]\n"
          "  [--scenario FILE] [--fault KIND:ACTION,...] [--cfun N] [--echo] [--eid EID]\n"
          "  [--firmware TEXT] [--profile ICCID,enabled|disabled,NAME] [--next-iccid ICCID]\n"
          "  [--notification ICCID,EVENT,ADDRESS] [--list-newest-first]\n"
          "  [--delete-notifications N] [--endless-notifications] [--seed N]\n"
          "  [--later-host NAME] [--empty-notification-path] [--path-prefix TEXT]\n"
          "  [--list-head status|count|bare] [--ntf-line quoted|unquoted|seq-last]\n"
          "  [--eid-unquoted] [--fault-file PATH]\n");
}

bool parse_options(std::vector<std::string> args, Options *o, std::string *err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    auto value = [&](std::string *out) {
      if (i + 1 >= args.size()) {
        *err = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    bool ok = true;
    if (a == "--echo") {
      o->settings.echo = true;
    } else if (a == "--list-newest-first") {
      o->settings.newest_first = true;
    } else if (a == "--endless-notifications") {
      o->settings.endless_notifications = true;
    } else if (a == "--empty-notification-path") {
      o->settings.empty_notification_path = true;
    } else if (a == "--eid-unquoted") {
      o->settings.eid_unquoted = true;
    } else if (!value(&v)) {
      return false;
    } else if (a == "--link") {
      o->link = v;
    } else if (a == "--transcript") {
      o->transcript = v;
    } else if (a == "--channel") {
      ok = sim::parse_number(v, INT_MAX, &o->settings.channel);
    } else if (a == "--time-factor") {
      ok = sim::parse_number(v, sim::kMaxTimeFactor, &o->time_factor);
    } else if (a == "--scenario") {
      std::vector<std::string> more;
      if (!sim::read_scenario_file(v, &more, err)) return false;
      args.insert(args.begin() + (long)i + 1, more.begin(), more.end());
    } else if (a == "--fault") {
      sim::ModemFault f;
      if (!sim::parse_modem_fault(v, &f, err)) return false;
      o->faults.push_back(f);
    } else if (a == "--fault-file") {
      o->fault_file = v;
    } else if (a == "--cfun") {
      // Only the levels AT+CFUN= can set: a modem cannot start at another.
      int level = -1;
      ok = sim::parse_number(v, 4, &level) && level != 2 && level != 3;
      if (ok) o->settings.cfun = level;
    } else if (a == "--eid") {
      o->settings.eid = v;
    } else if (a == "--firmware") {
      o->settings.firmware = v;
    } else if (a == "--list-head") {
      if (v != "status" && v != "count" && v != "bare") {
        *err = "--list-head is status, count or bare: " + v;
        return false;
      }
      o->settings.list_head = v;
    } else if (a == "--ntf-line") {
      if (v != "quoted" && v != "unquoted" && v != "seq-last") {
        *err = "--ntf-line is quoted, unquoted or seq-last: " + v;
        return false;
      }
      o->settings.ntf_line = v;
    } else if (a == "--path-prefix") {
      o->settings.path_prefix = v;
    } else if (a == "--later-host") {
      o->settings.later_host = v;
    } else if (a == "--next-iccid") {
      o->settings.next_iccid = v;
    } else if (a == "--seed") {
      ok = sim::parse_number(v, UINT64_MAX, &o->settings.seed);
    } else if (a == "--delete-notifications") {
      ok = sim::parse_number(v, kMaxDeleteNotifications, &o->settings.delete_notifications);
    } else if (a == "--profile") {
      sim::Profile p;
      size_t c1 = v.find(','), c2 = c1 == std::string::npos ? c1 : v.find(',', c1 + 1);
      p.iccid = v.substr(0, c1);
      std::string state = c1 == std::string::npos ? "disabled" : v.substr(c1 + 1, c2 - c1 - 1);
      p.enabled = state == "enabled" || state == "1";
      p.name = c2 == std::string::npos ? "Profile" : v.substr(c2 + 1);
      o->settings.profiles.push_back(p);
    } else if (a == "--notification") {
      sim::Notification n;
      size_t c1 = v.find(','), c2 = c1 == std::string::npos ? c1 : v.find(',', c1 + 1);
      n.iccid = v.substr(0, c1);
      n.event = c1 == std::string::npos ? "install" : v.substr(c1 + 1, c2 - c1 - 1);
      n.address = c2 == std::string::npos ? "" : v.substr(c2 + 1);
      n.seq = (long)o->settings.notifications.size() + 1;
      sim::Filler f(n.seq);
      n.blob = sim::base64_encode(f.der(std::string("\x30", 1), 140));
      o->settings.notifications.push_back(n);
    } else {
      *err = "unknown option " + a;
      return false;
    }
    if (!ok) {
      *err = "bad number for " + a + ": " + v;
      return false;
    }
  }
  if (o->link.empty()) {
    *err = "--link is required";
    return false;
  }
  return true;
}

// One command line waiting for, or getting, its reply.
struct Exchange {
  std::string cmd;  // as received, with its line end
  sim::CommandKind kind = sim::CommandKind::kUnknown;
  double arrived = 0;
  std::string fault;
  std::vector<sim::Piece> pieces;
  size_t next = 0;
  int64_t due_ms = 0;
  std::string sent;
  double replied = 0;
};

class Modem {
 public:
  Modem(Options o) : o_(std::move(o)), model_(o_.settings), fault_file_(o_.fault_file) {}
  int run();

 private:
  bool plug_in();
  bool replug();
  void reload_fault_file();
  const sim::ModemFault *take(const char *kind);
  void take_input(const char *bytes, size_t n);
  void start_next();
  bool write_all(const std::string &bytes);
  void record(const Exchange &e);

  Options o_;
  sim::ModemModel model_;
  int master_ = -1;
  int slave_ = -1;
  FILE *transcript_ = nullptr;
  std::string line_;
  std::deque<Exchange> queue_;
  bool busy_ = false;
  bool hung_up_ = false;
  int replug_ms_ = -1;
  sim::FaultFile fault_file_;
  std::vector<sim::ModemFault> file_faults_;
};

// Opens a raw pty and publishes its device at the link.
bool Modem::plug_in() {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    perror("sim_modem: openpty");
    return false;
  }
  struct termios raw;
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // Publish through a temporary name so that the link appears complete.
  std::string tmp = o_.link + ".new";
  unlink(tmp.c_str());
  if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), o_.link.c_str()) != 0) {
    fprintf(stderr, "sim_modem: cannot publish %s: %s\n", o_.link.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// A modem plugged in again after a hang-up: a new pty (the old one stays
// closed for whoever held it), the same eUICC. False when told to stop first.
bool Modem::replug() {
  unlink(o_.link.c_str());
  close(master_);
  close(slave_);
  master_ = slave_ = -1;
  for (int64_t back = sim::mono_ms() + replug_ms_; !stopping && sim::mono_ms() < back;)
    poll(nullptr, 0, 50);
  if (stopping || !plug_in()) return false;
  hung_up_ = false;
  replug_ms_ = -1;
  line_.clear();
  return true;
}

int Modem::run() {
  if (!o_.transcript.empty()) {
    transcript_ = fopen(o_.transcript.c_str(), "a");
    if (transcript_ == nullptr) {
      fprintf(stderr, "sim_modem: cannot write %s: %s\n", o_.transcript.c_str(), strerror(errno));
      return 1;
    }
  }
  if (!plug_in()) return 1;
  while (!stopping) {
    int timeout = -1;
    if (busy_) {
      int64_t wait = queue_.front().due_ms - sim::mono_ms();
      timeout = wait < 0 ? 0 : (int)wait;
    }
    struct pollfd p = {master_, POLLIN, 0};
    int r = poll(&p, 1, timeout);
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) take_input(buf, (size_t)n);
    }
    if (busy_ && sim::mono_ms() >= queue_.front().due_ms) {
      Exchange &e = queue_.front();
      const sim::Piece &piece = e.pieces[e.next++];
      write_all(piece.bytes);
      e.sent += piece.bytes;
      e.replied = sim::wall_seconds();
      if (e.next < e.pieces.size()) {
        e.due_ms = sim::mono_ms() + e.pieces[e.next].delay_ms;
      } else {
        record(e);
        queue_.pop_front();
        busy_ = false;
      }
    }
    if (!busy_) start_next();
    if (hung_up_ && (replug_ms_ < 0 || !replug())) break;
  }
  unlink(o_.link.c_str());
  if (hung_up_) {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    // Stay until told to stop, so that the sandbox sees a simulator that ran
    // its course rather than one that died.
    while (!stopping) pause();
  }
  if (transcript_) fclose(transcript_);
  return 0;
}

// Command lines end at CR or LF (S3 and S4 of a modem); an empty line, such
// as the LF behind a CR, is no command.
void Modem::take_input(const char *bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char c = bytes[i];
    if (c != '\r' && c != '\n') {
      line_ += c;
      continue;
    }
    if (line_.empty()) {
      if (!queue_.empty() && c == '\n' && !queue_.back().cmd.empty() &&
          queue_.back().cmd.back() == '\r')
        queue_.back().cmd += c;
      continue;
    }
    Exchange e;
    e.cmd = line_ + c;
    e.arrived = sim::wall_seconds();
    queue_.push_back(e);
    line_.clear();
  }
}

// Works out the reply of the oldest waiting command. Commands are served one
// at a time, as a modem does: a delayed reply holds back the next one.
void Modem::start_next() {
  while (!busy_ && !queue_.empty()) {
    Exchange &e = queue_.front();
    std::string line = e.cmd.substr(0, e.cmd.find_first_of("\r\n"));
    e.kind = sim::command_kind(line);
    std::string echo = model_.echo() ? line + "\r" : "";
    reload_fault_file();
    const sim::ModemFault *fault = take(sim::command_kind_name(e.kind));
    const sim::ModemFault *install = nullptr;
    if (e.kind == sim::CommandKind::kTransLast &&
        model_.download_stage() == sim::DownloadStage::kGetBoundProfilePackage)
      install = take("install");
    if (install != nullptr) e.fault = install->text;
    if (fault != nullptr) e.fault = e.fault.empty() ? fault->text : e.fault + " " + fault->text;
    std::string reply;
    if (fault != nullptr && fault->hangup) {
      // The modem goes away, as an unplugged one does: its pty closes, its
      // device disappears, and nothing more is served.
      record(e);
      queue_.clear();
      hung_up_ = true;
      if (fault->replug_ms >= 0) replug_ms_ = (int)(fault->replug_ms * o_.time_factor + 0.5);
      return;
    }
    if (fault != nullptr && fault->silent) {
      reply = "";
    } else if (fault != nullptr && fault->error) {
      reply = sim::kError;
    } else if (fault != nullptr && !fault->cme.empty()) {
      reply = "\r\n+CME ERROR: " + fault->cme + "\r\n";
    } else {
      reply = model_.answer(line, fault ? fault->status : "", install ? install->status : "");
    }
    e.pieces = sim::plan_reply(echo, reply, fault, o_.time_factor);
    if (e.pieces.empty()) {
      record(e);
      queue_.pop_front();
      continue;
    }
    e.due_ms = sim::mono_ms() + e.pieces[0].delay_ms;
    busy_ = true;
  }
}

// The faults of --fault-file, read again when the file changed; their counts
// start afresh then. A line that does not parse is reported and left out.
void Modem::reload_fault_file() {
  std::vector<std::string> lines_read;
  if (!fault_file_.changed(&lines_read)) return;
  file_faults_.clear();
  for (const std::string &line : lines_read) {
    sim::ModemFault f;
    std::string err;
    if (sim::parse_modem_fault(line, &f, &err))
      file_faults_.push_back(f);
    else
      fprintf(stderr, "sim_modem: %s: %s\n", o_.fault_file.c_str(), err.c_str());
  }
}

// The due fault of the command line's faults, else of the file's.
const sim::ModemFault *Modem::take(const char *kind) {
  const sim::ModemFault *f = sim::take_fault(&o_.faults, kind);
  return f != nullptr ? f : sim::take_fault(&file_faults_, kind);
}

// Writes all of `bytes`, waiting while the pty's buffer is full. Nobody may
// be reading (the tool has the device closed), so it gives up after a while.
bool Modem::write_all(const std::string &bytes) {
  size_t done = 0;
  int64_t give_up = sim::mono_ms() + 5000;
  while (done < bytes.size() && !stopping) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += (size_t)n;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (sim::mono_ms() > give_up) return false;
    struct pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, 50);
  }
  return done == bytes.size();
}

void Modem::record(const Exchange &e) {
  if (transcript_ == nullptr) return;
  fprintf(transcript_, "{\"time\":%.6f,\"channel\":%d,\"kind\":\"%s\",\"cmd\":%s,\"reply\":%s,",
          e.arrived, o_.settings.channel, sim::command_kind_name(e.kind),
          sim::json_quote(e.cmd).c_str(), sim::json_quote(e.sent).c_str());
  if (e.sent.empty())
    fprintf(transcript_, "\"reply_time\":null,");
  else
    fprintf(transcript_, "\"reply_time\":%.6f,", e.replied);
  fprintf(transcript_, "\"fault\":%s}\n",
          e.fault.empty() ? "null" : sim::json_quote(e.fault).c_str());
  fflush(transcript_);
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::string err;
  if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), &o, &err)) {
    fprintf(stderr, "sim_modem: %s\n", err.c_str());
    usage();
    return 2;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Modem modem(o);
  return modem.run();
}
