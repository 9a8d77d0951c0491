// A scripted modem on a real pty, for tests of code that talks to a channel
// device. The tool under test opens the published path itself, so its own
// termios setup and read loop run. Each command line the responder receives
// takes the next queued reply; with none queued it stays silent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Piece {
  int delay_ms = 0;  // before writing, scaled by the sleep shim's factor
  std::string bytes;
  int repeat = 1;  // write `bytes` this many times, each after `delay_ms`
};

// The pieces of one reply, written in order. An empty Reply is silence.
using Reply = std::vector<Piece>;

struct ReceivedCommand {
  std::string line;  // with its line end
  std::chrono::steady_clock::time_point at;
};

class PtyResponder {
 public:
  // Creates a raw pty and publishes its slave at `link_path` (a symlink).
  explicit PtyResponder(std::string link_path);
  ~PtyResponder();
  PtyResponder(const PtyResponder &) = delete;
  PtyResponder &operator=(const PtyResponder &) = delete;

  void reply(const std::string &text) { reply(Reply{{0, text, 1}}); }
  void reply(Reply pieces);
  void silence() { reply(Reply{}); }

  // While held, nothing is read from the device: a busy modem whose input
  // buffer fills up.
  void hold_reading(bool hold) { holding_ = hold; }

  // Writes bytes to the tool now, outside any reply.
  void send(const std::string &bytes);

  std::vector<ReceivedCommand> commands();
  std::vector<std::string> command_lines();
  std::string received();
  // Waits (real time) until `n` command lines have arrived.
  bool wait_for_commands(size_t n, int timeout_ms);

  const std::string &link() const { return link_; }
  const std::string &slave_name() const { return slave_name_; }

 private:
  void run();
  void answer(const Reply &reply);
  bool write_all(const std::string &bytes);
  bool pause_ms(int ms);

  std::string link_;
  std::string slave_name_;
  int master_ = -1;
  int slave_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> holding_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Reply> script_;
  std::vector<ReceivedCommand> commands_;
  std::string received_;
  std::string pending_line_;
  std::thread thread_;
};
