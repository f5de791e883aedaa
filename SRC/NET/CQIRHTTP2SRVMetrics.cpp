#include "CQIRHTTP2SRVMetrics.h"

#include "CQIRServiceLog.h"

#include <stdarg.h>
#include <stdio.h>

#include <atomic>

namespace {

typedef CQIRHTTP2SRVMetrics M;

// Slots of one shard: the scalar counters, then the close causes, the
// answers by form and class, the latency buckets (+Inf last; their sum is
// the count) and the latency's sum in nanoseconds.
constexpr int kClosedBase = M::QIR_M_SCALARS;
constexpr int kAnsweredBase = kClosedBase + M::kCauses;
constexpr int kBucketBase = kAnsweredBase + M::QIR_FORM_COUNT * M::kClasses;
constexpr int kLatencySum = kBucketBase + M::kBuckets + 1;
constexpr int kSlots = kLatencySum + 1;

// More shards than a server has threads that count. The first kShards
// threads own one each and add with a plain load and store: a locked add
// would wait for every store before it, which costs a worker more than the
// count itself. Threads beyond them share the shards with atomic adds.
constexpr int kShards = 32;

struct alignas(64) Shard {
  std::atomic<uint64_t> v[kSlots];
};

Shard g_shards[kShards];
std::atomic<int> g_nextShard(0);

struct Owner {
  Owner() {
    int n = g_nextShard.fetch_add(1, std::memory_order_relaxed);
    shard = &g_shards[n % kShards];
    exclusive = n < kShards;
  }
  Shard* shard;
  bool exclusive;
};

Owner& Mine() {
  thread_local Owner owner;
  return owner;
}

void Bump(Owner& _o, int _slot, uint64_t _n) {
  std::atomic<uint64_t>& a = _o.shard->v[_slot];
  if (_o.exclusive) {
    a.store(a.load(std::memory_order_relaxed) + _n, std::memory_order_relaxed);
  } else {
    a.fetch_add(_n, std::memory_order_relaxed);
  }
}

void Bump(int _slot, uint64_t _n) { Bump(Mine(), _slot, _n); }

uint64_t Sum(int _slot) {
  uint64_t sum = 0;
  for (const Shard& s : g_shards) sum += s.v[_slot].load(std::memory_order_relaxed);
  return sum;
}

// Upper bounds of the latency buckets: from 100 us (a loopback answer) to
// 10 s (an application that answers late).
const double kBounds[M::kBuckets] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                     0.05,   0.1,     0.25,   0.5,   1.0,    2.5,   5.0,  10.0};

const int64_t kBoundsNs[M::kBuckets] = {
    100000,    250000,    500000,     1000000,    2500000,    5000000,    10000000,   25000000,
    50000000, 100000000, 250000000, 500000000, 1000000000, 2500000000, 5000000000, 10000000000};

const char* const kCauseLabels[M::kCauses] = {
    "none",         "self",        "peer",           "error",
    "timeout",      "stream_full", "ping_timeout",   "event_error",
    "internal_error", "stream_already_closed", "setup"};
const char* const kFormLabels[M::QIR_FORM_COUNT] = {"upgrade", "preface", "tls"};

void Line(std::string& _out, const char* _fmt, ...) __attribute__((format(printf, 2, 3)));
void Line(std::string& _out, const char* _fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, _fmt);
  int n = vsnprintf(buf, sizeof(buf), _fmt, ap);
  va_end(ap);
  if (n > 0) _out.append(buf, static_cast<size_t>(n) < sizeof(buf) ? static_cast<size_t>(n) : sizeof(buf) - 1);
}

void Head(std::string& _out, const char* _name, const char* _type, const char* _help) {
  Line(_out, "# HELP %s %s\n# TYPE %s %s\n", _name, _help, _name, _type);
}

void Counter(std::string& _out, const char* _name, const char* _help, uint64_t _value) {
  Head(_out, _name, "counter", _help);
  Line(_out, "%s %llu\n", _name, static_cast<unsigned long long>(_value));
}

}  // namespace

void CQIRHTTP2SRVMetrics::Add(int _counter, uint64_t _n) {
  if (_counter >= 0 && _counter < QIR_M_SCALARS) Bump(_counter, _n);
}

void CQIRHTTP2SRVMetrics::Closed(int _cause) {
  if (_cause < 0) _cause = kSetupCause;
  if (_cause >= kCauses) _cause = 3;  // "error"
  Bump(kClosedBase + _cause, 1);
}

void CQIRHTTP2SRVMetrics::Answered(int _form, const char* _status) {
  if (_form < 0 || _form >= QIR_FORM_COUNT || _status == nullptr) return;
  int cls = _status[0] - '1';
  if (cls < 0 || cls >= kClasses) return;  // nghttp2 sends three digits only
  Bump(kAnsweredBase + _form * kClasses + cls, 1);
}

