// The same load as qir-log-bench through spdlog's asynchronous file logger
// (one worker thread, a queue of 8192 lines that drops the oldest when full,
// flushed every second), as the figure ours is compared with.

#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "LogBenchCommon.h"

int main(int argc, char** argv) {
  logbench::Options o;
  if (!logbench::Parse(argc, argv, &o)) return 2;
  std::string dir = logbench::TempDirectory("spdlog-bench");
  if (dir.empty()) {
    perror("mkdtemp");
    return 1;
  }
  spdlog::init_thread_pool(8192, 1);
  auto log = spdlog::create_async_nb<spdlog::sinks::basic_file_sink_mt>("bench", dir + "/bench.log");
  log->set_pattern("[%H:%M:%S:%f][%-7l]%v");
  spdlog::flush_every(std::chrono::seconds(1));  // its finest period
  const std::string text(static_cast<size_t>(o.textBytes), 'x');
  double start = logbench::Seconds();
  double produced = logbench::Produce(o, [&](int _t, long _i) { log->info("{} {} {}", _t, _i, text); });
  unsigned long dropped = spdlog::thread_pool()->overrun_counter();
  log.reset();
  spdlog::shutdown();  // waits for the queue to be written and flushed
  double elapsed = logbench::Seconds() - start;
  unsigned long reported = 0;
  unsigned long landed = logbench::CountLinesAndClean(dir, nullptr, &reported);
  unsigned long sent = static_cast<unsigned long>(o.threads) * o.perThread;
  // Lines overrun after the count was read are not in it: take them from the files.
  if (landed + dropped != sent) dropped = sent - landed;
  logbench::Print("spdlog", o, produced, elapsed, landed, dropped);
  return 0;
}
