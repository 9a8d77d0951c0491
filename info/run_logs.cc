#include "run_logs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "profile_cmds.h"

namespace {

// A folder of thousands of removal logs is still read in bounded time: the
// candidates are kept in this number, and only the ones written last are
// read. Their runs are then ordered by the stamps inside, not by the files'
// times, which a clock set at boot may have put out of order.
constexpr size_t kMaxCandidates = 65536;
constexpr size_t kMaxFilesRead = 16;
constexpr size_t kNameSize = 64;

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Candidate {
  std::string name;
  std::string iccid;  // the removal's, from the name; empty for the download log
  bool removal = false;
  long long mtime = 0;
};

// The removal log's ICCID when `name` is esim_delete_<chan>_<ICCID>.txt
// (or .txt.1) with an ICCID of digits and F.
bool removal_name(const char *name, const char *prefix, std::string *iccid) {
  size_t plen = strlen(prefix);
  if (strncmp(name, prefix, plen) != 0) return false;
  const char *rest = name + plen;
  const char *dot = strchr(rest, '.');
  if (dot == nullptr || (strcmp(dot, ".txt") != 0 && strcmp(dot, ".txt.1") != 0)) return false;
  std::string id(rest, static_cast<size_t>(dot - rest));
  if (id.empty() || id.size() > 20 || !is_iccid_text(id.c_str())) return false;
  *iccid = id;
  return true;
}

// The file's last kRunLogWindow bytes into `text`; `whole` when that is the
// file from its start. False for anything that is not a regular file.
bool read_tail(int dir_fd, const char *name, std::string *text, bool *whole) {
  FileDescriptor fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  off_t size = st.st_size;
  off_t from =
      size > static_cast<off_t>(kRunLogWindow) ? size - static_cast<off_t>(kRunLogWindow) : 0;
  text->assign(static_cast<size_t>(size - from), '\0');
  size_t got = 0;
  while (got < text->size()) {
    ssize_t n = pread(fd.get(), &(*text)[got], text->size() - got, from + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text->resize(got);
  *whole = from == 0;
  return true;
}

}  // namespace

bool find_last_run(int chan, const char *dir, LastRun *last, LastRun *last_download) {
  if (last_download != nullptr) *last_download = LastRun();
  std::unique_ptr<DIR, DirCloser> folder(opendir(dir));
  if (!folder) return false;
  char add[kNameSize], add_rotated[kNameSize], prefix[kNameSize];
  snprintf(add, sizeof add, "esim_add_%d.txt", chan);
  snprintf(add_rotated, sizeof add_rotated, "esim_add_%d.txt.1", chan);
  snprintf(prefix, sizeof prefix, "esim_delete_%d_", chan);

  std::vector<Candidate> candidates;
  while (struct dirent *entry = readdir(folder.get())) {
    if (candidates.size() >= kMaxCandidates) break;
    Candidate c;
    if (strcmp(entry->d_name, add) == 0 || strcmp(entry->d_name, add_rotated) == 0)
      c.removal = false;
    else if (removal_name(entry->d_name, prefix, &c.iccid))
      c.removal = true;
    else
      continue;
    struct stat st {};
    if (fstatat(dirfd(folder.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode)) continue;
    c.name = entry->d_name;
    c.mtime = static_cast<long long>(st.st_mtime);
    candidates.push_back(c);
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate &a, const Candidate &b) { return a.mtime > b.mtime; });

  bool found = false;
  long long found_mtime = 0;
  long long download_mtime = 0;
  size_t read = 0;
  for (const Candidate &c : candidates) {
    if (read++ >= kMaxFilesRead) break;
    std::string text;
    bool whole = false;
    if (!read_tail(dirfd(folder.get()), c.name.c_str(), &text, &whole)) continue;
    LastRun run = last_run_in_log(text, whole, c.removal, c.removal ? c.iccid.c_str() : nullptr);
    if (!run.found) continue;
    if (last_download != nullptr && !c.removal &&
        (!last_download->found || later_run(run, c.mtime, *last_download, download_mtime))) {
      *last_download = run;
      download_mtime = c.mtime;
    }
    if (!found || later_run(run, c.mtime, *last, found_mtime)) {
      *last = run;
      found_mtime = c.mtime;
      found = true;
    }
  }
  return found;
}
