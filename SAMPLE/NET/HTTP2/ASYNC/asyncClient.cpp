// h2async-client: keeps many POST requests to /echo in flight over one or
// more HTTP/2 connections, all driven by one thread on its own epoll set
// (the engine's external event mode), and prints the request rate, the
// latency spread and the outcome of every request.
//
//   h2async-client -h HOST -p PORT -c REQUESTS [-m STREAMS_IN_FLIGHT]
//                  [-n CONNECTIONS] [-u | -P] [-d BODY_FILE] [-t TIMEOUT_MS]
//                  [--cacert FILE]
//   h2async-client --help | --version
//
// TLS with ALPN h2 by default; -u cleartext with the HTTP/1.1 upgrade, -P
// cleartext with the connection preface; --cacert FILE verifies the server
// strictly (chain to a CA in FILE, host name). Exit status: 0 when every request
// was answered, 1 otherwise (or when no connection could be made), 2 for
// invalid arguments. --help and --version print and exit 0.

#include "CQIRHttp2Request.h"
#include "CQIRServiceLog.h"
#include "QIRCommonOpenSSL.h"
#include "QIRHttp2Option.h"
#include "defHttp2.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#ifndef QIR_VERSION
#define QIR_VERSION "unknown"
#endif

namespace {

typedef std::chrono::steady_clock Clock;

struct Args {
  std::string host;
  int port = 0;
  int requests = 0;
  int streams = 1;      // in flight per connection
  int connections = 1;
  bool upgrade = false;
  bool preface = false;
  std::string bodyFile;
  int timeoutMs = 5000;
  std::string caFile;  // strict verification of the server when set
};

void Usage(FILE* _out, const char* _name) {
  fprintf(_out,
          "usage: %s -h HOST -p PORT -c REQUESTS [-m STREAMS_IN_FLIGHT] [-n CONNECTIONS]\n"
          "          [-u | -P] [-d BODY_FILE] [-t TIMEOUT_MS] [--cacert FILE]\n"
          "  -h HOST         server name or address\n"
          "  -p PORT         server port\n"
          "  -c REQUESTS     requests in all (POST /echo)\n"
          "  -m STREAMS      requests in flight per connection (default 1)\n"
          "  -n CONNECTIONS  connections, driven by one thread (default 1)\n"
          "  -u              cleartext, HTTP/1.1 upgrade to h2c\n"
          "  -P              cleartext, HTTP/2 connection preface\n"
          "                  (default: TLS with ALPN h2)\n"
          "  -d BODY_FILE    request body (default: none)\n"
          "  -t TIMEOUT_MS   response time-out, rounded up to whole seconds (default 5000)\n"
          "  --cacert FILE   trust only the CAs in FILE and check the host name\n"
          "                  (default: any server certificate, with a warning)\n"
          "  --help          this text\n"
          "  --version       the version\n",
          _name);
}

// 1 run, 0 printed help or version, -1 invalid.
int ParseArgs(int _argc, char** _argv, Args* _a) {
  if (_argc == 2 && strcmp(_argv[1], "--version") == 0) {
    printf("h2async-client %s\n", QIR_VERSION);
    return 0;
  }
  if (_argc == 2 && strcmp(_argv[1], "--help") == 0) {
    Usage(stdout, _argv[0]);
    return 0;
  }
  opterr = 0;
  int opt;
  static const struct option kLong[] = {{"cacert", required_argument, nullptr, 'C'},
                                        {nullptr, 0, nullptr, 0}};
  while ((opt = getopt_long(_argc, _argv, "h:p:c:m:n:uPd:t:", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'C': _a->caFile = optarg; break;
      case 'h': _a->host = optarg; break;
      case 'p': _a->port = atoi(optarg); break;
      case 'c': _a->requests = atoi(optarg); break;
      case 'm': _a->streams = atoi(optarg); break;
      case 'n': _a->connections = atoi(optarg); break;
      case 'u': _a->upgrade = true; break;
      case 'P': _a->preface = true; break;
      case 'd': _a->bodyFile = optarg; break;
      case 't': _a->timeoutMs = atoi(optarg); break;
      default: return -1;
    }
  }
  if (optind != _argc || _a->host.empty() || _a->port <= 0 || _a->port > 65535 ||
      _a->requests < 0 || _a->streams < 1 || _a->connections < 1 || _a->timeoutMs < 1 ||
      (_a->upgrade && _a->preface)) {
    return -1;
  }
  return 1;
}

// The TLS context of every connection, made in one place; null (logged)
// when the CA file cannot be loaded.
SSL_CTX* MakeClientContext(const std::string& _caFile) {
  QIR_SSL_INIT();
  SSL_CTX* ctx = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
  if (ctx == nullptr) return nullptr;
  if (!_caFile.empty() && QIR_SSL_CTX_SET_STRICT_VERIFY(ctx, _caFile.c_str()) != 0) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  QIR_SSL_CTX_ENABLE_TLS13(ctx);
  return ctx;
}

// One connection and its share of the requests.
struct Conn {
  CQIRHttp2Request engine;
  int quota = 0;     // requests it is to send
  int accepted = 0;  // taken by Request
  int done = 0;      // outcomes collected
  int inFlight = 0;
  bool alive = false;
};

struct Tally {
  int status[6] = {0};  // by class: [1]..[5]; [0] anything else
  int timedOut = 0, refused = 0, reset = 0, failed = 0, notSent = 0;
  std::vector<double> latencyMs;
  int Answered() const {
    int n = 0;
    for (int s : status) n += s;
    return n;
  }
};

class Runner {
 public:
  Runner(const Args& _a, const std::string& _body) : a_(_a), body_(_body) {}
  ~Runner() {
    if (epfd_ >= 0) close(epfd_);
  }

  bool Connect(SSL_CTX* _ctx) {
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) return false;
    QIR_ST_HTTP2_OPTIONS o;
    o.nMaxConcurrentStream_ = (uint32_t)a_.streams;
    o.nMaxPayloadSize_ = (uint32_t)std::max<size_t>(body_.size(), 4096);
    o.nTimeout_ = (uint32_t)((a_.timeoutMs + 999) / 1000);
    starts_.resize((size_t)a_.requests);
    int live = 0;
    for (int i = 0; i < a_.connections; ++i) {
      conns_.emplace_back(new Conn);
      Conn& c = *conns_.back();
      c.quota = a_.requests / a_.connections + (i < a_.requests % a_.connections ? 1 : 0);
      std::string name = "c" + std::to_string(i);
      if (!c.engine.Initialize(name.c_str(), &o)) continue;
      if (a_.upgrade) {
        c.alive = c.engine.Connect(a_.host.c_str(), a_.port, true);
      } else {
        c.alive = c.engine.Connect(a_.host.c_str(), a_.port, a_.preface ? nullptr : _ctx, true);
      }
      if (!c.alive) continue;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u32 = (uint32_t)i;
      epoll_ctl(epfd_, EPOLL_CTL_ADD, c.engine.GetSocket(), &ev);
      ++live;
    }
    return live > 0;
  }

  void Run() {
    QIR_ST_HTTP2_RESPONSE res;
    std::vector<char> buf(std::max<size_t>(body_.size(), 4096));
    res.payload_.data_ = buf.data();
    epoll_event events[64];
    start_ = Clock::now();
    while (Pending()) {
      for (auto& c : conns_) Feed(*c);
      int n = epoll_wait(epfd_, events, 64, 10);
      for (int i = 0; i < n; ++i) {
        Conn& c = *conns_[events[i].data.u32];
        if (c.alive) c.alive = c.engine.ProcEvent();
      }
      for (auto& c : conns_) Collect(*c, &res, buf.size());
    }
    elapsed_ = std::chrono::duration<double>(Clock::now() - start_).count();
  }

  int Report() {
    std::vector<double>& l = t_.latencyMs;
    std::sort(l.begin(), l.end());
    auto pct = [&l](double _p) {
      return l.empty() ? 0.0 : l[std::min(l.size() - 1, (size_t)(_p * (double)l.size()))];
    };
    int answered = t_.Answered();
    printf("requests: %d in %.3f s, %.1f req/s\n", answered, elapsed_,
           elapsed_ > 0 ? answered / elapsed_ : 0.0);
    printf("latency ms: min %.3f p50 %.3f p90 %.3f p99 %.3f max %.3f\n",
           l.empty() ? 0.0 : l.front(), pct(0.5), pct(0.9), pct(0.99),
           l.empty() ? 0.0 : l.back());
    printf("outcomes: 2xx %d, 3xx %d, 4xx %d, 5xx %d, other %d, timed out %d, refused %d, "
           "reset %d, failed %d, not sent %d\n",
           t_.status[2], t_.status[3], t_.status[4], t_.status[5], t_.status[0] + t_.status[1],
           t_.timedOut, t_.refused, t_.reset, t_.failed, t_.notSent);
    fflush(stdout);
    return answered == a_.requests ? 0 : 1;
  }

 private:
  bool Pending() const {
    for (const auto& c : conns_) {
      if (c->done < c->quota) return true;
    }
    return false;
  }

  // Queues what the window of streams in flight allows, then submits it all
  // in one pass.
  void Feed(Conn& _c) {
    if (!_c.alive) return;
    while (_c.inFlight < a_.streams && _c.accepted < _c.quota) {
      int id = next_;
      int rv = _c.engine.Request(id, nullptr, "POST", "/echo", hdr_, body_.size(), body_.data(),
                                 false);
      if (rv != 1) break;
      starts_[(size_t)id] = Clock::now();
      ++next_;
      ++_c.accepted;
      ++_c.inFlight;
    }
    if (_c.engine.ProcEventPre() < 0) _c.alive = false;
  }

  void Collect(Conn& _c, QIR_ST_HTTP2_RESPONSE* _res, size_t _cap) {
    for (;;) {
      int rv = _c.alive ? _c.engine.GetTimeout(_res) : 0;
      if (rv == 0) rv = _c.engine.Response(_res, _cap);
      if (rv != 1) {
        if (rv < 0 || _c.engine.GetState() == QIR_HTTP2_CONN_STATE_CLOSE) {
          _c.alive = false;
          // What was never accepted will not be sent on this connection.
          t_.notSent += _c.quota - _c.accepted;
          _c.done += _c.quota - _c.accepted;
          _c.accepted = _c.quota;
          if (rv == 0) continue;
          // -1 comes after every outcome; anything still missing is lost.
          t_.failed += _c.quota - _c.done;
          _c.done = _c.quota;
        }
        return;
      }
      ++_c.done;
      --_c.inFlight;
      switch (_res->outcome_) {
        case QIR_HTTP2_OUTCOME_ANSWERED: {
          int cls = _res->rs_[0] >= '1' && _res->rs_[0] <= '5' ? _res->rs_[0] - '0' : 0;
          ++t_.status[cls];
          double ms = std::chrono::duration<double, std::milli>(
                          Clock::now() - starts_[(size_t)_res->messageId_]).count();
          t_.latencyMs.push_back(ms);
          break;
        }
        case QIR_HTTP2_OUTCOME_TIMEOUT: ++t_.timedOut; break;
        case QIR_HTTP2_OUTCOME_REFUSED: ++t_.refused; break;
        case QIR_HTTP2_OUTCOME_RESET: ++t_.reset; break;
        default: ++t_.failed; break;
      }
    }
  }

  const Args& a_;
  const std::string& body_;
  QIR_HTTP2_HEADER hdr_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::vector<Clock::time_point> starts_;  // by request id
  int next_ = 0;
  int epfd_ = -1;
  Tally t_;
  Clock::time_point start_;
  double elapsed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Args a;
  int parsed = ParseArgs(argc, argv, &a);
  if (parsed == 0) return 0;
  if (parsed < 0) {
    Usage(stderr, argv[0]);
    return 2;
  }
  std::string body;
  if (!a.bodyFile.empty()) {
    std::ifstream in(a.bodyFile, std::ios::binary);
    if (!in) {
      fprintf(stderr, "cannot read %s\n", a.bodyFile.c_str());
      return 2;
    }
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  QIR_OPEN_SERVICE_LOG(QIR_LOG_WARNING | QIR_LOG_ERROR);  // only trouble: the report is the output
  QIR_HTTP2_INIT();
  SSL_CTX* ctx = nullptr;
  if (!a.upgrade && !a.preface) {
    ctx = MakeClientContext(a.caFile);
    if (ctx == nullptr) return 1;
  }
  int rc = 1;
  {
    Runner r(a, body);
    if (r.Connect(ctx)) {
      r.Run();
      rc = r.Report();
    } else {
      fprintf(stderr, "no connection to %s:%d\n", a.host.c_str(), a.port);
    }
  }
  if (ctx != nullptr) SSL_CTX_free(ctx);
  QIR_CLOSE_SERVICE_LOG();
  return rc;
}
