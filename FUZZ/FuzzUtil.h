#ifndef QIR_FUZZ_FUZZUTIL_H
#define QIR_FUZZ_FUZZUTIL_H

// Helpers shared by the fuzz targets: a private scratch directory, files
// written from the input, socket plumbing and the global log opened once.

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "CQIRServiceLog.h"

namespace qirfuzz {

// A directory of this process, removed at exit; in memory where possible,
// since most targets write a file per input.
inline const std::string& ScratchDir() {
  static std::string dir = [] {
    const char* base = getenv("QIR_FUZZ_SCRATCH");
    if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
    if (base == nullptr) base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/qir-fuzz-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    if (made == nullptr) abort();
    std::string d = made;
    static std::string removeCmd = "rm -rf '" + d + "'";
    atexit([] {
      if (system(removeCmd.c_str()) != 0) {
      }
    });
    return d;
  }();
  return dir;
}

inline std::string WriteScratch(const char* _name, const uint8_t* _data, size_t _size) {
  std::string path = ScratchDir() + "/" + _name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (_size > 0 && fwrite(_data, 1, _size, f) != _size) abort();
  fclose(f);
  return path;
}

// The framework logs peer-supplied text; keep the log on (console, every
// level) so that those lines are formatted too. Run with -close_fd_mask=1.
inline void OpenLog() {
  static bool opened = [] {
    QIR_OPEN_SERVICE_LOG(15);
    return true;
  }();
  (void)opened;
}

// Writes what fits without blocking; returns the bytes written.
inline size_t WriteSome(int _fd, const uint8_t* _data, size_t _size) {
  size_t off = 0;
  while (off < _size) {
    ssize_t w = send(_fd, _data + off, _size - off, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  return off;
}

// Reads and drops what is waiting; false once the other end is gone.
inline bool Drain(int _fd) {
  char sink[16384];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = recv(_fd, sink, sizeof(sink), MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return true;
  }
  return true;
}

// Cursor over the input for targets that take several fields from it.
class Input {
 public:
  Input(const uint8_t* _data, size_t _size) : p_(_data), n_(_size) {}
  size_t Left() const { return n_; }
  uint8_t Byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  // A NUL-free piece up to the next NUL byte (or the end).
  std::string Piece() {
    const uint8_t* z = static_cast<const uint8_t*>(memchr(p_, 0, n_));
    size_t len = z != nullptr ? static_cast<size_t>(z - p_) : n_;
    std::string s(reinterpret_cast<const char*>(p_), len);
    Skip(z != nullptr ? len + 1 : len);
    return s;
  }
  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(p_), n_);
    Skip(n_);
    return s;
  }

 private:
  void Skip(size_t _n) {
    p_ += _n;
    n_ -= _n;
  }
  const uint8_t* p_;
  size_t n_;
};

}  // namespace qirfuzz

#endif  // QIR_FUZZ_FUZZUTIL_H
