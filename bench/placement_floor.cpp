// What each guarantee of a file copy costs, per small file, on the file
// system at hand: the floor under any single-threaded tool that gives it.
//   placement_floor DIR N
// DIR must not exist. It gets DIR/src with N files of 1 KiB; each strategy
// then copies them all into a directory of its own in DIR, with the *at
// calls relative to open directories, and prints microseconds per file:
//   plain      open the final name with O_CREAT|O_EXCL, copy, close
//              (what cp -r does, less its extra queries)
//   +times     plain, and the last-write time set
//   unnamed    O_TMPFILE, copy, linkat into place (no partial file ever
//              under the final name), without times
//   ours       unnamed, fstat of the source and the time set: what fileop does
//   renamed    a temporary name, copy, time, renameat2 without replacing
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

enum class Strategy { kPlain, kTimes, kUnnamed, kOurs, kRenamed };

bool CopyOne(int src, int dst, const char* name, Strategy how) {
  struct stat st;
  if (fstatat(src, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  int in = openat(src, name, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  if (how == Strategy::kOurs && fstat(in, &st) != 0) return false;
  const std::string temporary = std::string(".tmp-") + name;
  int out = -1;
  switch (how) {
    case Strategy::kPlain:
    case Strategy::kTimes: out = openat(dst, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644); break;
    case Strategy::kUnnamed:
    case Strategy::kOurs: out = openat(dst, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644); break;
    case Strategy::kRenamed:
      out = openat(dst, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      break;
  }
  if (out < 0) return false;
  bool ok = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(st.st_size), 0) == st.st_size;
  if (how == Strategy::kTimes || how == Strategy::kOurs || how == Strategy::kRenamed) {
    struct timespec times[2] = {{0, UTIME_NOW}, st.st_mtim};
    ok = ok && futimens(out, times) == 0;
  }
  if (how == Strategy::kUnnamed || how == Strategy::kOurs) {
    ok = ok && linkat(out, "", dst, name, AT_EMPTY_PATH) == 0;
  } else if (how == Strategy::kRenamed) {
    ok = ok && renameat2(dst, temporary.c_str(), dst, name, RENAME_NOREPLACE) == 0;
  }
  close(in);
  close(out);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: placement_floor DIR N\n");
    return 2;
  }
  const std::string target = argv[1];
  const int n = std::atoi(argv[2]);
  const std::string source = target + "/src";
  if (mkdir(target.c_str(), 0777) != 0 || mkdir(source.c_str(), 0777) != 0) {
    std::perror("placement_floor");
    return 1;
  }
  const std::string kilobyte(1024, 'x');
  for (int i = 0; i < n; ++i) {
    int fd = open((source + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || write(fd, kilobyte.data(), kilobyte.size()) != 1024) {
      std::perror("placement_floor");
      return 1;
    }
    close(fd);
  }
  int src = open(source.c_str(), O_PATH | O_DIRECTORY);
  const struct {
    const char* name;
    Strategy how;
  } strategies[] = {{"plain", Strategy::kPlain},     {"+times", Strategy::kTimes}, {"unnamed", Strategy::kUnnamed},
                    {"ours", Strategy::kOurs},       {"renamed", Strategy::kRenamed}};
  for (int round = 0; round < 2; ++round) {  // the first round warms up
    for (const auto& s : strategies) {
      const std::string dir = target + "/" + s.name + std::to_string(round);
      mkdir(dir.c_str(), 0777);
      int dst = open(dir.c_str(), O_PATH | O_DIRECTORY);
      const double start = Now();
      int failed = 0;
      for (int i = 0; i < n; ++i) failed += !CopyOne(src, dst, ("f" + std::to_string(i)).c_str(), s.how);
      const double seconds = Now() - start;
      close(dst);
      if (round == 1) std::printf("%-8s %6.2f us per file%s\n", s.name, seconds / n * 1e6, failed ? " (failures!)" : "");
    }
  }
  return 0;
}
