// The log writer's pipe reader: the input is the byte stream on the pipe
// (records of a 32-byte tag, a 64-bit length and the text, or anything
// else). The writer is driven record by record through its public reading
// step until the pipe is empty; it writes to files in a scratch directory,
// with the tags "MAIN" and "T1" known.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "CQIRServiceLogWriter.h"
#include "FuzzUtil.h"

namespace {
CQIRServiceLogWriter* g_writer = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_writer = new CQIRServiceLogWriter();
  // Small files, so that rotation runs too.
  if (g_writer->Initialize(qirfuzz::ScratchDir().c_str(), "fuzz", "log", 0, 256 * 1024) == 0)
    abort();
  g_writer->AddWriter("T1");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) abort();
  // A pipe holds 64 KiB: inputs are kept below that (-max_len), so the whole
  // stream is in the pipe before the reader starts; the closed write end
  // then ends it.
  fcntl(p[1], F_SETFL, O_NONBLOCK);
  size_t off = 0;
  while (off < _size) {
    ssize_t w = write(p[1], _data + off, _size - off);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  close(p[1]);
  g_writer->SetPipe(p[0]);
  for (int i = 0; i < 4096; ++i) {
    int pending = 0;
    if (ioctl(p[0], FIONREAD, &pending) != 0 || pending <= 0) break;
    g_writer->WriteLog();
  }
  close(p[0]);
  return 0;
}
