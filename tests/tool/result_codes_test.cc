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

}  // namespace
