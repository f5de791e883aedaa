// h2srv-sample: an HTTP/2 echo server. Every request is answered with
// status 200 and its own body; connections, disconnections and requests are
// printed on standard output.
//
//   h2srv-sample CONFIG.ini | --help | --version
//
// SIGINT or SIGTERM stops it gracefully (queued answers are drained) with
// exit status 0; SIGHUP rereads the TLS key, certificate and CA files for new
// connections (open ones keep theirs; a file that fails to load keeps the old
// ones); a configuration or listening failure exits with 1, a
// missing argument with 2. --help and --version print and exit 0.

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <charconv>
#include <functional>
#include <string>

#include "CQIRHTTP2SRV.h"
#include "CQIRServiceLog.h"

namespace {

volatile sig_atomic_t g_stopRequested = 0;
volatile sig_atomic_t g_reloadRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }
void OnReloadSignal(int) { g_reloadRequested = 1; }

void InstallStopHandlers() {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = OnReloadSignal;
  sigaction(SIGHUP, &sa, nullptr);
  // A peer that resets its connection must not end the server.
  signal(SIGPIPE, SIG_IGN);
}

}  // namespace

class CMyApp {
 public:
  CMyApp() {
    using namespace std::placeholders;
    callbacks_.onConnect_ = std::bind(&CMyApp::OnConnect, this, _1, _2, _3, _4);
    callbacks_.onDisconnect_ = std::bind(&CMyApp::OnDisconnect, this, _1);
    callbacks_.onRequest_ = std::bind(&CMyApp::OnRequest, this, _1, _2, _3);
    callbacks_.onAsyncRequest_ = nullptr;
  }

  QIR_HTTP2SRV_CALLBACKS* GetCallbacks() { return &callbacks_; }

  bool OnConnect(int32_t _connId, const char* _scheme, const char* _ip, int _port) {
    printf("Connect %d-(%s://%s:%d)\n", _connId, _scheme, _ip, _port);
    fflush(stdout);
    return true;
  }

  void OnDisconnect(int32_t _connId) {
    printf("Disconnect %d\n", _connId);
    fflush(stdout);
  }

  // The dump goes straight into stdout's buffer and out with one write, all
  // under the stream's lock so that lines of other threads cannot land
  // inside it. Building it in a string first cost a tenth of the server's
  // time under load. Only library calls, no inline putc: that one writes the
  // buffer where the thread sanitizer cannot see the stream's lock.
  void OnRequest(int32_t _connId, QIR_ST_HTTP2_REQUEST_RECV* _req, QIR_ST_HTTP2_RESPONSE* _res) {
    if (_req->data_ != nullptr) _req->data_[_req->size_] = '\0';
    flockfile(stdout);
    fputs_unlocked("conn(", stdout);
    PutNumber(_connId);
    fputs_unlocked(") Receive Request ", stdout);
    PutNumber(_req->streamId_);
    fputs_unlocked("\n", stdout);
    if (_req->hdr_ != nullptr) {
      for (const auto& h : *_req->hdr_) {
        fwrite_unlocked(h.first.data(), 1, h.first.size(), stdout);
        fputs_unlocked(" : ", stdout);
        fwrite_unlocked(h.second.data(), 1, h.second.size(), stdout);
        fputs_unlocked("\n", stdout);
      }
    }
    fputs_unlocked("Payload-Size[", stdout);
    PutNumber(static_cast<unsigned long>(_req->size_));
    fputs_unlocked("]\n", stdout);
    if (_req->data_ != nullptr) fputs_unlocked(_req->data_, stdout);  // as text: up to the first NUL
    fputs_unlocked("\n", stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);

    // A body over the payload limit arrives cut (error_ set): echoing that
    // prefix would pass a truncated answer off as the whole.
    if (_req->error_ != 0) {
      snprintf(_res->rs_, sizeof(_res->rs_), "%s", "413");
      _res->payload_.size_ = 0;
      return;
    }
    snprintf(_res->rs_, sizeof(_res->rs_), "%s", "200");
    // The request body never exceeds the payload limit the response buffer
    // was allocated with (the runtime drops chunks beyond it).
    _res->payload_.size_ = _req->size_;
    if (_req->size_ > 0) memcpy(_res->payload_.data_, _req->data_, _req->size_);
  }

 private:
  // Under stdout's lock.
  template <typename T>
  static void PutNumber(T _value) {
    char text[24];
    std::to_chars_result r = std::to_chars(text, text + sizeof(text), _value);
    fwrite_unlocked(text, 1, static_cast<size_t>(r.ptr - text), stdout);
  }

  QIR_HTTP2SRV_CALLBACKS callbacks_;
};

// The application object is built before the server so that it outlives it:
// the server may call back until it has stopped.
static bool DoTest(const char* _cfg) {
  CMyApp app;
  CQIRHTTP2SRV server;
  if (!server.Initialize(_cfg, app.GetCallbacks())) return false;
  if (!server.Start()) {
    server.Stop();
    return false;
  }
  bool ok = true;
  while (g_stopRequested == 0) {
    if (g_reloadRequested != 0) {
      g_reloadRequested = 0;
      server.ReloadTLS();
    }
    if (!server.LoopOnce()) {
      ok = (g_stopRequested != 0);
      break;
    }
  }
  server.Stop();
  return ok;
}

#ifndef QIR_VERSION
#define QIR_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  const char* self = argc > 0 ? argv[0] : "h2srv-sample";
  if (argc < 2 || argv[1][0] == '\0') {
    fprintf(stderr, "usage: %s CONFIG.ini\n", self);
    return 2;
  }
  // A service manager or an operator asks these; both answer on stdout.
  if (strcmp(argv[1], "--version") == 0) {
    printf("h2srv-sample %s\n", QIR_VERSION);
    return 0;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    printf("usage: %s CONFIG.ini\n"
           "HTTP/2 echo server: every request is answered with status 200 and its body.\n"
           "SIGINT or SIGTERM stops it after queued answers are sent.\n"
           "  --help     this text\n"
           "  --version  the version\n",
           self);
    return 0;
  }
  InstallStopHandlers();
  // Room for a whole request dump, so that it leaves in one write (the
  // default buffer of a file or pipe is a page). A terminal keeps its lines.
  if (!isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  QIR_OPEN_SERVICE_LOG(15);
  bool ok = DoTest(argv[1]);
  QIR_CLOSE_SERVICE_LOG();
  return ok ? 0 : 1;
}
