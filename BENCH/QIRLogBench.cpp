// Load figure for the service log's file mode: producer threads log as fast
// as they can through the named pipe; the writer thread puts what it can on
// disk and the rest is dropped whole. Prints lines per second that reached
// the files and how many were dropped. Not a test: nothing is asserted.
//
//   qir-log-bench [-t threads] [-n lines per thread] [-s text bytes] [-p pause_us]
//
// -p pauses each producer that many microseconds after every line, to find
// the rate the writer sustains without dropping.

#include "CQIRServiceLog.h"

#include <dirent.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

double Seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

const char kDropReport[] = "]service log dropped ";

// Lines in every file of _dir (the bench's own directory), removed after.
// The log's own loss reports are not counted as lines; *_reported sums the
// losses they announce.
unsigned long CountLinesAndClean(const std::string& _dir, unsigned long* _reported) {
  unsigned long lines = 0;
  *_reported = 0;
  DIR* dir = opendir(_dir.c_str());
  if (dir == nullptr) return 0;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string path = _dir + "/" + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    FILE* fp = fopen(path.c_str(), "r");
    if (fp != nullptr) {
      char line[8192];
      while (fgets(line, sizeof(line), fp) != nullptr) {
        const char* report = strstr(line, kDropReport);
        if (report != nullptr) {
          *_reported += strtoul(report + sizeof(kDropReport) - 1, nullptr, 10);
        } else if (strchr(line, '\n') != nullptr) {
          ++lines;
        }
      }
      fclose(fp);
    }
    unlink(path.c_str());
  }
  closedir(dir);
  rmdir(_dir.c_str());
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 4;
  long perThread = 100000;
  int textBytes = 100;
  int pauseUs = 0;
  for (int opt; (opt = getopt(argc, argv, "t:n:s:p:")) != -1;) {
    switch (opt) {
      case 't': threads = atoi(optarg); break;
      case 'n': perThread = atol(optarg); break;
      case 's': textBytes = atoi(optarg); break;
      case 'p': pauseUs = atoi(optarg); break;
      default:
        fprintf(stderr, "usage: %s [-t threads] [-n lines] [-s bytes] [-p pause_us]\n", argv[0]);
        return 2;
    }
  }
  if (threads < 1 || perThread < 1 || textBytes < 1 || textBytes > 4000 || pauseUs < 0) {
    fprintf(stderr, "bad arguments\n");
    return 2;
  }
  char tmpl[] = "/tmp/qir-log-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  setenv("TMPDIR", dir.c_str(), 1);
  unsetenv("QIR_RES_HOME");

  CQIRServiceLog log;
  if (log.Initialize(dir.c_str(), "bench", "LOG", 0, 0) == 0) return 1;
  const std::string text(static_cast<size_t>(textBytes), 'x');
  double start = Seconds();
  std::vector<std::thread> producers;
  for (int t = 0; t < threads; ++t) {
    producers.emplace_back([&, t] {
      for (long i = 0; i < perThread; ++i) {
        log.MessageLog(QIR_LOG_INFO, "%d %ld %s", t, i, text.c_str());
        if (pauseUs > 0) usleep(static_cast<useconds_t>(pauseUs));
      }
    });
  }
  for (auto& p : producers) p.join();
  double produced = Seconds() - start;
  log.Finalize();  // returns once everything in the pipe is on disk
  double elapsed = Seconds() - start;

  unsigned long sent = static_cast<unsigned long>(threads) * static_cast<unsigned long>(perThread);
  unsigned long dropped = log.GetDropCount();
  unsigned long reported = 0;
  unsigned long landed = CountLinesAndClean(dir, &reported);
  printf("threads=%d lines=%lu text=%dB pause=%dus\n", threads, sent, textBytes, pauseUs);
  printf("  log calls:   %.0f lines/s over all producers (%.3f s)\n", sent / produced, produced);
  printf("  on disk:     %lu lines, %.0f lines/s (%.3f s until Finalize returned)\n", landed,
         landed / elapsed, elapsed);
  printf("  dropped:     %lu lines (%.1f%%) at a full pipe; the log reported %lu\n", dropped,
         100.0 * dropped / sent, reported);
  bool ok = landed + dropped == sent && reported == dropped;
  if (!ok) printf("  MISMATCH: landed + dropped != sent, or reported != dropped\n");
  return ok ? 0 : 1;
}
