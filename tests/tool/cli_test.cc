// The command line, the run log's name and the exit status, seen from outside:
// each case runs the built esimctl inside a private gateway with no modem.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_program.h"
#include "tool_state.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const char kUsage[] =
    "usage:\n"
    "esimctl -c <channel> -a <active_code>\n"
    "-c specfic channel num\n"
    "-a active code\n"
    "-i iccid\n"
    "-r remove(delete) mode\n"
    "-d disable flag\n"
    "-h print the usage.\n"
    "  Download eSIM: esimctl -c <channel_id> -a <activation_code>\n"
    "  Delete eSIM: esimctl -c <channel_id> -i <ICCID> -r [-d]\n"
    "\n"
    "Examples:\n"
    "  esimctl -c 1 -a LPA:1$smdp.example.com$activation_code\n"
    "  esimctl -c 1 -i 8901234567890123456 -r\n"
    "  esimctl -c 1 -i 8901234567890123456 -r -d\n";

ProgramResult esimctl(std::vector<std::string> args) {
  args.insert(args.begin(), ESIMCTL_BIN);
  return run_program(args, shortened_waits(0.0005), "esimctl");
}

TEST(CommandLine, RefusedLinesPrintTheUsageTextAndExitOne) {
  struct Row {
    const char *situation;
    std::vector<std::string> args;
  } rows[] = {
      {"no words", {}},
      {"three words", {"-c", "1", "-r"}},
      {"four words but -h", {"-h", "-c", "1", "-a", "X"}},
      {"-h after a valid line", {"-c", "1", "-a", "X", "-h"}},
      {"unknown option", {"-c", "1", "-a", "X", "-z"}},
      {"missing option argument", {"-c", "1", "-r", "-a"}},
      {"channel 0", {"-c", "0", "-i", "1", "-r"}},
      {"negative channel", {"-c", "-4", "-a", "X"}},
      {"channel not a number", {"-c", "one", "-a", "X"}},
      {"neither ICCID nor code", {"-c", "1", "-r", "-d", "-n"}},
      {"both empty", {"-c", "1", "-a", "", "-i", ""}},
      {"code of 512 characters", {"-c", "1", "-a", std::string(512, 'A')}},
      {"ICCID of 21 digits", {"-c", "1", "-r", "-i", std::string(21, '8')}},
      {"log path of 128 characters", {"-c", "1", "-a", "X", "-f", "/tmp/" + std::string(123, 'l')}},
      {"ICCID with a letter", {"-c", "1", "-r", "-i", "8901A23"}},
      {"ICCID leaving the log directory", {"-c", "1", "-r", "-i", "../../etc/x"}},
      {"ICCID with a blank", {"-c", "1", "-r", "-i", "8901 23"}},
      {"code with a double quote", {"-c", "1", "-a", "LPA:1$h$x\"\r\nAT+CFUN=0"}},
      {"code with a CR", {"-c", "1", "-a", "LPA:1$h\r$x"}},
      {"code with a LF", {"-c", "1", "-a", "LPA:1$h\n$x"}},
      {"code with a control character", {"-c", "1", "-a", "LPA:1$h\x1b$x"}},
      {"channel past int that atoi wraps to 1", {"-c", "4294967297", "-a", "X"}},
      {"channel one above int", {"-c", "2147483648", "-a", "X"}},
      {"channel with trailing letters", {"-c", "1abc", "-a", "X"}},
      {"channel with a plus sign", {"-c", "+1", "-a", "X"}},
      {"channel with a blank", {"-c", " 1", "-a", "X"}},
      {"empty channel", {"-c", "", "-a", "X"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    ProgramResult r = esimctl(row.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, kUsage);
  }
}

// An argument esimctl cannot use is named on standard error, once; the
// refusals that the usage text alone explains say nothing there.
TEST(CommandLine, RefusedArgumentsGiveOneReasonLine) {
  struct Row {
    const char *situation;
    std::vector<std::string> args;
    const char *err;
  } rows[] = {
      {"channel past int",
       {"-c", "4294967297", "-a", "X"},
       "esimctl: refused -c: channel is not a decimal number within int\n"},
      {"channel with trailing letters",
       {"-c", "7x", "-r", "-i", "8901"},
       "esimctl: refused -c: channel is not a decimal number within int\n"},
      {"ICCID with a letter",
       {"-c", "1", "-r", "-i", "8901A"},
       "esimctl: refused -i: ICCID holds a character other than 0-9, F or f\n"},
      {"channel 0 is a number", {"-c", "0", "-a", "X"}, ""},
      {"negative channel is a number", {"-c", "-4", "-a", "X"}, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    ProgramResult r = esimctl(row.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.err, row.err);
  }
}

TEST(CommandLine, AcceptedLinesRunAWorkflow) {
  struct Row {
    const char *situation;
    std::vector<std::string> args;
  } rows[] = {
      {"exactly four words", {"-c", "1", "-a", "X"}},
      {"code of 511 characters", {"-c", "1", "-a", std::string(511, 'A')}},
      {"ICCID of 20 characters with F and f", {"-c", "1", "-r", "-i", "8901234567890123456F"}},
      {"lower-case padding", {"-c", "1", "-r", "-i", "890123456789012345f"}},
      {"removal without an ICCID", {"-c", "1", "-r", "-a", "X"}},
      {"download given only an ICCID", {"-c", "1", "-i", "8901"}},
      {"-p and -t change nothing", {"-c", "1", "-a", "X", "-p", "-t"}},
      {"log path of 127 characters", {"-c", "1", "-a", "X", "-f", "/tmp/" + std::string(122, 'l')}},
      {"channel above 32 fails at its first exchange", {"-c", "33", "-a", "X"}},
      {"largest int channel", {"-c", "2147483647", "-r", "-i", "8901"}},
      {"leading zeros", {"-c", "007", "-a", "X"}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    ProgramResult r = esimctl(row.args);
    EXPECT_NE(r.exit_status, 1);
    EXPECT_THAT(r.out, StartsWith("Error: failed cause -"));
    EXPECT_EQ(r.out.find("usage:"), std::string::npos);
  }
}

TEST(CommandLine, ExitStatusIsTheLowByteOfTheResult) {
  ProgramResult r = esimctl({"-c", "3", "-a", "LPA:1$smdp.example$X"});
  // No modem: the download command cannot be sent.
  EXPECT_EQ(r.out, "Error: failed cause -11\n");
  EXPECT_EQ(r.exit_status, 245);
}

TEST(RunLog, DefaultNamesFollowModeChannelAndIccid) {
  esimctl({"-c", "3", "-a", "LPA:1$smdp.example$X"});
  esimctl({"-c", "3", "-r", "-i", "8901"});
  esimctl({"-c", "3", "-r", "-a", "X"});
  for (const char *path :
       {"/www/esim_add_3.txt", "/www/esim_delete_3_8901.txt", "/www/esim_delete_3_.txt"}) {
    SCOPED_TRACE(path);
    std::string log = read_file(path);
    EXPECT_THAT(log, StartsWith("["));
    EXPECT_THAT(log, HasSubstr("Error"));
  }
}

TEST(RunLog, GivenPathIsAppendedTo) {
  TempDir dir;
  std::string path = dir.path() + "/mine.log";
  esimctl({"-c", "2", "-a", "X", "-f", path});
  std::string first = read_file(path);
  esimctl({"-c", "2", "-a", "X", "-f", path});
  std::string both = read_file(path);
  EXPECT_FALSE(first.empty());
  EXPECT_THAT(both, StartsWith(first));
  EXPECT_GT(both.size(), first.size());
  struct stat st {};
  EXPECT_NE(stat("/www/esim_add_2.txt", &st), 0);
}

TEST(RunLog, UnopenableLogGoesToStandardOutput) {
  ProgramResult r = esimctl({"-c", "2", "-a", "X", "-f", "/no/such/dir/x.log"});
  EXPECT_THAT(r.out, StartsWith("open /no/such/dir/x.log failed : No such file or directory\n"
                                "So write log to STDOUT\n["));
  EXPECT_THAT(r.out, HasSubstr("Error: failed cause -11\n"));
  EXPECT_EQ(r.exit_status, 245);
}

}  // namespace
