// Server session engine after set-up: the input's first byte picks the form
// (connection preface, or the HTTP/1.1 upgrade followed by the preface) and
// the engine's limits and detail logging; the rest is what the client sends after its valid
// preface. Every completed request is answered, so responses flow while the
// hostile frames arrive. TLS carries this same byte stream once the
// handshake is done, so the cleartext forms cover the engine's handling.
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "CQIRHttp2Response.h"
#include "FuzzServer.h"
#include "FuzzUtil.h"
#include "QIRHttp2Option.h"

namespace {

const char kMagic[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// Empty SETTINGS frame: the rest of a valid client preface.
const char kSettings[9] = {0, 0, 0, 4, 0, 0, 0, 0, 0};
// HTTP2-Settings: MAX_CONCURRENT_STREAMS 100, INITIAL_WINDOW_SIZE 65535.
const char kUpgrade[] =
    "GET /up HTTP/1.1\r\nHost: fuzz\r\nConnection: Upgrade, HTTP2-Settings\r\n"
    "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQAAP__\r\n\r\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qirfuzz::OpenLog();
  QIR_HTTP2_INIT();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  qirfuzz::Input in(_data, _size);
  uint8_t shape = in.Byte();
  bool upgrade = (shape & 0x80) != 0;
  // Detail logging prints what the peer sent: let the input switch it on.
  G_QIR_HTTP2_DETAIL_LOG = (shape & 0x40) != 0 ? 1 : 0;
  std::string stream = std::string(kMagic, sizeof(kMagic) - 1) + std::string(kSettings, 9) +
                       in.Rest();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  if (upgrade) qirfuzz::WriteSome(fds[1], reinterpret_cast<const uint8_t*>(kUpgrade),
                                  sizeof(kUpgrade) - 1);
  {
    QIR_ST_HTTP2_OPTIONS o = qirfuzz::ServerOptions(shape);
    CQIRHttp2Response e;
    bool ok = e.Initialize("fuzz-server", &o);
    ok = ok && (upgrade ? e.Accept(fds[0], "127.0.0.1", 0, true)
                        : e.Accept(fds[0], "127.0.0.1", 0, nullptr, true));
    if (ok) qirfuzz::Serve(e, fds[1], stream);
    e.Disconnect();
  }
  close(fds[1]);
  return 0;
}
