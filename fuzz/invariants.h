// What the fuzz targets hold the tool and its database client to, besides
// memory safety. Each is a plain predicate, so tests/fuzz/invariants_test.cc
// can show that it turns down the lines it must.
#pragma once

#include <string_view>
#include <vector>

// A command sent to the modem is one line: it ends in CR LF and holds no
// other CR or LF, so no text inside it can start a second command.
bool is_one_command_line(const char *command);

// A database command line keeps its quoting: exactly `client`, a blank,
// `db_file`, a blank and one double-quoted shell word holding the SQL. In the
// SQL every text value stands between \" and \", and nothing that the shell
// would read inside double quotes appears: no other double quote, no dollar
// sign, no backquote, no backslash but those of the \" pairs, and no control
// character.
bool keeps_shell_quoting(std::string_view line, std::string_view client, std::string_view db_file);

// The text values of a line that keeps its quoting, in order: what stands
// between each pair of \" marks.
std::vector<std::string_view> quoted_values(std::string_view line);

// dbshell's answer for exit status `status`: one JSON object as cJSON
// prints it, "ResultCode" first, and one line end. Status 0: ResultCode 0,
// no "Reason", and "infos" (an array of objects) or "Changes" (a count).
// Status 1: a ResultCode other than 0 and a "Reason" text. The text
// "ResultCode":<TAB>0, that esimctl's save looks for is there exactly when
// the status is 0.
bool is_dbshell_answer(std::string_view output, int status);
