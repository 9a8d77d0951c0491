// The exit-status table that callers read in the README against the codes
// the workflows return: a code added, renumbered or dropped on one side only
// fails here.
#include "result_codes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The (status, result) pairs of a table whose rows read "| 245 | -11 | ...".
std::set<std::pair<int, int>> table_rows(const std::string &text, std::string *zero_row) {
  std::set<std::pair<int, int>> rows;
  std::regex row(R"(^\| (\d+) \| (-?\d+) \|(.*)$)");
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, m, row)) continue;
    rows.insert({std::stoi(m[1]), std::stoi(m[2])});
    if (m[2] == "0") *zero_row = m[3];
  }
  return rows;
}

TEST(ResultCodes, ReadmeTableMatchesTheWorkflowCodes) {
  std::string readme = read_file(std::string(PROJECT_DIR) + "/README.md");
  ASSERT_FALSE(readme.empty());
  std::string zero_row;
  std::set<std::pair<int, int>> documented = table_rows(readme, &zero_row);

  std::set<std::pair<int, int>> returned = {{0, 0}};
  for (WorkflowResult code : kStoppingResults) returned.insert({code & 0xff, code});
  EXPECT_EQ(documented, returned);

  for (WorkflowResult code : kLoggedResults) {
    SCOPED_TRACE(code);
    std::regex named("ret=" + std::to_string(code) + "[^0-9]");
    EXPECT_TRUE(std::regex_search(zero_row, named))
        << "the status 0 row names every code that is only logged";
  }
}

// The same table in the manual page, where scdoc gives each row as
// "|  <status>" and each further cell as ":  <text>".
std::set<std::pair<int, int>> man_rows(const std::string &text) {
  std::set<std::pair<int, int>> rows;
  std::regex status_cell(R"(^\|  (\d+)$)");
  std::regex result_cell(R"(^:  (-?\d+)$)");
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  int status = -1;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, status_cell)) {
      status = std::stoi(m[1]);
    } else if (status >= 0 && std::regex_match(line, m, result_cell)) {
      rows.insert({status, std::stoi(m[1])});
      status = -1;
    } else {
      status = -1;
    }
  }
  return rows;
}

TEST(ResultCodes, ManualPageTableMatchesTheWorkflowCodes) {
  std::string page = read_file(std::string(PROJECT_DIR) + "/docs/man/esimctl.1.scd");
  ASSERT_FALSE(page.empty());
  std::set<std::pair<int, int>> returned = {{0, 0}};
  for (WorkflowResult code : kStoppingResults) returned.insert({code & 0xff, code});
  EXPECT_EQ(man_rows(page), returned);
  // Each stopping code has its entry in AFTER A FAILURE.
  std::string after = page.substr(page.find("# AFTER A FAILURE"));
  for (WorkflowResult code : kStoppingResults) {
    SCOPED_TRACE(code);
    EXPECT_NE(after.find("*" + std::to_string(code & 0xff) + "*"), std::string::npos);
  }
}

}  // namespace
