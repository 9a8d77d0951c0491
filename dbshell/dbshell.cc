// dbshell DBFILE "SQL": runs one SQL statement on an SQLite file and prints
// the outcome as one JSON object in cJSON's formatted print. See README.md.
#include "dbshell.h"

#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "json_owner.h"

namespace {

// Long enough for 32 savers queueing behind each other on slow flash.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kSynchronousFull = 2;

constexpr const char *kCreateTable =
    "CREATE TABLE IF NOT EXISTS esim_http (port INTEGER, iccid TEXT, http_ip TEXT, "
    "http_path TEXT, save_time TEXT, UNIQUE (port, iccid) ON CONFLICT REPLACE)";

struct DbCloser {
  void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
};
struct Freer {
  void operator()(char *block) const { free(block); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Prints `root` formatted, one object and a line end; false when it could not.
bool print_json(const cJSON *root) {
  JsonText text(cJSON_Print(root));
  if (!text) return false;
  return printf("%s\n", text.get()) >= 0 && fflush(stdout) == 0;
}

int report_error(int code, const char *reason) {
  Json root(cJSON_CreateObject());
  if (root && cJSON_AddNumberToObject(root.get(), "ResultCode", code) &&
      cJSON_AddStringToObject(root.get(), "Reason", reason) && print_json(root.get()))
    return 1;
  // Nothing better is left when even the error object cannot be built.
  printf("{\n\t\"ResultCode\":\t%d,\n\t\"Reason\":\t\"out of memory\"\n}\n", SQLITE_NOMEM);
  return 1;
}

int report_db_error(sqlite3 *db) {
  return report_error(sqlite3_errcode(db), sqlite3_errmsg(db));
}

// Runs a statement of the connection's own set-up and drops its rows.
int run_setup(sqlite3 *db, const char *sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// Synchronous stays at the build's default unless that is weaker than FULL:
// a commit must survive a power loss right after it.
int keep_commits_durable(sqlite3 *db) {
  sqlite3_stmt *raw = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA synchronous", -1, &raw, nullptr);
  Stmt stmt(raw);
  if (rc != SQLITE_OK) return rc;
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return sqlite3_errcode(db);
  if (sqlite3_column_int(stmt.get(), 0) >= kSynchronousFull) return SQLITE_OK;
  return run_setup(db, "PRAGMA synchronous = FULL");
}

// Column values keep their SQLite type: integers exactly (as raw numbers,
// beyond a double's precision too), blobs as lowercase hex text.
cJSON *column_value(sqlite3_stmt *stmt, int col) {
  switch (sqlite3_column_type(stmt, col)) {
    case SQLITE_INTEGER: {
      char digits[24];
      snprintf(digits, sizeof digits, "%" PRId64,
               static_cast<int64_t>(sqlite3_column_int64(stmt, col)));
      return cJSON_CreateRaw(digits);
    }
    case SQLITE_FLOAT:
      return cJSON_CreateNumber(sqlite3_column_double(stmt, col));
    case SQLITE_TEXT:
      return cJSON_CreateString(reinterpret_cast<const char *>(sqlite3_column_text(stmt, col)));
    case SQLITE_BLOB: {
      static const char kDigits[] = "0123456789abcdef";
      auto bytes = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, col));
      size_t n = static_cast<size_t>(sqlite3_column_bytes(stmt, col));
      std::unique_ptr<char, Freer> hex(static_cast<char *>(malloc(2 * n + 1)));
      if (!hex) return nullptr;
      for (size_t i = 0; i < n; ++i) {
        hex.get()[2 * i] = kDigits[bytes[i] >> 4];
        hex.get()[2 * i + 1] = kDigits[bytes[i] & 0x0f];
      }
      hex.get()[2 * n] = '\0';
      return cJSON_CreateString(hex.get());
    }
    default:
      return cJSON_CreateNull();
  }
}

// The statement's text must end after its first statement: only blanks,
// comments and semicolons may follow. Checked before anything runs.
bool only_one_statement(sqlite3 *db, const char *tail) {
  while (tail != nullptr && *tail != '\0') {
    sqlite3_stmt *raw = nullptr;
    const char *next = nullptr;
    if (sqlite3_prepare_v2(db, tail, -1, &raw, &next) != SQLITE_OK) return false;
    Stmt extra(raw);
    if (extra || next == tail) return false;
    tail = next;
  }
  return true;
}

int run_statement(sqlite3 *db, const char *sql) {
  sqlite3_stmt *raw = nullptr;
  const char *tail = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, &tail) != SQLITE_OK) return report_db_error(db);
  Stmt stmt(raw);
  if (!stmt) return report_error(SQLITE_ERROR, "no SQL statement given");
  if (!only_one_statement(db, tail))
    return report_error(SQLITE_ERROR, "only one SQL statement may be given");

  Json root(cJSON_CreateObject());
  if (!root || !cJSON_AddNumberToObject(root.get(), "ResultCode", SQLITE_OK))
    return report_error(SQLITE_NOMEM, "out of memory");
  int columns = sqlite3_column_count(stmt.get());
  cJSON *infos = columns > 0 ? cJSON_AddArrayToObject(root.get(), "infos") : nullptr;
  if (columns > 0 && infos == nullptr) return report_error(SQLITE_NOMEM, "out of memory");

  sqlite3_int64 changes_before = sqlite3_total_changes64(db);
  int rc;
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    cJSON *row = cJSON_CreateObject();
    if (row == nullptr || !cJSON_AddItemToArray(infos, row))
      return report_error(SQLITE_NOMEM, "out of memory");
    for (int col = 0; col < columns; ++col) {
      cJSON *value = column_value(stmt.get(), col);
      if (value == nullptr ||
          !cJSON_AddItemToObject(row, sqlite3_column_name(stmt.get(), col), value)) {
        cJSON_Delete(value);
        return report_error(SQLITE_NOMEM, "out of memory");
      }
    }
  }
  if (rc != SQLITE_DONE) return report_db_error(db);
  if (columns == 0 &&
      !cJSON_AddNumberToObject(root.get(), "Changes",
                               static_cast<double>(sqlite3_total_changes64(db) - changes_before)))
    return report_error(SQLITE_NOMEM, "out of memory");
  return print_json(root.get()) ? 0 : 1;
}

}  // namespace

int dbshell_main(int argc, char *argv[]) {
  if (argc != 3) return report_error(SQLITE_MISUSE, "usage: dbshell DBFILE \"SQL\"");

  sqlite3 *raw = nullptr;
  int rc = sqlite3_open_v2(argv[1], &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    if (!db) return report_error(rc, sqlite3_errstr(rc));
    return report_db_error(db.get());
  }
  sqlite3_extended_result_codes(db.get(), 0);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  if (run_setup(db.get(), "PRAGMA journal_mode = TRUNCATE") != SQLITE_OK ||
      keep_commits_durable(db.get()) != SQLITE_OK || run_setup(db.get(), kCreateTable) != SQLITE_OK)
    return report_db_error(db.get());
  return run_statement(db.get(), argv[2]);
}
