// What the log load programs share: options, producer pacing, the count of
// lines that reached the disk. Each program logs "<thread> <seq> <text>" from
// its producer threads and prints the same figures, so that their lines can
// be put side by side.

#ifndef QIR_BENCH_LOGBENCHCOMMON_H
#define QIR_BENCH_LOGBENCHCOMMON_H

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

namespace logbench {

struct Options {
  int threads = 4;
  long perThread = 100000;  // lines per thread when no rate is given
  int textBytes = 100;
  long rate = 0;        // lines per second over all threads; 0 = as fast as they can
  double seconds = 10;  // run time with a rate
};

inline double Seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

inline bool Parse(int _argc, char** _argv, Options* _o) {
  for (int opt; (opt = getopt(_argc, _argv, "t:n:s:r:d:")) != -1;) {
    switch (opt) {
      case 't': _o->threads = atoi(optarg); break;
      case 'n': _o->perThread = atol(optarg); break;
      case 's': _o->textBytes = atoi(optarg); break;
      case 'r': _o->rate = atol(optarg); break;
      case 'd': _o->seconds = atof(optarg); break;
      default:
        fprintf(stderr,
                "usage: %s [-t threads] [-n lines per thread] [-s text bytes]"
                " [-r lines/s over all threads -d seconds]\n",
                _argv[0]);
        return false;
    }
  }
  if (_o->rate > 0) _o->perThread = static_cast<long>(_o->rate * _o->seconds / _o->threads);
  if (_o->threads < 1 || _o->perThread < 1 || _o->textBytes < 1 || _o->textBytes > 4000 ||
      _o->rate < 0 || _o->seconds <= 0) {
    fprintf(stderr, "bad arguments\n");
    return false;
  }
  return true;
}

// Runs _log(thread, seq) perThread times on each of the threads: as fast as
// they can, or at rate/threads lines per second each, on a fixed schedule
// (a late thread catches up rather than lowering the rate). Returns the time
// the producers took.
template <typename F>
double Produce(const Options& _o, F _log) {
  const double start = Seconds();
  std::vector<std::thread> producers;
  for (int t = 0; t < _o.threads; ++t) {
    producers.emplace_back([&_o, &_log, t, start] {
      const double interval = _o.rate > 0 ? static_cast<double>(_o.threads) / _o.rate : 0;
      for (long i = 0; i < _o.perThread; ++i) {
        if (interval > 0) {
          double due = start + i * interval, now = Seconds();
          if (due > now + 0.0005) usleep(static_cast<useconds_t>((due - now) * 1e6));
        }
        _log(t, i);
      }
    });
  }
  for (auto& p : producers) p.join();
  return Seconds() - start;
}

// Lines in every file of _dir, which is removed after. A line containing
// _report is the logger's own loss report: *_reported sums the counts that
// follow it instead.
inline unsigned long CountLinesAndClean(const std::string& _dir, const char* _report,
                                        unsigned long* _reported) {
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
        const char* report = _report != nullptr ? strstr(line, _report) : nullptr;
        if (report != nullptr) {
          *_reported += strtoul(report + strlen(_report), nullptr, 10);
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

inline void Print(const char* _what, const Options& _o, double _produced, double _elapsed,
                  unsigned long _landed, unsigned long _dropped) {
  unsigned long sent = static_cast<unsigned long>(_o.threads) * _o.perThread;
  printf("%-6s threads=%d text=%dB %s lines=%lu: calls %.0f/s, on disk %lu lines %.0f lines/s, "
         "dropped %lu (%.2f%%)\n",
         _what, _o.threads, _o.textBytes, _o.rate > 0 ? "paced" : "flat-out", sent,
         sent / _produced, _landed, _landed / _elapsed, _dropped, 100.0 * _dropped / sent);
}

inline std::string TempDirectory(const char* _tag) {
  std::string tmpl = std::string("/tmp/") + _tag + "-XXXXXX";
  return mkdtemp(&tmpl[0]) != nullptr ? tmpl : "";
}

}  // namespace logbench

#endif  // QIR_BENCH_LOGBENCHCOMMON_H
