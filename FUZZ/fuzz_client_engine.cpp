// Client session engine against a hostile server: the input's first byte
// picks the form (upgrade or connection preface), the options and detail
// logging; the rest is everything the server sends (for the upgrade, its
// HTTP/1.1 answer first), written as soon as the connection is accepted and
// followed by the end of the stream. Three requests are queued and driven until the stream
// ends or a bounded number of rounds has passed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "CQIRHttp2Request.h"
#include "FuzzUtil.h"
#include "QIRHttp2Option.h"

namespace {

int g_listen = -1;
int g_port = 0;

// The server half: accept, send the input, end the stream, read what the
// client writes until it closes (or a bounded wait passes).
void ServeOne(const std::string& _bytes) {
  pollfd p = {g_listen, POLLIN, 0};
  if (poll(&p, 1, 2000) != 1) return;
  int fd = accept(g_listen, nullptr, nullptr);
  if (fd < 0) return;
  size_t off = 0;
  for (int i = 0; i < 200 && off < _bytes.size(); ++i) {
    off += qirfuzz::WriteSome(fd, reinterpret_cast<const uint8_t*>(_bytes.data()) + off,
                              _bytes.size() - off);
    if (off < _bytes.size()) {
      pollfd w = {fd, POLLOUT, 0};
      poll(&w, 1, 10);
    }
  }
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 400; ++i) {
    pollfd r = {fd, POLLIN, 0};
    if (poll(&r, 1, 5) == 1 && !qirfuzz::Drain(fd)) break;
  }
  close(fd);
}

// Ids accepted by Request, and how many outcomes each got.
std::map<int32_t, int> g_outcomes;

void Queue(CQIRHttp2Request& _c, int32_t _id, const char* _method, const char* _path,
           const char* _body) {
  QIR_ST_HTTP2_REQUEST req;
  req.messageId_ = _id;
  strcpy(req.method_, _method);
  strcpy(req.path_, _path);
  req.hdr_.emplace_back("content-type", "text/plain");
  std::string body = _body;
  req.payload_.data_ = &body[0];
  req.payload_.size_ = body.size();
  int rv = _c.Request(&req, false);
  if (rv == 1) g_outcomes[_id] = 0;
  if (getenv("QIR_FUZZ_TRACE") != nullptr) fprintf(stderr, "queue %d: %d\n", _id, rv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qirfuzz::OpenLog();
  QIR_HTTP2_INIT();
  g_listen = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(g_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(g_listen, 8) != 0 ||
      getsockname(g_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    abort();
  }
  g_port = ntohs(a.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  qirfuzz::Input in(_data, _size);
  uint8_t shape = in.Byte();
  std::string bytes = in.Rest();
  // Detail logging prints what the peer sent: let the input switch it on.
  G_QIR_HTTP2_DETAIL_LOG = (shape & 0x40) != 0 ? 1 : 0;
  std::thread server(ServeOne, bytes);
  {
    QIR_ST_HTTP2_OPTIONS o;
    o.nMaxConcurrentStream_ = (shape & 1) != 0 ? 2 : 16;
    o.nMaxPayloadSize_ = (shape & 2) != 0 ? 64 : 16384;
    o.nTimeout_ = 1;
    CQIRHttp2Request c;
    if (!c.Initialize("fuzz-client", &o)) abort();
    bool upgrade = (shape & 0x80) != 0;
    g_outcomes.clear();
    bool ok = upgrade ? c.Connect("127.0.0.1", g_port, true)
                      : c.Connect("127.0.0.1", g_port, nullptr, true);
    if (getenv("QIR_FUZZ_TRACE") != nullptr) fprintf(stderr, "connect %d\n", ok ? 1 : 0);
    if (ok) {
      Queue(c, 1, "GET", "/", "");
      Queue(c, 2, "POST", "/echo", "hello");
      Queue(c, 3, "PUT", "/big", "0123456789abcdef0123456789abcdef");
      QIR_ST_HTTP2_RESPONSE res;
      std::string buffer(o.nMaxPayloadSize_ + 1, '\0');
      for (int round = 0; round < 64; ++round) {
        bool alive = true;
        for (int k = 0; k < 4; ++k) {
          int r = c.ProcEventPre();
          if (r < 0) alive = false;
          if (r <= 0) break;
        }
        pollfd p = {c.GetSocket(), POLLIN, 0};
        if (alive && poll(&p, 1, 20) == 1) alive = c.ProcEvent();
        for (int k = 0; k < 8; ++k) {
          res.payload_.data_ = &buffer[0];
          res.payload_.size_ = 0;
          if (c.Response(&res, buffer.size() - 1) != 1) break;
          // Exactly one outcome per accepted request, whatever the peer sent.
          auto seen = g_outcomes.find(res.messageId_);
          if (seen == g_outcomes.end() || ++seen->second > 1) abort();
          if (getenv("QIR_FUZZ_TRACE") != nullptr)
            fprintf(stderr, "response message %d stream %d status %s, %zu bytes, error %d\n",
                    res.messageId_, res.streamId_, res.rs_, res.payload_.size_, res.error_);
        }
        if (!alive || c.GetState() == QIR_HTTP2_CONN_STATE_CLOSE) break;
      }
      // A closed connection hands out every outcome it owes before -1.
      if (c.GetState() == QIR_HTTP2_CONN_STATE_CLOSE) {
        for (int k = 0; k < 64; ++k) {
          res.payload_.data_ = &buffer[0];
          if (c.Response(&res, buffer.size() - 1) != 1) break;
          auto seen = g_outcomes.find(res.messageId_);
          if (seen == g_outcomes.end() || ++seen->second > 1) abort();
        }
        for (const auto& entry : g_outcomes) {
          if (entry.second != 1) abort();
        }
      }
    }
    c.Disconnect();
  }
  server.join();
  return 0;
}
