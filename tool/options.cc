#include "options.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "globals.h"
#include "profile_cmds.h"

void usage(const char *prog_name) {
  puts("usage:");
  printf("%s -c <channel> -a <active_code>\n", prog_name);
  puts("-c specfic channel num");
  puts("-a active code");
  puts("-i iccid");
  puts("-r remove(delete) mode");
  puts("-d disable flag");
  puts("-h print the usage.");
  printf("  Download eSIM: %s -c <channel_id> -a <activation_code>\n", prog_name);
  printf("  Delete eSIM: %s -c <channel_id> -i <ICCID> -r [-d]\n", prog_name);
  puts("\nExamples:");
  printf("  %s -c 1 -a LPA:1$smdp.example.com$activation_code\n", prog_name);
  printf("  %s -c 1 -i 8901234567890123456 -r\n", prog_name);
  printf("  %s -c 1 -i 8901234567890123456 -r -d\n", prog_name);
}

namespace {

// The activation code goes into a double-quoted AT command argument: a quote
// or a line end would end that command and start another.
bool is_at_safe_text(const char *text) {
  for (const char *p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// Reads a channel number: an optional minus sign and decimal digits, within
// int. Anything else is refused rather than read in part: atoi would turn
// "4294967297" into channel 1 and run the operation on the wrong modem.
bool parse_channel(const char *arg, int *channel) {
  const char *digits = arg[0] == '-' ? arg + 1 : arg;
  if (digits[0] == '\0') return false;
  for (const char *p = digits; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  errno = 0;
  long value = strtol(arg, nullptr, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *channel = static_cast<int>(value);
  return true;
}

// Copies `arg` into `dest` when it fits; a longer argument is refused whole.
bool copy_argument(char *dest, size_t dest_size, const char *arg) {
  size_t len = strlen(arg);
  if (len >= dest_size) return false;
  memcpy(dest, arg, len + 1);
  return true;
}

int refuse(const char *prog_name, const char *option, const char *why) {
  fprintf(stderr, "%s: refused %s: %s\n", prog_name, option, why);
  usage(prog_name);
  return -4;
}

}  // namespace

int parse_arguments(int argc, char *argv[]) {
  const char *prog_name = argv[0];
  if (argc <= 4) {
    usage(prog_name);
    return -1;
  }

  int opt;
  while ((opt = getopt(argc, argv, "c:a:i:f:rdnpth")) != -1) {
    switch (opt) {
      case 'c':
        if (!parse_channel(optarg, &chan_id))
          return refuse(prog_name, "-c", "channel is not a decimal number within int");
        break;
      case 'a':
        if (!copy_argument(active_code, sizeof active_code, optarg))
          return refuse(prog_name, "-a", "activation code longer than 511 characters");
        if (!is_at_safe_text(active_code))
          return refuse(prog_name, "-a",
                        "activation code holds a double quote or a control character");
        break;
      case 'i':
        if (!copy_argument(iccid, sizeof iccid, optarg))
          return refuse(prog_name, "-i", "ICCID longer than 20 characters");
        if (!is_iccid_text(iccid))
          return refuse(prog_name, "-i", "ICCID holds a character other than 0-9, F or f");
        break;
      case 'f':
        if (!copy_argument(log_file, sizeof log_file, optarg))
          return refuse(prog_name, "-f", "log file path longer than 127 characters");
        break;
      case 'r':
        delete_mode = 1;
        break;
      case 'd':
        disable_flag = 1;
        break;
      case 'n':
        donot_delete_flag = 1;
        break;
      case 'p':
        print_flag = 1;
        [[fallthrough]];
      case 't':
        break;
      case 'h':
      default:
        usage(prog_name);
        return -1;
    }
  }

  if (chan_id <= 0) {
    usage(prog_name);
    return -2;
  }
  if (iccid[0] == '\0' && active_code[0] == '\0') {
    usage(prog_name);
    return -3;
  }
  return 0;
}
