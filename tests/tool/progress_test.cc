// The progress line on a real pty: one row that never wraps, no control
// byte of the run's texts, and a terminal that stops reading never holds up
// the run.
#include "progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "globals.h"
#include "tool_state.h"

namespace {

constexpr int kColumns = 40;

// Everything the terminal holds for its reader now.
std::string drain(int master) {
  std::string seen;
  char buffer[4096];
  while (true) {
    pollfd ready = {master, POLLIN, 0};
    if (poll(&ready, 1, 200) != 1) break;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

// The states the line went through: each redraw starts with a carriage
// return and an erase to the end of the line.
std::vector<std::string> redraws(const std::string &text) {
  std::vector<std::string> lines;
  const std::string mark = "\r\033[K";
  for (size_t at = text.find(mark); at != std::string::npos;) {
    size_t next = text.find(mark, at + mark.size());
    lines.push_back(
        text.substr(at + mark.size(), next == std::string::npos ? next : next - at - mark.size()));
    at = next;
  }
  return lines;
}

class ProgressOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    winsize size{};
    size.ws_col = kColumns;
    size.ws_row = 24;
    ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, &size), 0);
  }
  void TearDown() override {
    close(master_);
    close(slave_);
  }

  // Runs `body` in a child whose standard error is the pty and whose run log
  // is a file; its exit status, or -1 when it is still running after 30 s
  // (it is then killed). The pty is not read meanwhile.
  template <typename Body>
  int in_child(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
      dup2(slave_, STDERR_FILENO);
      log_fd = tmpfile();
      body();
      _exit(0);
    }
    int status = 0;
    for (int waited = 0; waited < 3000; ++waited) {
      if (waitpid(pid, &status, WNOHANG) == pid)
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    drain(master_);
    waitpid(pid, &status, 0);
    return -1;
  }

  int master_ = -1;
  int slave_ = -1;
};

TEST_F(ProgressOnPty, LineFitsTheTerminalAndShowsNoControlBytes) {
  int status = in_child([] {
    progress_begin(7);
    progress_stage("Step 3: getBoundProfilePackage");
    progress_wait("the modem's reply to AT+QESIM=\"trans\",27832,1,0,15\x1b]0;owned\x07...", 43);
    progress_end("failed (result -18, see /www/esim_add_7.txt)");
  });
  ASSERT_EQ(status, 0);
  std::vector<std::string> lines = redraws(drain(master_));
  ASSERT_GE(lines.size(), 3u);  // and the ticker's redraws
  for (const std::string &line : lines) {
    std::string shown = line.back() == '\n' ? line.substr(0, line.size() - 2) : line;  // CR LF
    EXPECT_LE(shown.size(), static_cast<size_t>(kColumns - 1)) << shown;
    for (char c : shown) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c) << " in " << shown;
  }
  EXPECT_EQ(lines.front(), "esimctl chan 7  0:00  Step 3: getBoundP");
  EXPECT_EQ(lines.back(), "esimctl chan 7  0:00  failed (result -1\r\n");
}

// The server's refusal stands ahead of the outcome in the last state only,
// made one line like every other text.
TEST_F(ProgressOnPty, LastStateShowsTheServersWordFirst) {
  winsize wide{};
  wide.ws_col = 200;
  wide.ws_row = 24;
  ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &wide), 0);
  int status = in_child([] {
    progress_begin(7);
    progress_stage("Step 1: initiateAuthentication");
    progress_note("Server status: Failed, subject 8.2.6, reason 3.8: Refused\x1b[2J");
    progress_stage("Step 1: initiateAuthentication");
    progress_end("failed (result -15, see /www/esim_add_7.txt)");
  });
  ASSERT_EQ(status, 0);
  std::vector<std::string> lines = redraws(drain(master_));
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    EXPECT_EQ(lines[i].find("Server status"), std::string::npos) << lines[i];
  EXPECT_EQ(lines.back(),
            "esimctl chan 7  0:00  Server status: Failed, subject 8.2.6, reason 3.8: Refused?[2J; "
            "failed (result -15, see /www/esim_add_7.txt)\r\n");
}

TEST_F(ProgressOnPty, TerminalThatStopsReadingDoesNotHoldUpTheRun) {
  // Far more redraws than a pty buffers: a blocking write would stop the
  // child at the first full buffer.
  int status = in_child([] {
    progress_begin(3);
    for (int i = 0; i < 20000; ++i) progress_stage("Step 2: authenticateClient");
    progress_end("done");
  });
  EXPECT_EQ(status, 0) << "the run waited on a terminal that nobody reads";
}

TEST_F(ProgressOnPty, RunMovedToTheBackgroundIsNeverStopped) {
  // A shell's job control in miniature: a session on the pty with tostop
  // set, whose leader gives the terminal to the run's job and then takes it
  // back while the run is between two stages. The leader exits 1 when the
  // run was stopped (SIGTTOU) and 3 when the session could not be set up.
  int slave = slave_;
  int status = in_child([slave] {
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(3);
    termios mode{};
    tcgetattr(slave, &mode);
    mode.c_lflag |= TOSTOP;
    tcsetattr(slave, TCSANOW, &mode);
    int go[2], moved[2];
    if (pipe(go) != 0 || pipe(moved) != 0) _exit(3);
    pid_t run = fork();
    if (run == 0) {
      setpgid(0, 0);
      char byte;
      if (read(go[0], &byte, 1) != 1) _exit(3);
      progress_begin(4);
      progress_stage("Step 1: initiateAuthentication");
      if (write(moved[1], "m", 1) != 1 || read(go[0], &byte, 1) != 1) _exit(3);
      progress_stage("Step 2: authenticateClient");
      progress_wait("the modem's reply", 15);
      std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a ticker redraw
      progress_end("done");
      _exit(0);
    }
    setpgid(run, run);
    char byte;
    if (tcsetpgrp(slave, run) != 0) _exit(3);
    if (write(go[1], "g", 1) != 1 || read(moved[0], &byte, 1) != 1) _exit(3);
    // A shell takes the terminal back with SIGTTOU held off, as it is then
    // in the background itself.
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, nullptr);
    if (tcsetpgrp(slave, getpgrp()) != 0) _exit(3);  // the run's job is in the background now
    if (write(go[1], "g", 1) != 1) _exit(3);
    int run_status = 0;
    if (waitpid(run, &run_status, WUNTRACED) != run) _exit(3);
    if (WIFSTOPPED(run_status)) {
      kill(run, SIGKILL);
      waitpid(run, &run_status, 0);
      _exit(1);
    }
    _exit(WIFEXITED(run_status) && WEXITSTATUS(run_status) == 0 ? 0 : 3);
  });
  EXPECT_EQ(status, 0) << (status == 1 ? "the run was stopped by SIGTTOU" : "the session failed");
  std::vector<std::string> lines = redraws(drain(master_));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "esimctl chan 4  0:00  Step 1: initiateA");
  for (const std::string &line : lines)
    EXPECT_EQ(line.find("Step 2"), std::string::npos) << "drawn in the background: " << line;
}

TEST_F(ProgressOnPty, NothingWhenStandardErrorIsNoTerminal) {
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  int status = in_child([&] {
    dup2(pipe_ends[1], STDERR_FILENO);
    progress_begin(1);
    progress_stage("radio preparation");
    progress_end("done");
  });
  close(pipe_ends[1]);
  ASSERT_EQ(status, 0);
  char byte;
  EXPECT_EQ(read(pipe_ends[0], &byte, 1), 0);
  close(pipe_ends[0]);
  EXPECT_EQ(drain(master_), "");
}

}  // namespace
