// Server side of the HTTP/1.1 upgrade: the input is everything the client
// sends (request head, body and, after a 101, the first HTTP/2 bytes),
// already waiting in the socket and followed by the end of the stream, as
// a client that wrote and stopped (so that no input waits out the exchange's
// one-second limit). A switched session then reads the rest and the end of
// the stream; answering the upgraded request is the server engine target's
// part, which keeps its client's stream open.
#include <stdint.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CQIRHttp2Response.h"
#include "FuzzServer.h"
#include "FuzzUtil.h"
#include "QIRHttp2Option.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("QIR_HTTP2_DETAIL_LOG", "true", 1);
  qirfuzz::OpenLog();
  QIR_HTTP2_INIT();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  qirfuzz::WriteSome(fds[1], _data, _size);
  shutdown(fds[1], SHUT_WR);
  {
    QIR_ST_HTTP2_OPTIONS o = qirfuzz::ServerOptions(0x06);
    CQIRHttp2Response e;
    if (!e.Initialize("fuzz-upgrade", &o)) abort();
    // The engine owns the socket from here, whatever Accept decides.
    if (e.Accept(fds[0], "127.0.0.1", 0, true)) qirfuzz::Serve(e, fds[1], std::string());
    e.Disconnect();
  }
  close(fds[1]);
  return 0;
}
