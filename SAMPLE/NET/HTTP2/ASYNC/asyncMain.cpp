// h2async-sample: an HTTP/2 echo server in asynchronous mode. The runtime
// hands every request to OnAsyncRequest on a worker thread; the request is
// queued, and one application thread answers it later through
// CQIRHTTP2SRV::AsyncResponse with status 200, the request's body and the
// header "x-answered-by: app". A request header "x-delay-ms: N" (0..10000)
// holds its answer back N milliseconds, so later requests may be answered
// first.
//
//   h2async-sample CONFIG.ini   (the same configuration as h2srv-sample)
//
// SIGUSR1 writes the server's monitor report (workers, connections, answers
// in flight) to the log. SIGHUP rereads the TLS key, certificate and CA
// files for new connections (a file that fails to load keeps the old ones).
// Each connection's verified client certificate is printed with "Connect".
// SIGINT or SIGTERM stops it: waiting answers are sent
// at once, then the server drains and stops; exit status 0. A configuration
// or listening failure exits with 1, a missing argument with 2.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CQIRHTTP2SRV.h"
#include "CQIRServiceLog.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;
volatile sig_atomic_t g_monitorRequested = 0;
volatile sig_atomic_t g_reloadRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }
void OnMonitorSignal(int) { g_monitorRequested = 1; }
void OnReloadSignal(int) { g_reloadRequested = 1; }

void InstallSignalHandlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = OnStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnMonitorSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  sa.sa_handler = OnReloadSignal;
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

const long kMaxDelayMs = 10000;

}  // namespace

// Requests wait in a map ordered by the time they are due; one application
// thread answers them. Owned by main; built before the server and stopped
// before the server's Stop, because AsyncResponse must not race with it.
class CMyAsyncApp {
 public:
  explicit CMyAsyncApp(CQIRHTTP2SRV* _server) : server_(_server) {
    using namespace std::placeholders;
    callbacks_.onConnect_ = [this](int32_t _connId, const char* _scheme, const char* _ip,
                                   int _port) {
      std::string peer = "none";
      server_->GetPeerIdentity(_connId, peer);
      printf("Connect %d-(%s://%s:%d) peer(%s)\n", _connId, _scheme, _ip, _port, peer.c_str());
      fflush(stdout);
      return true;
    };
    callbacks_.onDisconnect_ = [](int32_t _connId) {
      printf("Disconnect %d\n", _connId);
      fflush(stdout);
    };
    callbacks_.onRequest_ = nullptr;
    callbacks_.onAsyncRequest_ = std::bind(&CMyAsyncApp::OnAsyncRequest, this, _1, _2, _3, _4);
  }
  ~CMyAsyncApp() { StopAnswering(); }

  QIR_HTTP2SRV_CALLBACKS* GetCallbacks() { return &callbacks_; }

  void StartAnswering() { answerer_ = std::thread(&CMyAsyncApp::AnswerLoop, this); }

  // Sends every waiting answer now and ends the answering thread. Requests
  // that arrive afterwards are answered 503 from the worker thread.
  void StopAnswering() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (answerer_.joinable()) answerer_.join();
  }

 private:
  struct Pending {
    int32_t connId;
    int32_t streamId;
    std::string body;
  };
  using Clock = std::chrono::steady_clock;

  // Worker thread. The request's buffers belong to the engine and go away
  // when the stream closes, so the body is copied.
  void OnAsyncRequest(int32_t _connId, int _count429, int _cancelCount,
                      QIR_ST_HTTP2_REQUEST_RECV* _req) {
    if (_count429 > 0 || _cancelCount > 0) {
      printf("conn(%d) 429 answers %d, cancelled %d\n", _connId, _count429, _cancelCount);
    }
    long delayMs = 0;
    if (_req->hdr_ != nullptr) {
      for (const auto& h : *_req->hdr_) {
        if (h.first == "x-delay-ms") delayMs = strtol(h.second.c_str(), nullptr, 10);
      }
    }
    if (delayMs < 0) delayMs = 0;
    if (delayMs > kMaxDelayMs) delayMs = kMaxDelayMs;
    printf("conn(%d) Receive Request %d delay %ld ms\n", _connId, _req->streamId_, delayMs);
    fflush(stdout);

    Pending p{_connId, _req->streamId_, std::string(_req->data_ != nullptr ? _req->data_ : "",
                                                    _req->size_)};
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) {
      // The answering thread is gone; a request callback may answer itself.
      lock.unlock();
      Send(p, "503");
      return;
    }
    waiting_.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(p));
    lock.unlock();
    cv_.notify_all();
  }

  void AnswerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      if (waiting_.empty()) {
        if (stopping_) return;
        cv_.wait(lock);
        continue;
      }
      auto first = waiting_.begin();
      if (!stopping_ && first->first > Clock::now()) {
        cv_.wait_until(lock, first->first);
        continue;
      }
      Pending p = std::move(first->second);
      waiting_.erase(first);
      lock.unlock();
      Send(p, "200");
      lock.lock();
    }
  }

  void Send(const Pending& _p, const char* _status) {
    QIR_ST_HTTP2_RESPONSE res;
    res.streamId_ = _p.streamId;
    snprintf(res.rs_, sizeof(res.rs_), "%s", _status);
    res.hdr_.emplace_back("x-answered-by", "app");
    // AsyncResponse copies the body, so a local buffer will do.
    std::vector<char> body(_p.body.begin(), _p.body.end());
    res.payload_.data_ = body.data();
    res.payload_.size_ = body.size();
    int rc = server_->AsyncResponse(_p.connId, &res);
    if (rc != 0) {
      printf("conn(%d) stream %d not answered: AsyncResponse %d\n", _p.connId, _p.streamId, rc);
      fflush(stdout);
    }
  }

  CQIRHTTP2SRV* server_;  // not owned
  QIR_HTTP2SRV_CALLBACKS callbacks_;
  std::mutex mutex_;  // guards waiting_ and stopping_
  std::condition_variable cv_;
  std::multimap<Clock::time_point, Pending> waiting_;
  bool stopping_ = false;
  std::thread answerer_;
};

// The server is built before the application, so the application (and its
// answering thread) is gone before the server is destroyed.
static bool Run(const char* _cfg) {
  CQIRHTTP2SRV server;
  CMyAsyncApp app(&server);
  if (!server.Initialize(_cfg, app.GetCallbacks())) return false;
  if (!server.Start()) {
    server.Stop();
    return false;
  }
  app.StartAnswering();
  bool ok = true;
  while (g_stopRequested == 0) {
    if (g_monitorRequested != 0) {
      g_monitorRequested = 0;
      std::string report = "monitor report\n";
      server.GetMonitor(report);
      QIR_LOG_I("%s", report.c_str());
    }
    if (g_reloadRequested != 0) {
      g_reloadRequested = 0;
      server.ReloadTLS();
    }
    if (!server.LoopOnce()) {
      ok = (g_stopRequested != 0);
      break;
    }
  }
  app.StopAnswering();
  server.Stop();
  return ok;
}

int main(int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '\0') {
    fprintf(stderr, "usage: %s CONFIG.ini\n", argc > 0 ? argv[0] : "h2async-sample");
    return 2;
  }
  InstallSignalHandlers();
  QIR_OPEN_SERVICE_LOG(15);
  bool ok = Run(argv[1]);
  QIR_CLOSE_SERVICE_LOG();
  return ok ? 0 : 1;
}
