#include "com_intf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const char *failed_call = "open";

// Gives up on `fd` after `call` failed, keeping the errno that says why.
int give_up(int fd, const char *call) {
  int err = errno;
  failed_call = call;
  close(fd);
  errno = err;
  return -1;
}
}  // namespace

const baudmap_t baud_table[kBaudTableRows] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

sint32 baud2flag(uint32 baud) {
  for (const baudmap_t &row : baud_table) {
    if (row.baud == baud) return static_cast<sint32>(row.flag);
  }
  return -1;
}

sint32 get_termios(uint32 serial_fd, struct termios *old_term) {
  return tcgetattr(static_cast<int>(serial_fd), old_term) == 0 ? 0 : -1;
}

sint32 set_termios(uint32 serial_fd, struct termios *old_term) {
  return tcsetattr(static_cast<int>(serial_fd), TCSAFLUSH, old_term) == 0 ? 0 : -1;
}

sint32 set_serial_attr(uint32 serial_fd, serial_attr_t *serial_attr) {
  if (serial_attr == nullptr) return -1;
  // A rate outside the table would put -1 into the control flags; refuse it
  // before anything reaches the device.
  sint32 speed = baud2flag(serial_attr->rate);
  if (speed < 0) return -1;

  struct termios term;
  memset(&term, 0, sizeof term);
  // The speed travels in the control flags only; its code carries CBAUDEX
  // itself for 57600 and above.
  term.c_cflag = static_cast<tcflag_t>(speed) | CREAD | HUPCL | CLOCAL;

  if (serial_attr->parity == 1) {
    term.c_cflag |= PARENB | PARODD;
  } else if (serial_attr->parity == 2) {
    term.c_cflag |= PARENB;
  }

  switch (serial_attr->databits) {
    case 5:
      term.c_cflag |= CS5;
      break;
    case 6:
      term.c_cflag |= CS6;
      break;
    case 7:
      term.c_cflag |= CS7;
      break;
    default:
      term.c_cflag |= CS8;
      break;
  }

  if (serial_attr->streamcontrol == 2) {
    term.c_iflag = IXON | IXOFF;
  } else if (serial_attr->streamcontrol == 1) {
    term.c_cflag |= CRTSCTS;
  }

  term.c_cc[VMIN] = 1;
  term.c_cc[VTIME] = 0;
  return tcsetattr(static_cast<int>(serial_fd), TCSANOW, &term) < 0 ? -1 : 0;
}

int open_serial(char *serial_file, unsigned int rate, unsigned char parity, unsigned char databits,
                unsigned char stopbits, unsigned char streamcontrol) {
  // Never the controlling terminal: a run started as a session leader (by a
  // service manager, or setsid) would otherwise be killed by the hang-up of
  // a modem that goes away, instead of ending with its failure code. Nor is
  // the line handed on to the shell and database client the run starts.
  int fd = open(serial_file, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    failed_call = "open";
    return -1;
  }

  // Reading the settings proves the device is a terminal; they are not kept,
  // since nothing puts a line back the way it was found.
  struct termios current;
  memset(&current, 0, sizeof current);
  if (get_termios(static_cast<uint32>(fd), &current) != 0) return give_up(fd, "tcgetattr");

  serial_attr_t attr = {rate, parity, databits, stopbits, streamcontrol};
  if (set_serial_attr(static_cast<uint32>(fd), &attr) != 0) {
    int err = errno;
    puts("set_serial_attr error");
    errno = err;
    return give_up(fd, baud2flag(rate) < 0 ? "setup" : "tcsetattr");
  }

  if (tcflush(fd, TCIOFLUSH) != 0) {
    int err = errno;
    printf("tcfulsh %s error\n", serial_file);
    errno = err;
    return give_up(fd, "tcflush");
  }
  return fd;
}

const char *open_serial_failed_call() {
  return failed_call;
}

void close_serial(unsigned int serial_fd) {
  close(static_cast<int>(serial_fd));
}
