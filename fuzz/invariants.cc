#include "invariants.h"

#include <cmath>
#include <cstring>
#include <string>

#include "json_owner.h"

namespace {

constexpr std::string_view kEscapedQuote = "\\\"";
constexpr std::string_view kSaveSuccessText = "\"ResultCode\":\t0,";
constexpr std::string_view kAnswerHead = "{\n\t\"ResultCode\":\t";

// The SQL of a command line, or nothing when the line is not shaped
// "<client> <db_file> \"<SQL>\"".
bool sql_of(std::string_view line, std::string_view client, std::string_view db_file,
            std::string_view *sql) {
  std::string head = std::string(client) + " " + std::string(db_file) + " \"";
  if (line.size() < head.size() + 1 || line.substr(0, head.size()) != head || line.back() != '"')
    return false;
  *sql = line.substr(head.size(), line.size() - head.size() - 1);
  return true;
}

bool is_integer(const cJSON *item) {
  return cJSON_IsNumber(item) && std::floor(item->valuedouble) == item->valuedouble;
}

}  // namespace

bool is_one_command_line(const char *command) {
  if (command == nullptr) return false;
  size_t len = strlen(command);
  if (len < 2 || command[len - 2] != '\r' || command[len - 1] != '\n') return false;
  return strpbrk(std::string(command, len - 2).c_str(), "\r\n") == nullptr;
}

bool keeps_shell_quoting(std::string_view line, std::string_view client, std::string_view db_file) {
  std::string_view sql;
  if (!sql_of(line, client, db_file, &sql)) return false;
  bool in_value = false;
  for (size_t i = 0; i < sql.size(); ++i) {
    auto c = static_cast<unsigned char>(sql[i]);
    if (sql.substr(i, kEscapedQuote.size()) == kEscapedQuote) {
      in_value = !in_value;
      ++i;
      continue;
    }
    if (c == '"' || c == '$' || c == '`' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  }
  return !in_value;
}

std::vector<std::string_view> quoted_values(std::string_view line) {
  std::vector<std::string_view> values;
  for (size_t open = line.find(kEscapedQuote); open != std::string_view::npos;) {
    size_t start = open + kEscapedQuote.size();
    size_t close = line.find(kEscapedQuote, start);
    if (close == std::string_view::npos) break;
    values.push_back(line.substr(start, close - start));
    open = line.find(kEscapedQuote, close + kEscapedQuote.size());
  }
  return values;
}

bool is_dbshell_answer(std::string_view output, int status) {
  if (output.size() < 2 || output.back() != '\n') return false;
  std::string body(output.substr(0, output.size() - 1));
  if (body.substr(0, kAnswerHead.size()) != kAnswerHead || body.back() != '}') return false;
  // Nothing may follow the object: esimctl's text search would read a second
  // answer together with the first.
  const char *end = nullptr;
  Json root(cJSON_ParseWithOpts(body.c_str(), &end, 1));
  if (!root || !cJSON_IsObject(root.get())) return false;

  const cJSON *code = root->child;
  if (code == nullptr || strcmp(code->string, "ResultCode") != 0 || !is_integer(code)) return false;
  const cJSON *reason = cJSON_GetObjectItemCaseSensitive(root.get(), "Reason");
  bool says_success = body.find(kSaveSuccessText) != std::string::npos;

  if (status == 0) {
    const cJSON *infos = cJSON_GetObjectItemCaseSensitive(root.get(), "infos");
    const cJSON *changes = cJSON_GetObjectItemCaseSensitive(root.get(), "Changes");
    if (code->valuedouble != 0 || reason != nullptr || !says_success) return false;
    if ((infos != nullptr) == (changes != nullptr)) return false;
    if (changes != nullptr) return is_integer(changes) && changes->valuedouble >= 0;
    if (!cJSON_IsArray(infos)) return false;
    for (const cJSON *row = infos->child; row != nullptr; row = row->next)
      if (!cJSON_IsObject(row)) return false;
    return true;
  }
  if (status == 1)
    return code->valuedouble != 0 && cJSON_IsString(reason) && !says_success &&
           cJSON_GetArraySize(root.get()) == 2;
  return false;
}
