// Compressed frames (4-byte original length, 4-byte block length, one LZ4
// block) read from a socket. The first input byte sizes the receive buffers
// and picks the I/O method; the rest is the byte stream from the peer.
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "CQIRSocketNew.h"
#include "FuzzUtil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qirfuzz::OpenLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  qirfuzz::Input in(_data, _size);
  uint8_t shape = in.Byte();
  std::string stream = in.Rest();
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  // The whole stream sits in the socket before the reads start: frames are
  // decoded until one fails, then the end of the stream closes the last.
  size_t sent = qirfuzz::WriteSome(fds[1], reinterpret_cast<const uint8_t*>(stream.data()),
                                   stream.size());
  (void)sent;
  shutdown(fds[1], SHUT_WR);
  {
    CQIRSocketNew sock;
    sock.SetFD(fds[0], nullptr, 0);
    sock.SetIOMethod((shape & 0x80) != 0 ? QIR_SOCKET_IO_LOOP : QIR_SOCKET_IO_ONCE);
    size_t buffer = static_cast<size_t>(shape & 0x7f) * 64;
    if ((shape & 0x40) == 0 || sock.InitCompress(buffer)) {
      std::vector<char> out(buffer + 1);
      for (int i = 0; i < 64 && sock.DecompressRecv(out.data(), buffer) >= 0; ++i) {
      }
    }
  }  // the socket wrapper closes fds[0]
  close(fds[1]);
  return 0;
}
