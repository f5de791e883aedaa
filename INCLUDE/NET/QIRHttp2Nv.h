#ifndef QIR_NET_QIRHTTP2NV_H
#define QIR_NET_QIRHTTP2NV_H

// Small helpers shared by the server and client session engines: header
// entries for nghttp2 and the names of SETTINGS identifiers.
//
// Every entry is built with NGHTTP2_NV_FLAG_NO_COPY_NAME |
// NGHTTP2_NV_FLAG_NO_COPY_VALUE: nghttp2 keeps the pointers, so the strings
// must stay unchanged until the HEADERS frame has been sent.

#include <nghttp2/nghttp2.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

inline const char* strsettingsid(int _id) {
  switch (_id) {
    case NGHTTP2_SETTINGS_HEADER_TABLE_SIZE: return "SETTINGS_HEADER_TABLE_SIZE";
    case NGHTTP2_SETTINGS_ENABLE_PUSH: return "SETTINGS_ENABLE_PUSH";
    case NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS: return "SETTINGS_MAX_CONCURRENT_STREAMS";
    case NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE: return "SETTINGS_INITIAL_WINDOW_SIZE";
    case NGHTTP2_SETTINGS_MAX_FRAME_SIZE: return "SETTINGS_MAX_FRAME_SIZE";
    case NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE: return "SETTINGS_MAX_HEADER_LIST_SIZE";
    default: return "UNKNOWN";
  }
}

// nghttp2 takes non-const pointers but, with the no-copy flags, only reads.
inline uint8_t* QIR_NV_BYTES(const char* _text) {
  return reinterpret_cast<uint8_t*>(const_cast<char*>(_text));
}

inline nghttp2_nv make_nv(const std::string& _name, const std::string& _value) {
  return {QIR_NV_BYTES(_name.c_str()), QIR_NV_BYTES(_value.c_str()), _name.size(), _value.size(),
          NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

// Literal name, NUL-terminated value; a null value is sent empty.
template <size_t N>
inline nghttp2_nv make_nv_lc_nocopy(const char (&_name)[N], const char* _value) {
  if (_value == nullptr) _value = "";
  return {QIR_NV_BYTES(_name), QIR_NV_BYTES(_value), N - 1, strlen(_value),
          NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

template <size_t N>
inline nghttp2_nv make_nv_ls_nocopy(const char (&_name)[N], const std::string& _value) {
  return {QIR_NV_BYTES(_name), QIR_NV_BYTES(_value.c_str()), N - 1, _value.size(),
          NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE};
}

#endif  // QIR_NET_QIRHTTP2NV_H
