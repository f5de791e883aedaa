#include "CQIRConv.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

// Names longer than this are refused rather than cut: a cut name would
// silently expand a different variable.
constexpr size_t kEnvNameMax = 31;

// Str2Int reads at most this many characters.
constexpr int kStr2IntMax = 32;

const char kUpperDigits[] = "0123456789ABCDEF";

inline unsigned char Byte(const char* _p, int _i) { return static_cast<unsigned char>(_p[_i]); }
inline unsigned char Hi(unsigned char _b) { return static_cast<unsigned char>(_b >> 4); }
inline unsigned char Lo(unsigned char _b) { return static_cast<unsigned char>(_b & 0x0F); }
inline char Pack(unsigned _hi, unsigned _lo) {
  return static_cast<char>(((_hi & 0x0F) << 4) | (_lo & 0x0F));
}

// Repeated leftmost replacement until no occurrence is left. `out` never holds
// a whole occurrence, so the first time it ends with the pattern, that is the
// leftmost occurrence of the whole text, exactly what a search from the start
// would find. The replacement goes back in front of the unread input (kept
// reversed, so that is an append) and is scanned again, which catches the
// occurrences it forms with its neighbours without rescanning the text.
// False when the work is refused: an empty pattern, a replacement holding the
// pattern, a self-reproducing pattern, or a result longer than _maxLen.
bool ReplaceToFixedPoint(const std::string& _source, const std::string& _pattern,
                         const std::string& _replace, size_t _maxLen, std::string& _out) {
  const size_t patLen = _pattern.size();
  if (patLen == 0 || _replace.find(_pattern) != std::string::npos) return false;
  const bool grows = _replace.size() > patLen;
  const size_t maxSteps = _source.size() + QIR_STR_REPLACE_MAX_STEPS;
  std::string rest(_source.rbegin(), _source.rend());
  _out.clear();
  size_t steps = 0;
  while (!rest.empty()) {
    _out.push_back(rest.back());
    rest.pop_back();
    if (_out.size() < patLen ||
        _out.compare(_out.size() - patLen, patLen, _pattern) != 0) {
      continue;
    }
    if (++steps > maxSteps) return false;
    _out.resize(_out.size() - patLen);
    rest.append(_replace.rbegin(), _replace.rend());
    // Only a growing text can be refused early: a shrinking one may still fit.
    if (grows && _out.size() + rest.size() > _maxLen) return false;
  }
  return _out.size() <= _maxLen;
}

}  // namespace

unsigned char CQIRConv::GetBCDHex(char _c) {
  if (_c >= '0' && _c <= '9') return static_cast<unsigned char>(_c - '0');
  if (_c >= 'A' && _c <= 'F') return static_cast<unsigned char>(_c - 'A' + 10);
  return static_cast<unsigned char>(_c - 87);
}

char CQIRConv::GetBCDChar(unsigned char _v) {
  return static_cast<char>(_v <= 9 ? '0' + _v : _v + 87);
}

unsigned char CQIRConv::GetTBCDHex(char _c) {
  if (_c >= '0' && _c <= '9') return static_cast<unsigned char>(_c - '0');
  switch (_c) {
    case '*': return 10;
    case '#': return 11;
    case 'a': case 'A': return 12;
    case 'b': case 'B': return 13;
    case 'c': case 'C': return 14;
    case 'f': case 'F': return 15;
    default: return 255;
  }
}

char CQIRConv::GetTBCDChar(unsigned char _v) {
  static const char kTbcd[] = "0123456789*#abcf";
  return _v <= 15 ? kTbcd[_v] : static_cast<char>(255);
}

int CQIRConv::Str2BCD(char* _dest, const char* _src) {
  size_t len = strlen(_src);
  int n = 0;
  size_t i = 0;
  if (len % 2 == 1) {
    _dest[n++] = Pack(0, GetBCDHex(_src[0]));
    i = 1;
  }
  for (; i < len; i += 2) _dest[n++] = Pack(GetBCDHex(_src[i]), GetBCDHex(_src[i + 1]));
  _dest[n] = '\0';
  return n;
}

int CQIRConv::Str2TBCD(char* _dest, const char* _src) {
  size_t len = strlen(_src);
  int n = 0;
  for (size_t i = 0; i < len; i += 2) {
    unsigned lo = (i + 1 < len) ? GetTBCDHex(_src[i + 1]) : 15;
    _dest[n++] = Pack(GetTBCDHex(_src[i]), lo);
  }
  _dest[n] = '\0';
  return n;
}

int CQIRConv::Str2Hex(char* _dest, const char* _src) {
  size_t len = strlen(_src);
  if (len == 1) {
    _dest[0] = static_cast<char>(GetBCDHex(_src[0]));
    _dest[1] = '\0';
    return 1;
  }
  int n = 0;
  for (size_t i = 0; i < len; i += 2) {
    unsigned lo = (i + 1 < len) ? GetBCDHex(_src[i + 1]) : 0;
    _dest[n++] = Pack(GetBCDHex(_src[i]), lo);
  }
  _dest[n] = '\0';
  return n;
}

