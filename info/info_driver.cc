#include "info_driver.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "at_exchange.h"
#include "channel_read.h"
#include "findings.h"
#include "globals.h"
#include "info_output.h"
#include "run_log.h"
#include "run_logs.h"

namespace {

constexpr int kChannels = 32;

void info_usage(const char *prog_name) {
  printf("usage: %s -c <channel|all> [--table|--json] [--long]\n", prog_name);
  puts("  -c N       channel 1-32, or all: every channel whose device exists, read in parallel");
  puts(
      "  --json     one JSON object per channel and line (the default when stdout is no terminal)");
  puts("  --table    a table for a person (the default on a terminal); with -c all one line per");
  puts("             channel, then the details of each channel with findings");
  puts("  --long     with -c all and a table: the details of every channel");
  puts("  --version  the version");
  puts("  -h         this text");
  puts("It only reads: the modem's level, firmware, EID, profiles and pending notifications,");
  puts("and the channel's server records; then it says what does not agree.");
}

// A channel is 1-32 in plain decimal digits; "all" is every channel.
bool parse_info_channel(const char *arg, int *channel) {
  if (strcmp(arg, "all") == 0) {
    *channel = 0;
    return true;
  }
  if (arg[0] == '\0' || strlen(arg) > 2 || strspn(arg, "0123456789") != strlen(arg)) return false;
  *channel = atoi(arg);
  return *channel >= 1 && *channel <= kChannels;
}

void print_info(const cJSON *info, bool json) {
  if (json) {
    JsonText text(cJSON_PrintUnformatted(info));
    if (text) printf("%s\n", text.get());
  } else {
    print_channel_table(info, stdout);
  }
}

// Reads one channel in this process, releases its device and judges what
// it read.
InfoStatus read_one(int chan, Json *info) {
  ChannelRead read;
  InfoStatus status = read_channel(chan, &read);
  release_channel();
  // The logs tell the last run even of a channel that is busy or gone.
  read.chan = chan;
  read.last_found = find_last_run(chan, ESIMCTL_LOG_DIR, &read.last, &read.last_download);
  char now[32];
  time_t t = time(nullptr);
  struct tm local {};
  localtime_r(&t, &local);
  strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &local);
  *info = info_json(read, find_findings(read, now));
  return *info ? status : kInfoQueryFailed;
}

// One child per channel, since the tool's state (the open device, the reply
// buffers) is process-wide; each hands back its object as one line of JSON
// through a pipe, and its status as its exit status.
struct Child {
  int chan = 0;
  pid_t pid = -1;
  int fd = -1;
  std::string text;
  InfoStatus status = kInfoQueryFailed;
  int wstatus = -1;  // as waitpid gave it; -1 when the child was not reaped
};

void start_child(Child *child) {
  int fds[2];
  // Close-on-exec: the database client a later child starts keeps no end.
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Json info;
    InfoStatus status = read_one(child->chan, &info);
    JsonText text(info ? cJSON_PrintUnformatted(info.get()) : nullptr);
    size_t len = text ? strlen(text.get()) : 0;
    for (size_t done = 0; done < len;) {
      ssize_t n = write(fds[1], text.get() + done, len - done);
      if (n <= 0 && errno != EINTR) break;
      if (n > 0) done += static_cast<size_t>(n);
    }
    _exit(status);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return;
  }
  child->pid = pid;
  child->fd = fds[0];
}

