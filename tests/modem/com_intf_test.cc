// The serial unit against real ptys, files and missing paths.
#include "com_intf.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tool_state.h"

// A pty drops parity and refuses other character sizes, so the settings that
// reach the device are also taken from the call itself: this definition comes
// before the C library's and hands every call on to it.
static struct termios last_applied;
static int last_actions = -1;
extern "C" int tcsetattr(int fd, int actions, const struct termios *t) {
  using Real = int (*)(int, int, const struct termios *);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
  last_applied = *t;
  last_actions = actions;
  return real(fd, actions, t);
}

namespace {

int open_descriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

TEST(Baud2Flag, MapsEveryTableRateAndRefusesOthers) {
  struct Row {
    uint32 baud;
    sint32 flag;
  } rows[] = {{1200, 011},      {2400, 013},      {4800, 014},      {9600, 015},
              {19200, 016},     {38400, 017},     {57600, 010001},  {115200, 010002},
              {230400, 010003}, {460800, 010004}, {921600, 010007}, {300, -1},
              {0, -1},          {115201, -1}};
  for (const Row &row : rows) EXPECT_EQ(baud2flag(row.baud), row.flag) << row.baud;
}

class SerialAttrTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0); }
  void TearDown() override {
    close(master_);
    close(slave_);
  }
  // Applies `attr`; gives what the call asked for and, when the pty keeps
  // all of it, checks that the device reads back the same.
  struct termios applied(serial_attr_t attr, bool pty_keeps) {
    memset(&last_applied, 0xff, sizeof last_applied);
    int res = set_serial_attr(static_cast<uint32>(slave_), &attr);
    if (pty_keeps) {
      EXPECT_EQ(res, 0);
      struct termios back {};
      EXPECT_EQ(get_termios(static_cast<uint32>(slave_), &back), 0);
      EXPECT_EQ(back.c_cflag, last_applied.c_cflag);
      EXPECT_EQ(back.c_iflag, last_applied.c_iflag);
      EXPECT_EQ(back.c_oflag, last_applied.c_oflag);
      EXPECT_EQ(back.c_lflag, last_applied.c_lflag);
    }
    return last_applied;
  }
  int master_ = -1, slave_ = -1;
};

