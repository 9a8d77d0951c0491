// Process-wide state of esimctl and the sizes of its fixed buffers.
//
// The tool runs one mode, and all of its work, in one thread; its subsystems
// hand data to each other through these buffers. The only other thread is
// the progress line's redraw (on a terminal only), which touches none of
// this state. Every character buffer holds NUL-terminated text and
// is never written past its size.
#pragma once

#include <cstddef>
#include <cstdio>

#include "build_config.h"

// Buffer sizes, in bytes including the terminating NUL.
constexpr std::size_t kActiveCodeSize = 512;
constexpr std::size_t kIccidSize = 21;
constexpr std::size_t kLogFileSize = 128;
constexpr std::size_t kDevDirSize = sizeof(ESIMCTL_DEV_DIR);
constexpr std::size_t kAtStatusSize = 32;
constexpr std::size_t kAtHttpPathSize = 512;
constexpr std::size_t kAtPayloadSize = 16384;
constexpr std::size_t kAtHttpIpSize = 256;
constexpr std::size_t kReqIdSize = 16;
// The largest exchange answer as two hex digits a byte, one spare digit
// and the NUL: 131072 for the default limit of 65535 bytes.
constexpr std::size_t kHttpPayloadSize = 2 * std::size_t{ESIMCTL_ANSWER_LIMIT} + 2;

// Every AT command operation reads its reply into a local buffer of this size.
constexpr std::size_t kReplySize = 16384;

extern int chan_id;
extern char active_code[kActiveCodeSize];
extern char iccid[kIccidSize];
extern char log_file[kLogFileSize];
extern FILE *log_fd;
extern int delete_mode;
extern int disable_flag;
extern int donot_delete_flag;
extern int print_flag;

extern int at_fd;
extern char dev_dir[kDevDirSize];

extern char at_status[kAtStatusSize];
extern char at_http_path[kAtHttpPathSize];
extern char at_payload[kAtPayloadSize];
extern char at_http_ip[kAtHttpIpSize];
extern char req_id[kReqIdSize];
extern char http_payload[kHttpPayloadSize];