void CQIRConv::BCD2Str(char* _dest, const char* _src, int _len) {
  int n = 0;
  for (int i = 0; i < _len; ++i) {
    _dest[n++] = kUpperDigits[Hi(Byte(_src, i))];
    _dest[n++] = kUpperDigits[Lo(Byte(_src, i))];
  }
  _dest[n] = '\0';
}

void CQIRConv::Hex2Str(char* _dest, const char* _src, int _len) {
  int n = 0;
  for (int i = 0; i < _len; ++i) {
    _dest[n++] = GetBCDChar(Hi(Byte(_src, i)));
    _dest[n++] = GetBCDChar(Lo(Byte(_src, i)));
  }
  _dest[n] = '\0';
}

void CQIRConv::Hex2Str(char* _dest, const char* _src, int _len, int _mkLen) {
  int n = 0;
  for (int i = 0; i < _len; ++i) {
    _dest[n++] = GetBCDChar(Hi(Byte(_src, i)));
    _dest[n++] = GetBCDChar(Lo(Byte(_src, i)));
  }
  // The field is _mkLen characters wide; padding counted in bytes of input
  // (_mkLen - _len) would run _len characters past it.
  for (; n < _mkLen; ++n) _dest[n] = ' ';
}

int CQIRConv::TBCD2Str(char* _dest, const char* _src, int _len) {
  int n = TBCD2Str(_dest, _src, _len, 0);
  _dest[n] = '\0';
  return n;
}

int CQIRConv::TBCD2Str(char* _dest, const char* _src, int _len, int _mkLen) {
  int n = 0;
  for (int i = 0; i < _len; ++i) {
    unsigned char b = Byte(_src, i);
    _dest[n++] = GetTBCDChar(Hi(b));
    if (Lo(b) == 15) break;  // filler: the digits end here
    _dest[n++] = GetTBCDChar(Lo(b));
  }
  for (; n < _mkLen; ++n) _dest[n] = ' ';
  return n;
}

void CQIRConv::LastNibbleToStr(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  memmove(_dest, _src, static_cast<size_t>(_nLen));
  if (_nLen > 0) _dest[0] = static_cast<char>(Lo(Byte(_dest, 0)));
  _dest[_nLen] = '\0';
}

void CQIRConv::FirstNibbleToStr(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  memmove(_dest, _src, static_cast<size_t>(_nLen));
  if (_nLen > 0) _dest[_nLen - 1] = static_cast<char>(Byte(_dest, _nLen - 1) & 0xF0);
  _dest[_nLen] = '\0';
}

void CQIRConv::MiddleNibbleToStr(char* _dest, const char* _src, int _nLen) {
  // Nothing to shift out of an empty source, and no index -1 to terminate.
  if (_nLen < 1) return;
  for (int k = 0; k < _nLen - 1; ++k) {
    _dest[k] = static_cast<char>(Byte(_dest, k) | Pack(Lo(Byte(_src, k)), Hi(Byte(_src, k + 1))));
  }
  _dest[_nLen - 1] = '\0';
}

void CQIRConv::ResultForFirstNibble(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  for (int k = 0; k < _nLen; ++k) {
    unsigned next = (k + 1 < _nLen) ? Hi(Byte(_src, k + 1)) : 0;
    _dest[k] = Pack(Lo(Byte(_src, k)), next);
  }
  _dest[_nLen] = '\0';
}

void CQIRConv::FirstNibbleToNum(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  if (_nLen > 0) _dest[0] = static_cast<char>(Byte(_dest, 0) | Hi(Byte(_src, 0)));
  for (int k = 1; k < _nLen; ++k) {
    _dest[k] = static_cast<char>(Byte(_dest, k) | Pack(Lo(Byte(_src, k - 1)), Hi(Byte(_src, k))));
  }
  _dest[_nLen] = '\0';
}

void CQIRConv::ResultForLastNibble(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  if (_nLen > 0) _dest[0] = Pack(Hi(Byte(_dest, 0)), Lo(Byte(_src, 0)));
  for (int k = 1; k < _nLen; ++k) {
    _dest[k] = Pack(Hi(Byte(_dest, k)) | Hi(Byte(_src, k)), Lo(Byte(_src, k)));
  }
  _dest[_nLen] = '\0';
}

void CQIRConv::ResultForMiddleNibble(char* _dest, const char* _src, int _nLen) {
  if (_nLen < 0) _nLen = 0;
  // A single byte has no source bytes to place between its own two nibbles;
  // the byte-0 and last-byte rules would otherwise read _src[-1].
  if (_nLen >= 2) {
    _dest[0] = Pack(Hi(Byte(_dest, 0)), Hi(Byte(_src, 0)));
    for (int k = 1; k < _nLen - 1; ++k) {
      _dest[k] = Pack(Lo(Byte(_src, k - 1)), Hi(Byte(_src, k)));
    }
    _dest[_nLen - 1] = Pack(Lo(Byte(_src, _nLen - 2)), Lo(Byte(_dest, _nLen - 1)));
  }
  _dest[_nLen] = '\0';
}