TEST_F(SerialAttrTest, LineSettingsReadBackFromTheDevice) {
  const tcflag_t base = B115200 | CREAD | HUPCL | CLOCAL;
  struct Row {
    const char *situation;
    serial_attr_t attr;
    tcflag_t cflag;
    tcflag_t iflag;
    bool pty_keeps;
  } rows[] = {
      {"the tool's own settings", {115200, 0, 8, 1, 0}, base | CS8, 0, true},
      {"two stop bits still give one", {115200, 0, 8, 2, 0}, base | CS8, 0, true},
      {"odd parity", {115200, 1, 8, 1, 0}, base | CS8 | PARENB | PARODD, 0, false},
      {"even parity", {115200, 2, 8, 1, 0}, base | CS8 | PARENB, 0, false},
      {"parity 3 is none", {115200, 3, 8, 1, 0}, base | CS8, 0, true},
      {"five data bits", {115200, 0, 5, 1, 0}, base | CS5, 0, false},
      {"six data bits", {115200, 0, 6, 1, 0}, base | CS6, 0, false},
      {"seven data bits", {115200, 0, 7, 1, 0}, base | CS7, 0, false},
      {"nine data bits give eight", {115200, 0, 9, 1, 0}, base | CS8, 0, true},
      {"zero data bits give eight", {115200, 0, 0, 1, 0}, base | CS8, 0, true},
      {"hardware flow control", {115200, 0, 8, 1, 1}, base | CS8 | CRTSCTS, 0, true},
      {"software flow control", {115200, 0, 8, 1, 2}, base | CS8, IXON | IXOFF, true},
      {"a slow rate keeps its own code",
       {9600, 0, 8, 1, 0},
       B9600 | CREAD | HUPCL | CLOCAL | CS8,
       0,
       true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.situation);
    struct termios t = applied(row.attr, row.pty_keeps);
    EXPECT_EQ(t.c_cflag, row.cflag);
    EXPECT_EQ(t.c_iflag, row.iflag);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

TEST_F(SerialAttrTest, RefusesMissingSettingsAndUnknownRatesWithoutTouchingTheDevice) {
  struct termios before {};
  ASSERT_EQ(tcgetattr(slave_, &before), 0);
  memset(&last_applied, 0, sizeof last_applied);
  EXPECT_EQ(set_serial_attr(static_cast<uint32>(slave_), nullptr), -1);
  serial_attr_t odd_rate = {300, 0, 8, 1, 0};
  EXPECT_EQ(set_serial_attr(static_cast<uint32>(slave_), &odd_rate), -1);
  struct termios after {};
  ASSERT_EQ(tcgetattr(slave_, &after), 0);
  EXPECT_EQ(before.c_cflag, after.c_cflag);
  EXPECT_EQ(last_applied.c_cflag, 0u);  // no call reached the device
}

// set_termios puts back settings that get_termios saved, after the line has
// drained, and drops what arrived meanwhile.
TEST_F(SerialAttrTest, SavedSettingsGoBackWithPendingInputDropped) {
  struct termios saved {};
  ASSERT_EQ(get_termios(static_cast<uint32>(slave_), &saved), 0);
  serial_attr_t attr = {9600, 0, 7, 1, 2};
  ASSERT_EQ(set_serial_attr(static_cast<uint32>(slave_), &attr), 0);
  ASSERT_EQ(write(master_, "late\r\n", 6), 6);
  struct pollfd arrived = {slave_, POLLIN, 0};
  ASSERT_EQ(poll(&arrived, 1, 2000), 1) << "the bytes reach the line before it is reset";

  EXPECT_EQ(set_termios(static_cast<uint32>(slave_), &saved), 0);
  EXPECT_EQ(last_actions, TCSAFLUSH);
  struct termios back {};
  ASSERT_EQ(tcgetattr(slave_, &back), 0);
  EXPECT_EQ(back.c_cflag, saved.c_cflag);
  EXPECT_EQ(back.c_iflag, saved.c_iflag);
  EXPECT_EQ(back.c_lflag, saved.c_lflag);
  fcntl(slave_, F_SETFL, fcntl(slave_, F_GETFL) | O_NONBLOCK);
  char buf[16];
  errno = 0;
  EXPECT_EQ(read(slave_, buf, sizeof buf), -1) << "input that was pending is gone";
  EXPECT_EQ(errno, EAGAIN);

  TempDir dir;
  int file = open((dir.path() + "/plain").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(file, 0);
  EXPECT_EQ(set_termios(static_cast<uint32>(file), &saved), -1) << "not a terminal";
  EXPECT_EQ(get_termios(static_cast<uint32>(file), &back), -1);
  close(file);
}

TEST(OpenSerial, FailuresPrintNothingAndLeaveNothingOpen) {
  TempDir dir;
  std::string regular = dir.path() + "/plain";
  close(open(regular.c_str(), O_CREAT | O_WRONLY, 0600));
  std::string missing = dir.path() + "/missing";
  int before = open_descriptors();
  // Each failure names its call, errno kept as that call left it.
  const struct {
    std::string path;
    const char *call;
    int err;
  } rows[] = {{missing, "open", ENOENT}, {regular, "tcgetattr", ENOTTY}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_serial(const_cast<char *>(row.path.c_str()), 115200, 0, 8, 1, 0), -1);
    EXPECT_EQ(errno, row.err);
    EXPECT_STREQ(open_serial_failed_call(), row.call);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(open_descriptors(), before);
  }
}

TEST(OpenSerial, UnknownRateIsReportedAndClosed) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  int before = open_descriptors();
  testing::internal::CaptureStdout();
  EXPECT_EQ(open_serial(name, 300, 0, 8, 1, 0), -1);
  EXPECT_STREQ(open_serial_failed_call(), "setup");
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "set_serial_attr error\n");
  EXPECT_EQ(open_descriptors(), before);
  close(master);
  close(slave);
}

TEST(OpenSerial, GivesARawNonBlockingLine) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  int fd = open_serial(name, 115200, 0, 8, 1, 0);
  ASSERT_GE(fd, 0);
  struct termios t {};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(016262));
  EXPECT_EQ(t.c_lflag, 0u);
  char buf[16];
  errno = 0;
  EXPECT_EQ(read(fd, buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "the database client gets no line";
  close_serial(static_cast<unsigned int>(fd));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  close(master);
  close(slave);
}

// A run that leads its own session without a terminal (as a service manager
// or setsid starts it) must not take the modem's line as its controlling
// terminal: the modem's hang-up would kill it with SIGHUP.
TEST(OpenSerial, LineNeverBecomesTheControllingTerminal) {
  int master, slave;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    if (setsid() < 0) _exit(10);
    int fd = open_serial(name, 115200, 0, 8, 1, 0);
    if (fd < 0) _exit(11);
    pid_t session = 0;
    bool controlling = ioctl(fd, TIOCGSID, &session) == 0;
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(12);
    // The parent hangs up meanwhile.
    usleep(300 * 1000);
    _exit(controlling ? 13 : 0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(master);  // the modem goes away
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "13: the line became the controlling terminal";
}

}  // namespace