// Collects every child's output as it comes (a full pipe would hold a child
// up), then their statuses.
void collect(Child *children, int count) {
  for (;;) {
    struct pollfd fds[kChannels];
    int watched = 0;
    for (int i = 0; i < count; ++i)
      if (children[i].fd >= 0) fds[watched++] = {children[i].fd, POLLIN, 0};
    if (watched == 0) break;
    if (poll(fds, static_cast<nfds_t>(watched), -1) < 0 && errno != EINTR) break;
    for (int i = 0, w = 0; i < count; ++i) {
      if (children[i].fd < 0) continue;
      if (fds[w++].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(children[i].fd, buf, sizeof buf);
      if (n > 0) {
        children[i].text.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(children[i].fd);
        children[i].fd = -1;
      }
    }
  }
  for (int i = 0; i < count; ++i) {
    if (children[i].pid <= 0) continue;
    int wstatus = 0;
    pid_t got;
    do got = waitpid(children[i].pid, &wstatus, 0);
    while (got < 0 && errno == EINTR);
    if (got != children[i].pid) continue;
    children[i].wstatus = wstatus;
    if (WIFEXITED(wstatus)) children[i].status = static_cast<InfoStatus>(WEXITSTATUS(wstatus));
  }
}

// Why a child handed back no object, for the object that stands in for it.
std::string no_answer(const Child &child) {
  if (child.pid <= 0) return "the channel's reader could not be started";
  if (child.wstatus != -1 && WIFSIGNALED(child.wstatus))
    return "the channel's reader was ended by signal " + std::to_string(WTERMSIG(child.wstatus));
  return "the channel's reader gave no answer";
}

int read_all(bool json, bool long_table) {
  Child children[kChannels];
  int count = 0;
  for (int chan = 1; chan <= kChannels; ++chan) {
    char device[kDevicePathSize];
    channel_device_path(chan, device, sizeof device);
    struct stat st {};
    if (stat(device, &st) == 0) children[count++].chan = chan;
  }
  if (count == 0) {
    fprintf(stderr, "esimctl-info: no channel device under %s\n", dev_dir);
    return kInfoUnreachable;
  }
  for (int i = 0; i < count; ++i) start_child(&children[i]);
  collect(children, count);

  int worst = kInfoAnswered;
  Json infos[kChannels];
  for (int i = 0; i < count; ++i) {
    infos[i].reset(cJSON_Parse(children[i].text.c_str()));
    if (!infos[i]) {
      // The channel still gets its object, so that a reader of the lines
      // misses none.
      infos[i] = empty_info(children[i].chan, no_answer(children[i]).c_str());
      children[i].status = kInfoQueryFailed;
    }
    if (children[i].status > worst) worst = children[i].status;
  }
  if (json) {
    for (int i = 0; i < count; ++i)
      if (infos[i]) print_info(infos[i].get(), true);
    return worst;
  }
  // A person first sees every channel in one line, then what needs a look.
  print_summary_head(stdout);
  for (int i = 0; i < count; ++i)
    if (infos[i]) print_summary_line(infos[i].get(), stdout);
  for (int i = 0; i < count; ++i) {
    if (!infos[i]) continue;
    if (!long_table && cJSON_GetArraySize(cJSON_GetObjectItem(infos[i].get(), "findings")) == 0)
      continue;
    putchar('\n');
    print_channel_table(infos[i].get(), stdout);
  }
  return worst;
}

}  // namespace

int esimctl_info_main(int argc, char *argv[]) {
  const char *prog_name = argv[0];
  static const struct option kLong[] = {
      {"json", no_argument, nullptr, 'j'}, {"table", no_argument, nullptr, 't'},
      {"long", no_argument, nullptr, 'l'}, {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  int chan = -1;
  bool want_json = false, want_table = false, long_table = false;
  int opt;
  while ((opt = getopt_long(argc, argv, "c:h", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        if (!parse_info_channel(optarg, &chan)) {
          fprintf(stderr, "%s: refused -c: not a channel 1-32 or all\n", prog_name);
          info_usage(prog_name);
          return kInfoRefused;
        }
        break;
      case 'j':
        want_json = true;
        break;
      case 't':
        want_table = true;
        break;
      case 'l':
        long_table = true;
        break;
      case 'V':
        printf("esimctl-info %s\n", ESIMCTL_VERSION);
        return kInfoAnswered;
      case 'h':
        info_usage(prog_name);
        return kInfoAnswered;
      default:
        info_usage(prog_name);
        return kInfoRefused;
    }
  }
  if (want_json && want_table) {
    fprintf(stderr, "%s: refused --table with --json: choose one\n", prog_name);
    info_usage(prog_name);
    return kInfoRefused;
  }
  if (chan < 0 || optind != argc) {
    info_usage(prog_name);
    return kInfoRefused;
  }
  // Asked for, either form goes to any output; unasked, a terminal gets
  // the table and a pipe or file the JSON.
  bool json = want_json || (!want_table && !isatty(STDOUT_FILENO));
  // The exchanges log what they send and read; esimctl-info keeps no run log
  // (it changes nothing), and its standard output carries only the answer.
  log_drop_entries(true);
  int status = kInfoAnswered;
  if (chan == 0) {
    status = read_all(json, long_table);
  } else {
    Json info;
    status = read_one(chan, &info);
    if (info) print_info(info.get(), json);
  }
  fflush(stdout);
  return status;
}
