// Runs dbshell in-process on argument vectors built from the input and holds
// what it prints to its contract: one JSON answer that says success exactly
// when the exit status does.
// Input: one byte picking the argument count (mostly the usual three), then
// the SQL. The database is always ":memory:": no input chooses a path.
#include <sqlite3.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "dbshell.h"
#include "fuzz_support.h"
#include "invariants.h"

namespace {

// esimctl's longest command line is 1280 bytes; four times that is plenty
// for statements that differ from its own.
constexpr size_t kMostSqlBytes = 4096;
// Per run: the progress callback comes every kStepsPerCall virtual machine
// steps and stops the statement after kMostCalls of them. Text and blobs stay
// under kMostValueBytes, the whole of SQLite's memory under kMostHeapBytes.
constexpr int kStepsPerCall = 1000;
constexpr int kMostCalls = 20;
constexpr int kMostValueBytes = 1 << 20;
constexpr sqlite3_int64 kMostHeapBytes = 256 << 20;

// Statements that name a file: the fuzzer must not create files where its
// bytes say (ATTACH and VACUUM INTO), nor move SQLite's temporary files.
const char *const kRefusedWords[] = {"attach", "vacuum", "store_directory"};

int calls_left = 0;

int stop_runaway(void *) {
  return --calls_left < 0;
}

// Called by SQLite for every connection dbshell opens: bounds that belong to
// the fuzzing, not to dbshell, so they are set from here.
int bound_connection(sqlite3 *db, const char **, const sqlite3_api_routines *) {
  calls_left = kMostCalls;
  sqlite3_progress_handler(db, kStepsPerCall, stop_runaway, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, kMostValueBytes);
  sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
  return SQLITE_OK;
}

int captured_fd = -1;

// What dbshell printed since the last call.
std::string take_output() {
  FUZZ_CHECK(fflush(stdout) == 0);
  struct stat st;
  FUZZ_CHECK(fstat(captured_fd, &st) == 0);
  std::string out(static_cast<size_t>(st.st_size), '\0');
  FUZZ_CHECK(pread(captured_fd, out.data(), out.size(), 0) == st.st_size);
  FUZZ_CHECK(ftruncate(captured_fd, 0) == 0 && lseek(captured_fd, 0, SEEK_SET) == 0);
  return out;
}

}  // namespace

// Each run opens a connection and drops it, freeing everything it took; a
// freed block is still held back for the next 16 MB of frees, many runs'
// worth, so a use after free is caught all the same. The default 256 MB
// kept every run on fresh memory, and its page faults doubled the cost.
extern "C" const char *__asan_default_options() {
  return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  captured_fd = memfd_create("dbshell-stdout", 0);
  FUZZ_CHECK(captured_fd >= 0 && dup2(captured_fd, STDOUT_FILENO) == STDOUT_FILENO);
  close(captured_fd);
  captured_fd = STDOUT_FILENO;
  // No lookaside slab and no page cache allocated ahead: every allocation of
  // SQLite's goes through the sanitizer's allocator, and a connection does
  // not start with some 200 KB of fresh memory (the quarantine never hands
  // back recent blocks) whose page faults cost more than the statement.
  FUZZ_CHECK(sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0) == SQLITE_OK);
  FUZZ_CHECK(sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0) == SQLITE_OK);
  FUZZ_CHECK(sqlite3_auto_extension(reinterpret_cast<void (*)()>(bound_connection)) == SQLITE_OK);
  sqlite3_hard_heap_limit64(kMostHeapBytes);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size - 1 > kMostSqlBytes) return -1;
  std::string sql(reinterpret_cast<const char *>(data + 1), size - 1);
  sql.resize(sql.find('\0') == std::string::npos ? sql.size() : sql.find('\0'));
  for (const char *word : kRefusedWords)
    if (strcasestr(sql.c_str(), word) != nullptr) return -1;

  std::string program = "dbshell", db_file = ":memory:";
  std::vector<char *> argv{program.data(), db_file.data(), sql.data(), sql.data(), nullptr};
  // 0-5: dbshell DBFILE SQL; 6: no SQL; 7: one word too many.
  int argc = data[0] % 8 == 6 ? 2 : data[0] % 8 == 7 ? 4 : 3;
  argv[argc] = nullptr;

  int status = dbshell_main(argc, argv.data());
  std::string output = take_output();
  FUZZ_CHECK(is_dbshell_answer(output, status));
  return 0;
}