int CQIRConv::Str2Int(const char* _src, int _len) {
  char text[kStr2IntMax + 1];
  size_t n = strnlen(_src, static_cast<size_t>(std::clamp(_len, 0, kStr2IntMax)));
  memcpy(text, _src, n);
  text[n] = '\0';
  // strtol rather than atoi: 32 digits overflow an int, which atoi leaves
  // undefined.
  long value = strtol(text, nullptr, 10);
  return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

char* CQIRConv::Int2Str(int _num) {
  // Per thread, so that concurrent callers cannot overwrite each other's text.
  static thread_local char buffer[20];
  snprintf(buffer, sizeof(buffer), "%d", _num);
  return buffer;
}

char* CQIRConv::NumToStrWithComma(char* _buffer, long _num) {
  // Unsigned magnitude: -LONG_MIN does not fit in a long.
  unsigned long mag = _num < 0 ? 0UL - static_cast<unsigned long>(_num)
                               : static_cast<unsigned long>(_num);
  char rev[QIR_NUM_COMMA_SIZE];
  size_t n = 0;
  int digits = 0;
  do {
    if (digits > 0 && digits % 3 == 0) rev[n++] = ',';
    rev[n++] = static_cast<char>('0' + mag % 10);
    mag /= 10;
    ++digits;
  } while (mag != 0);
  if (_num < 0) rev[n++] = '-';
  for (size_t i = 0; i < n; ++i) _buffer[i] = rev[n - 1 - i];
  _buffer[n] = '\0';
  return _buffer;
}

time_t CQIRConv::Str2Time(const char* _ptime) {
  if (strnlen(_ptime, 15) != 14) return 0;
  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = Str2Int(_ptime, 4) - 1900;
  t.tm_mon = Str2Int(_ptime + 4, 2) - 1;
  t.tm_mday = Str2Int(_ptime + 6, 2);
  t.tm_hour = Str2Int(_ptime + 8, 2);
  t.tm_min = Str2Int(_ptime + 10, 2);
  t.tm_sec = Str2Int(_ptime + 12, 2);
  t.tm_isdst = 0;
  return mktime(&t);
}

void CQIRConv::Time2Str(char* _dest, long _tTime) {
  time_t t = static_cast<time_t>(_tTime);
  struct tm tm;
  _dest[0] = '\0';
  if (localtime_r(&t, &tm) == nullptr) return;
  // CCYY holds years 0 to 9999; any other would overrun the 15 bytes or read
  // as another date.
  long year = tm.tm_year + 1900L;
  if (year < 0 || year > 9999) return;
  char text[64];
  snprintf(text, sizeof(text), "%04ld%02d%02d%02d%02d%02d", year, tm.tm_mon + 1, tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  memcpy(_dest, text, 14);
  _dest[14] = '\0';
}

void CQIRConv::ChangeByteOrder(unsigned char* _data, unsigned long _size) {
  // Swapping in place needs no scratch buffer, so no size limit either.
  std::reverse(_data, _data + _size);
}

int CQIRConv::Str2Ipv4(char* _dest, const char* _src) {
  in_addr_t addr = inet_addr(_src);
  if (addr == INADDR_NONE) return 0;
  memcpy(_dest, &addr, 4);
  _dest[4] = '\0';
  return 1;
}

void CQIRConv::Ipv42Str(char* _dest, unsigned int _unIp) {
  // inet_ntop into the caller's buffer: inet_ntoa's static one is shared
  // between threads.
  struct in_addr addr;
  addr.s_addr = _unIp;
  inet_ntop(AF_INET, &addr, _dest, INET_ADDRSTRLEN);
}

char* CQIRConv::RTrim(char* _src) {
  // In place from the end: no copy, so no length limit.
  size_t n = strlen(_src);
  while (n > 0 && (_src[n - 1] == ' ' || _src[n - 1] == '\t')) _src[--n] = '\0';
  return _src;
}

char* CQIRConv::LTrim(char* _src) {
  while (*_src == ' ' || *_src == '\t') ++_src;
  return _src;
}

char* CQIRConv::Trim(char* _src) { return LTrim(RTrim(_src)); }

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

char* CQIRConv::StrReplace(const char* _source, const char* _pattern, const char* _replace,
                           char* _result) {
  return StrReplace(_source, _pattern, _replace, _result, static_cast<size_t>(-1));
}

char* CQIRConv::StrReplace(const char* _source, const char* _pattern, const char* _replace,
                           char* _result, size_t _resultSize) {
  if (_resultSize == 0) return _result;
  std::string out;
  if (!ReplaceToFixedPoint(_source, _pattern, _replace, _resultSize - 1, out)) {
    size_t n = strnlen(_source, _resultSize - 1);
    memmove(_result, _source, n);
    _result[n] = '\0';
    return _result;
  }
  memcpy(_result, out.c_str(), out.size() + 1);
  return _result;
}

std::string CQIRConv::StrReplace(const std::string& _source, const std::string& _pattern,
                                 const std::string& _replace) {
  std::string out;
  if (!ReplaceToFixedPoint(_source, _pattern, _replace, out.max_size(), out)) return _source;
  return out;
}
