// com_intf: opens a serial device as a raw, non-blocking terminal line and
// closes it again. It knows nothing of modems; it reports failures as -1 and
// writes its two messages to standard output.
#pragma once

#include <termios.h>

typedef unsigned char uint8;
typedef unsigned int uint32;
typedef int sint32;

// Line settings.
typedef struct serial_attr_s {
  uint32 rate;          // bit/s, one of baud_table
  uint8 parity;         // 1 odd, 2 even, else none
  uint8 databits;       // 5, 6, 7; anything else gives 8
  uint8 stopbits;       // carried, never applied: always one stop bit
  uint8 streamcontrol;  // 1 RTS/CTS, 2 XON/XOFF, else none
} serial_attr_t;

typedef struct baudmap_s {
  uint32 baud;  // bit/s
  uint32 flag;  // termios speed code
} baudmap_t;

constexpr int kBaudTableRows = 11;
extern const baudmap_t baud_table[kBaudTableRows];

// The speed code of `baud`, or -1 when baud_table has no such rate.
sint32 baud2flag(uint32 baud);

// Opens `serial_file` O_RDWR|O_NONBLOCK, applies the settings and flushes both
// directions. Gives the descriptor, or -1 with nothing left open and errno
// as the failing call left it (open_serial_failed_call names that call).
int open_serial(char *serial_file, unsigned int rate, unsigned char parity, unsigned char databits,
                unsigned char stopbits, unsigned char streamcontrol);

void close_serial(unsigned int serial_fd);

// The call that made the last open_serial fail: "open", "tcgetattr",
// "tcsetattr" or "tcflush" ("setup" for a rate outside baud_table).
const char *open_serial_failed_call();

// 0 after tcgetattr into `old_term`; -1 when it fails.
sint32 get_termios(uint32 serial_fd, struct termios *old_term);

// 0 after tcsetattr(TCSAFLUSH) of `old_term`; -1 when it fails.
sint32 set_termios(uint32 serial_fd, struct termios *old_term);

// 0 after applying `serial_attr` from an all-zero termios; -1 when it is null,
// names a rate outside baud_table (nothing is applied then) or tcsetattr fails.
sint32 set_serial_attr(uint32 serial_fd, serial_attr_t *serial_attr);
