#ifndef QIR_NET_QIRHTTP2UPGRADE_H
#define QIR_NET_QIRHTTP2UPGRADE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include <nghttp2/nghttp2.h>

#include "defHttp2.h"

class CQIRHttp2Request;
class CQIRHttp2Response;

// The HTTP/1.1 upgrade to h2c (RFC 7540 section 3.2) for both engines, and
// the base64/token68 conversions of the HTTP2-Settings header. Each call works
// on one connection owned by the calling thread, before its HTTP/2 session
// exists.

// Request template (host, token68 SETTINGS payload) and the 101 answer;
// literals, so that the formatting call is checked.
#define HTTP2_UPGRADE_REQUEST                                                            \
  "GET / HTTP/1.1\r\nHost: %s\r\nConnection: Upgrade, HTTP2-Settings\r\nUpgrade: h2c\r\n" \
  "HTTP2-Settings: %s\r\n\r\n"
#define HTTP2_UPGRADE_RESPONSE \
  "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n"

// The answer to an HTTP/1.x request without "Upgrade: h2c" on an upgrade
// port (RFC 9110 section 15.5.22); the connection closes after it.
#define HTTP2_UPGRADE_REQUIRED_BODY \
  "This port speaks HTTP/2 only: use the h2c upgrade or HTTP/2 with prior knowledge.\n"
#define HTTP2_UPGRADE_REQUIRED_RESPONSE                                                     \
  "HTTP/1.1 426 Upgrade Required\r\nUpgrade: h2c\r\nConnection: Upgrade, close\r\n"      \
  "Content-Type: text/plain\r\nContent-Length: 82\r\n\r\n" HTTP2_UPGRADE_REQUIRED_BODY

enum {
  QIR_HTTP2_UPGRADE_HEAD_SIZE = 4096,     // request/answer head, through the empty line
  QIR_HTTP2_UPGRADE_SETTINGS_SIZE = 256,  // HTTP2-Settings value, shorter than this
  QIR_HTTP2_UPGRADE_LINE_SIZE = 1024,     // every other header line, shorter than this
  QIR_HTTP2_UPGRADE_PAYLOAD_SIZE = 128,   // packed SETTINGS payload of the client
  QIR_HTTP2_UPGRADE_ENTRIES = 16          // settings entries array of the client
};

// A byte view; does not own what it points to.
struct StringRef {
  StringRef() : base(""), len(0) {}
  StringRef(const char* _base, size_t _len) : base(_base), len(_len) {}
  explicit StringRef(const std::string& _s) : base(_s.c_str()), len(_s.size()) {}

  const uint8_t* byte() const { return reinterpret_cast<const uint8_t*>(base); }
  bool empty() const { return len == 0; }
  size_t size() const { return len; }
  std::string str() const { return std::string(base, len); }

  const char* base;
  size_t len;
};

// Arena for short-lived conversion results: 4096-byte blocks, a larger
// request gets a block of its own; everything is freed with the arena.
class BlockAllocator {
 public:
  BlockAllocator() : used_(kBlockSize) {}
  ~BlockAllocator();
  BlockAllocator(const BlockAllocator&) = delete;
  BlockAllocator& operator=(const BlockAllocator&) = delete;

  char* alloc(size_t _size);  // null only when memory is exhausted

 private:
  static const size_t kBlockSize = 4096;
  std::vector<char*> blocks_;
  size_t used_;  // bytes taken from blocks_.back()
};

// Fills the five client entries (MAX_CONCURRENT_STREAMS, INITIAL_WINDOW_SIZE,
// MAX_FRAME_SIZE, HEADER_TABLE_SIZE, ENABLE_PUSH) and returns 5.
size_t populate_settings(nghttp2_settings_entry* iv, const QIR_ST_HTTP2_OPTIONS* options);

// Standard base64 (RFC 4648, "=" padded).
std::string base64_encode(const uint8_t* _data, size_t _len);
// Empty view when the text is not valid padded base64 (length a multiple of
// 4, "=" only as the last one or two characters). NUL-terminated in the arena.
StringRef base64_decode(BlockAllocator& _balloc, const StringRef& _base64);

// base64 to token68 in place: "+" to "-", "/" to "_", cut at the first "=".
void to_token68(std::string& s);
// token68 to padded base64, NUL-terminated in the arena.
StringRef to_base64(BlockAllocator& balloc, const StringRef& token68);

// Client half: sends the upgrade request carrying the packed SETTINGS of
// options (kept in payload/payloadLen for nghttp2_session_upgrade2) and waits
// at most timeoutMs (one second by default) for the 101 answer. True when the
// server switched.
bool QIR_HTTP2_CLIENT_UPGRADE(CQIRHttp2Request* conn, const char* host,
                              const QIR_ST_HTTP2_OPTIONS* options,
                              unsigned char (&payload)[QIR_HTTP2_UPGRADE_PAYLOAD_SIZE],
                              size_t& payloadLen, int timeoutMs = 1000);

// Server half, on the accepted non-blocking socket of conn: reads the HTTP/1.1
// request (waiting at most one second in all), registers it as stream 1,
// answers 101 and returns the decoded HTTP2-Settings payload in settings. The
// bytes live in conn until the next upgrade on it. False refuses the upgrade;
// nothing is sent then, except HTTP2_UPGRADE_REQUIRED_RESPONSE to an HTTP/1.x
// request that asked for no upgrade.
bool QIR_HTTP2_SERVER_UPGRADE(CQIRHttp2Response* conn, StringRef& settings);

#endif  // QIR_NET_QIRHTTP2UPGRADE_H
