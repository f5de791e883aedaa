#include "QIRConv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Strict digit value for the prefix text, where anything else is an error.
int HexValue(char _c) {
  if (_c >= '0' && _c <= '9') return _c - '0';
  if (_c >= 'a' && _c <= 'f') return _c - 'a' + 10;
  if (_c >= 'A' && _c <= 'F') return _c - 'A' + 10;
  return -1;
}

constexpr int kIpv4PartMax = 3;
constexpr long kIpv6PrefixMaxBits = 128;

}  // namespace

unsigned char QIR_GetHexDigit(char _c) {
  if (_c >= '0' && _c <= '9') return static_cast<unsigned char>(_c - '0');
  if (_c >= 'A' && _c <= 'F') return static_cast<unsigned char>(_c - 'A' + 10);
  return static_cast<unsigned char>(_c - 87);
}

int QIR_CONV_BIN2HEX(const unsigned char* _src, char* _dest, int _length, int _prefix) {
  static const char kDigits[] = "0123456789abcdef";
  int n = 0;
  if (_prefix == 1) {
    _dest[n++] = '0';
    _dest[n++] = 'x';
  }
  for (int i = 0; i < _length; ++i) {
    _dest[n++] = kDigits[_src[i] >> 4];
    _dest[n++] = kDigits[_src[i] & 0x0F];
  }
  _dest[n] = '\0';
  return n;
}

int QIR_CONV_HEX2BIN(const char* _src, unsigned char* _dest) {
  int n = 0;
  for (const char* p = _src; *p != '\0'; p += 2) {
    unsigned hi = QIR_GetHexDigit(p[0]) & 0x0F;
    unsigned lo = (p[1] != '\0') ? (QIR_GetHexDigit(p[1]) & 0x0F) : 0;
    _dest[n++] = static_cast<unsigned char>((hi << 4) | lo);
    if (p[1] == '\0') break;
  }
  return n;
}

int QIR_CONV_STR2IPV4(const char* _ip, unsigned char* _dest) {
  // Exactly four parts: fewer would leave bytes of _dest unset behind a
  // success, more would be an address this form cannot hold.
  const char* p = _ip;
  for (int part = 0; part < 4; ++part) {
    const char* end = strchr(p, '.');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 0 || len > kIpv4PartMax) return -1;
    if ((part < 3) != (end != nullptr)) return -1;
    char text[kIpv4PartMax + 1];
    memcpy(text, p, len);
    text[len] = '\0';
    // A non-digit ends the number, as atoi reads it.
    int value = atoi(text);
    if (value < 0 || value > 255) return -1;
    _dest[part] = static_cast<unsigned char>(value);
    if (end) p = end + 1;
  }
  return 4;
}

int QIR_CONV_STR2IPV6PREFIX(const char* _ip, unsigned char* _dest) {
  _dest[0] = 0;
  const char* slash = strchr(_ip, '/');
  if (slash == nullptr) return -1;
  // Above 128 bits the bytes would run past the 18-byte binary form.
  long bits = strtol(slash + 1, nullptr, 10);
  if (bits < 0 || bits > kIpv6PrefixMaxBits || bits % 8 != 0) return -1;
  _dest[1] = static_cast<unsigned char>(bits);
  const int bytes = static_cast<int>(bits / 8);
  const char* p = _ip;
  for (int i = 0; i < bytes; ++i) {
    // The "/" and the NUL are not digits, so a short text stops here.
    int hi = HexValue(p[0]);
    if (hi < 0) return -1;
    int lo = HexValue(p[1]);
    if (lo < 0) return -1;
    _dest[2 + i] = static_cast<unsigned char>((hi << 4) | lo);
    p += 2;
    if (i % 2 == 1 && i != bytes - 1) {
      if (*p != ':') return -1;
      ++p;
    }
  }
  return 2 + bytes;
}

int QIR_CONV_IPV6PREFIX2STR(const unsigned char* _src, char* _dest) {
  const int bits = _src[1];
  // A longer length would read past the 16 address bytes.
  if (bits > kIpv6PrefixMaxBits) {
    _dest[0] = '\0';
    return -1;
  }
  std::string groups;
  char group[5];
  for (int g = 0; g < bits / 16; ++g) {
    snprintf(group, sizeof(group), "%02x%02x", _src[2 + 2 * g], _src[3 + 2 * g]);
    if (g > 0) groups += ':';
    groups += group;
  }
  return sprintf(_dest, bits == 128 ? "%s/%d" : "%s::/%d", groups.c_str(), bits);
}

int QIR_CONV_IPV6_FULL_STR(const char* _srcIP, char* _destIP, bool _upperCase) {
  unsigned char addr[16];
  if (inet_pton(AF_INET6, _srcIP, addr) != 1) return 0;
  char* p = _destIP;
  for (int g = 0; g < 8; ++g) {
    if (g > 0) *p++ = ':';
    p += sprintf(p, _upperCase ? "%02X%02X" : "%02x%02x", addr[2 * g], addr[2 * g + 1]);
  }
  return 1;
}

int QIR_STR_REPLACE(char* _data, const char* _orgin, const char* _replace) {
  return QIR_STR_REPLACE(_data, _orgin, _replace, static_cast<size_t>(-1));
}

int QIR_STR_REPLACE(char* _data, const char* _orgin, const char* _replace, size_t _dataSize) {
  const size_t orgLen = strlen(_orgin);
  // An empty pattern matches everywhere and the pass would never end.
  if (orgLen == 0) return static_cast<int>(strlen(_data));
  std::string text(_data);
  const size_t repLen = strlen(_replace);
  for (size_t pos = text.find(_orgin); pos != std::string::npos;
       pos = text.find(_orgin, pos + repLen)) {
    text.replace(pos, orgLen, _replace, repLen);
  }
  if (text.size() >= _dataSize) return -1;
  memcpy(_data, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}
