// The command line: options into the process-wide settings.
#pragma once

// Prints the usage text to standard output with `prog_name` filled in.
void usage(const char *prog_name);

// Parses the options with getopt ("c:a:i:f:rdnpth") into the settings.
// 0: the settings allow a run. On every refusal the usage text is printed and
// the result is -1 (too few words, -h, unknown option or missing argument),
// -2 (channel not above 0), -3 (neither ICCID nor activation code) or
// -4 (an argument too long for its buffer, an ICCID outside 0-9/F/f, an
// activation code holding a double quote or a control character, or a
// channel that is not a decimal number within int).
int parse_arguments(int argc, char *argv[]);
