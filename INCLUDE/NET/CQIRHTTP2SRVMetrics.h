#ifndef QIR_NET_CQIRHTTP2SRVMETRICS_H
#define QIR_NET_CQIRHTTP2SRVMETRICS_H

#include <nghttp2/nghttp2.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <chrono>
#include <string>

// Counters of the HTTP/2 server runtime, process-wide, for the metrics
// listener. Any thread counts the events it sees (workers, the loop thread,
// the set-up thread) into its own shard with relaxed atomic adds, so that a
// counted event costs one add on a cache line no other thread writes while
// there are fewer threads than shards; a scrape sums the shards. Counters
// only grow: the text a scrape renders follows Prometheus's counter rules.
class CQIRHTTP2SRVMetrics {
 public:
  // The ways a cleartext or TLS connection starts HTTP/2.
  enum e4form { QIR_FORM_UPGRADE = 0, QIR_FORM_PREFACE = 1, QIR_FORM_TLS = 2, QIR_FORM_COUNT = 3 };

  enum e4counter {
    QIR_M_CONN_ACCEPTED = 0,
    QIR_M_CONN_REFUSED,          // past MAX_CONNECTIONS
    QIR_M_TLS_HANDSHAKE_FAILED,  // failed or not done in time
    QIR_M_UPGRADE_REQUIRED,      // plain HTTP/1.1 answered 426
    QIR_M_AUTO_429,
    QIR_M_AUTO_503,
    QIR_M_RESET_BY_PEER,
    QIR_M_RESET_BY_SERVER,
    QIR_M_BODY_OVER_LIMIT,
    QIR_M_BYTES_RECEIVED,  // HTTP/2 bytes, inside TLS where there is TLS
    QIR_M_BYTES_SENT,
    QIR_M_SCALARS
  };

  // Close causes: the session's (0..9, defHttp2.h) and one for sockets that
  // never had a session (failed or refused set-up: TLS handshake, upgrade,
  // plain HTTP/1.1 answered 426).
  static constexpr int kSetupCause = 10;
  static constexpr int kCauses = 11;
  static constexpr int kClasses = 5;   // 1xx..5xx
  static constexpr int kBuckets = 16;  // finite latency bounds; +Inf beyond

  static void Add(int _counter, uint64_t _n);
  static void Closed(int _cause);  // below 0: kSetupCause; unknown ones count as "error"
  static void Answered(int _form, const char* _status);
  static void Latency(std::chrono::steady_clock::duration _d);

  // A frame the server session sent, on a TLS, upgraded or preface
  // connection: answers by form and status class, the latency of a stream
  // whose answer ended (from the request's last byte, which _streams'
  // GetCompleteTime tells), and resets by the server.
  template <class STREAMS>
  static void Sent(const nghttp2_frame* _frame, bool _tls, bool _upgrade, const STREAMS& _streams) {
    const int form = _tls ? QIR_FORM_TLS : _upgrade ? QIR_FORM_UPGRADE : QIR_FORM_PREFACE;
    const uint8_t type = _frame->hd.type;
    if (type == NGHTTP2_RST_STREAM) {
      Add(QIR_M_RESET_BY_SERVER, 1);
      return;
    }
    if (type != NGHTTP2_HEADERS && type != NGHTTP2_DATA) return;
    if (type == NGHTTP2_HEADERS && _frame->headers.nvlen > 0 &&
        _frame->headers.nva[0].namelen == 7 &&
        memcmp(_frame->headers.nva[0].name, ":status", 7) == 0) {
      Answered(form, reinterpret_cast<const char*>(_frame->headers.nva[0].value));
    }
    if ((_frame->hd.flags & NGHTTP2_FLAG_END_STREAM) == 0) return;
    // A stream answered before its request was complete has no latency.
    auto it = _streams.find(_frame->hd.stream_id);
    if (it == _streams.end()) return;
    const std::chrono::steady_clock::time_point done = it->second->GetCompleteTime();
    if (done != std::chrono::steady_clock::time_point()) Latency(std::chrono::steady_clock::now() - done);
  }

  // Scrape side, any thread: the counters in the text exposition format
  // (version 0.0.4), HELP and TYPE lines included.
  static void Render(std::string& _out);
};

#define QIR_HTTP2SRV_METRIC(_counter) CQIRHTTP2SRVMetrics::Add(CQIRHTTP2SRVMetrics::_counter, 1)

#endif  // QIR_NET_CQIRHTTP2SRVMETRICS_H