void CQIRHTTP2SRVMetrics::Latency(std::chrono::steady_clock::duration _d) {
  int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(_d).count();
  if (ns < 0) ns = 0;
  int b = 0;
  while (b < kBuckets && ns > kBoundsNs[b]) ++b;
  Owner& o = Mine();
  Bump(o, kBucketBase + b, 1);
  Bump(o, kLatencySum, static_cast<uint64_t>(ns));
}

void CQIRHTTP2SRVMetrics::Render(std::string& _out) {
  Counter(_out, "qir_connections_accepted_total",
          "Connections accepted on the HTTP/2 ports (refused ones not included).",
          Sum(QIR_M_CONN_ACCEPTED));
  Counter(_out, "qir_connections_refused_total",
          "Connections closed at once because MAX_CONNECTIONS were open.", Sum(QIR_M_CONN_REFUSED));
  Head(_out, "qir_connections_closed_total", "counter",
       "Accepted connections closed, by cause (setup: never served).");
  for (int c = 0; c < kCauses; ++c) {
    Line(_out, "qir_connections_closed_total{cause=\"%s\"} %llu\n", kCauseLabels[c],
         static_cast<unsigned long long>(Sum(kClosedBase + c)));
  }
  Counter(_out, "qir_tls_handshake_failures_total",
          "TLS handshakes that failed or did not complete in time.", Sum(QIR_M_TLS_HANDSHAKE_FAILED));
  Counter(_out, "qir_upgrade_required_total",
          "Plain HTTP/1.1 requests on the upgrade port answered 426.", Sum(QIR_M_UPGRADE_REQUIRED));

  Head(_out, "qir_requests_total", "counter",
       "Requests answered, by how the connection started HTTP/2 and by status class.");
  for (int f = 0; f < QIR_FORM_COUNT; ++f) {
    for (int c = 0; c < kClasses; ++c) {
      Line(_out, "qir_requests_total{form=\"%s\",code=\"%dxx\"} %llu\n", kFormLabels[f], c + 1,
           static_cast<unsigned long long>(Sum(kAnsweredBase + f * kClasses + c)));
    }
  }
  Head(_out, "qir_automatic_responses_total", "counter",
       "Answers the runtime gave itself: 429 past the stream limit, 503 while stopping.");
  Line(_out, "qir_automatic_responses_total{code=\"429\"} %llu\n",
       static_cast<unsigned long long>(Sum(QIR_M_AUTO_429)));
  Line(_out, "qir_automatic_responses_total{code=\"503\"} %llu\n",
       static_cast<unsigned long long>(Sum(QIR_M_AUTO_503)));
  Head(_out, "qir_stream_resets_total", "counter", "Streams reset (RST_STREAM), by the side that reset.");
  Line(_out, "qir_stream_resets_total{by=\"peer\"} %llu\n",
       static_cast<unsigned long long>(Sum(QIR_M_RESET_BY_PEER)));
  Line(_out, "qir_stream_resets_total{by=\"server\"} %llu\n",
       static_cast<unsigned long long>(Sum(QIR_M_RESET_BY_SERVER)));
  Counter(_out, "qir_request_bodies_over_limit_total",
          "Requests whose body was longer than the payload limit.", Sum(QIR_M_BODY_OVER_LIMIT));

  Head(_out, "qir_request_duration_seconds", "histogram",
       "Time from a request's last byte received to its answer's last byte sent.");
  uint64_t cumulative = 0;
  for (int b = 0; b <= kBuckets; ++b) {
    cumulative += Sum(kBucketBase + b);
    if (b < kBuckets) {
      Line(_out, "qir_request_duration_seconds_bucket{le=\"%g\"} %llu\n", kBounds[b],
           static_cast<unsigned long long>(cumulative));
    } else {
      Line(_out, "qir_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
           static_cast<unsigned long long>(cumulative));
    }
  }
  Line(_out, "qir_request_duration_seconds_sum %.9f\n", static_cast<double>(Sum(kLatencySum)) / 1e9);
  // The count is the +Inf bucket's, read once, so that the two always agree.
  Line(_out, "qir_request_duration_seconds_count %llu\n", static_cast<unsigned long long>(cumulative));

  Counter(_out, "qir_received_bytes_total", "HTTP/2 bytes received (inside TLS where there is TLS).",
          Sum(QIR_M_BYTES_RECEIVED));
  Counter(_out, "qir_sent_bytes_total", "HTTP/2 bytes sent (inside TLS where there is TLS).",
          Sum(QIR_M_BYTES_SENT));
  Counter(_out, "qir_log_dropped_records_total",
          "Service log records lost because the log writer could not keep up.",
          G_SERVICE_LOGGER.GetDropCount());
}
