#include "CQIRConv.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Names longer than this are refused rather than cut: a cut name would
// silently expand a different variable.
constexpr size_t kEnvNameMax = 31;

}  // namespace

char* CQIRConv::EnvReplace(char* _destination, const char* _source) {
  return EnvReplace(_destination, _source, static_cast<size_t>(-1));
}

char* CQIRConv::EnvReplace(char* _destination, const char* _source, size_t _destSize) {
  if (_destSize == 0) return _destination;
  auto unchanged = [&]() {
    if (_destination != _source) {
      size_t n = strnlen(_source, _destSize - 1);
      memmove(_destination, _source, n);
      _destination[n] = '\0';
    }
    return _destination;
  };
  std::string out;
  const char* p = _source;
  while (*p != '\0') {
    if (*p != '$') {
      out.push_back(*p++);
      continue;
    }
    const char* open = p + 1;
    const char* close = (*open == '(') ? strchr(open + 1, ')') : nullptr;
    size_t nameLen = close ? static_cast<size_t>(close - open - 1) : 0;
    char name[kEnvNameMax + 1];
    const char* value = nullptr;
    if (close != nullptr && nameLen > 0 && nameLen <= kEnvNameMax &&
        memchr(open + 1, '(', nameLen) == nullptr) {
      memcpy(name, open + 1, nameLen);
      name[nameLen] = '\0';
      value = getenv(name);
    }
    if (value == nullptr) return unchanged();
    out.append(value);
    p = close + 1;
  }
  if (out.size() >= _destSize) return unchanged();
  memcpy(_destination, out.c_str(), out.size() + 1);
  return _destination;
}

size_t CQIRConv::HexaDump(char* _dest, const unsigned char* _data, int _len) {
  char text[17];
  int col = 0;
  size_t n = static_cast<size_t>(sprintf(_dest, "%08x: ", 0));
  for (int i = 0; i < _len; ++i) {
    unsigned char c = _data[i];
    n += static_cast<size_t>(sprintf(_dest + n, "%02x  ", c));
    // 0x1E, not 0x20, is the first byte shown as itself.
    text[col++] = (c < 0x1E || c >= 0x80) ? '.' : static_cast<char>(c);
    if (col == 16) {
      text[16] = '\0';
      n += static_cast<size_t>(sprintf(_dest + n, "%s\n%08x: ", text, i + 1));
      col = 0;
    }
  }
  for (; col < 16; ++col) {
    memcpy(_dest + n, "    ", 4);
    n += 4;
    text[col] = '.';
  }
  text[16] = '\0';
  n += static_cast<size_t>(sprintf(_dest + n, "%s\n", text));
  return n;
}

const char* CQIRConv::HexaDump(std::string& _dest, const unsigned char* _data,
                               unsigned long _length) {
  _dest.assign(QIR_HEXADUMP_SIZE(_length), '\0');
  size_t n = HexaDump(&_dest[0], _data, static_cast<int>(_length));
  _dest.resize(n);
  return _dest.c_str();
}
