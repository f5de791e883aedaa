// Load figure for the service log's file mode: producer threads log through
// the named pipe; the writer thread puts what it can on disk and the rest is
// dropped whole. Prints lines per second that reached the files and how many
// were dropped. Not a test: it only checks that the figures add up.
//
//   qir-log-bench [-t threads] [-n lines per thread] [-s text bytes]
//                 [-r lines/s over all threads -d seconds]

#include "CQIRServiceLog.h"
#include "LogBenchCommon.h"

int main(int argc, char** argv) {
  logbench::Options o;
  if (!logbench::Parse(argc, argv, &o)) return 2;
  std::string dir = logbench::TempDirectory("qir-log-bench");
  if (dir.empty()) {
    perror("mkdtemp");
    return 1;
  }
  setenv("TMPDIR", dir.c_str(), 1);
  unsetenv("QIR_RES_HOME");

  CQIRServiceLog log;
  if (log.Initialize(dir.c_str(), "bench", "LOG", 0, 0) == 0) return 1;
  const std::string text(static_cast<size_t>(o.textBytes), 'x');
  double start = logbench::Seconds();
  double produced = logbench::Produce(o, [&](int _t, long _i) {
    log.MessageLog(QIR_LOG_INFO, "%d %ld %s", _t, _i, text.c_str());
  });
  log.Finalize();  // returns once everything in the pipe is on disk
  double elapsed = logbench::Seconds() - start;

  unsigned long sent = static_cast<unsigned long>(o.threads) * o.perThread;
  unsigned long dropped = log.GetDropCount(), reported = 0;
  unsigned long landed =
      logbench::CountLinesAndClean(dir, "]service log dropped ", &reported);
  logbench::Print("qir", o, produced, elapsed, landed, dropped);
  bool ok = landed + dropped == sent && reported == dropped;
  if (!ok) printf("MISMATCH: on disk + dropped != sent, or the log reported %lu\n", reported);
  return ok ? 0 : 1;
}
