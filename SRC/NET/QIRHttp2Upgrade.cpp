#include "QIRHttp2Upgrade.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include <openssl/evp.h>

#include "CQIRHttp2Request.h"
#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRHTTP2SRVSetupThread.h"
#include "CQIRHttp2Response.h"
#include "CQIRServiceLog.h"
#include "CQIRUtil.h"

namespace {

typedef std::chrono::steady_clock Steady;

const char kHeadEnd[] = "\r\n\r\n";

// Waits until fd is readable or the deadline passes: 1 readable, 0 timed
// out, -1 failed. poll, because an accepted descriptor may be beyond
// FD_SETSIZE on a busy server.
int WaitReadable(int fd, const Steady::time_point& deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (left.count() <= 0) return 0;
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n > 0) return 1;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    QIR_LOG_I("[%d-%s]select() failed...", errno, strerror(errno));
    return -1;
  }
}

enum { kHeadDone = 1, kHeadTimeout = 0, kHeadWaitFailed = -1, kHeadReadFailed = -2 };

// Reads an HTTP/1.1 head through its empty line into buf (capacity cap, at
// most cap - 1 bytes, NUL-terminated), waiting for the rest of a head that
// arrives in pieces until the deadline. The first read stops right after the
// delimiter; a head split across packets is completed one byte at a time so
// that nothing behind it (a body, HTTP/2 frames) is taken from the socket.
// *len gets the bytes read.
template <class Conn>
int ReadHead(Conn* conn, char* buf, int cap, const Steady::time_point& deadline, int* len) {
  *len = 0;
  for (;;) {
    int w = WaitReadable(conn->GetSocket(), deadline);
    if (w <= 0) return w == 0 ? kHeadTimeout : kHeadWaitFailed;
    int room = cap - 1 - *len;
    if (room <= 0) return kHeadReadFailed;
    int n = *len == 0 ? conn->read(buf, kHeadEnd, room) : conn->read(buf + *len, 1);
    if (n == -1) continue;  // woken without data
    if (n <= 0) return kHeadReadFailed;  // closed (readable, nothing read), failure, overflow
    *len += n;
    buf[*len] = '\0';
    if (*len >= 4 && memcmp(buf + *len - 4, kHeadEnd, 4) == 0) return kHeadDone;
    // The delimiter read only stops on a delimiter it saw whole.
    if (strstr(buf, kHeadEnd) != nullptr) return kHeadReadFailed;
  }
}

// Reads exactly len bytes, waiting until the deadline.
template <class Conn>
bool ReadExactly(Conn* conn, char* buf, size_t len, const Steady::time_point& deadline) {
  size_t have = 0;
  while (have < len) {
    if (WaitReadable(conn->GetSocket(), deadline) != 1) return false;
    int n = conn->read(buf + have, len - have);
    if (n == -1) continue;
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

void TrimOWS(std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) {
    s.clear();
    return;
  }
  size_t e = s.find_last_not_of(" \t");
  s = s.substr(b, e - b + 1);
}

void ToLower(std::string& s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// Strict decimal: digits only, at most the limit.
bool ParseContentLength(const std::string& text, uint32_t limit, size_t* out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long long>(c - '0');
  }
  if (v > limit) return false;
  *out = static_cast<size_t>(v);
  return true;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

// Splits the head into the stream-1 header list and the HTTP2-Settings text;
// false (logged) refuses the upgrade.
// *plainHttp: an HTTP/1.x request that asked for no upgrade (answered 426).
bool ParseUpgradeHead(const char* name, const std::string& head, QIR_HTTP2_HEADER* hdr,
                      std::string* settingsText, bool* plainHttp) {
  std::vector<std::string> lines;
  CQIRUtil::ParseCSV(head, "\r\n", lines);
  if (lines.empty()) {
    QIR_LOG_E("HTTP/1.1 Header line parse failed!...");
    return false;
  }
  for (const std::string& line : lines) {
    if (line.size() >= QIR_HTTP2_UPGRADE_LINE_SIZE &&
        strncasecmp(line.c_str(), "HTTP2-Settings:", 15) != 0) {
      QIR_LOG_E("HTTP/1.1 Header item parse failed!...");
      return false;
    }
  }

  std::vector<std::string> parts;
  CQIRUtil::ParseCSV(lines[0], " ", parts);
  if (parts.size() < 3) {
    QIR_LOG_E("conn(%s) first_line(%s) parse failed!..", name, lines[0].c_str());
    return false;
  }
  // RFC 7540 section 3.2 (the h2c upgrade, deprecated by RFC 9113): whatever its path, the
  // request that carried the upgrade is answered on stream 1.
  QIR_LOG_I("HTTP/1.1 Upgrade with Request (%s)", parts[1].c_str());
  hdr->emplace_back(":method", parts[0]);
  hdr->emplace_back(":path", parts[1]);
  hdr->emplace_back(":scheme", "http");

  bool upgrade = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon == std::string::npos) {
      QIR_LOG_E("HTTP/1.1 Header item parse failed!...");
      return false;
    }
    std::string field = lines[i].substr(0, colon);
    std::string value = lines[i].substr(colon + 1);
    // Field values may be preceded and followed by blanks (RFC 9112 5.1).
    TrimOWS(value);
    if (strcasecmp(field.c_str(), "Upgrade") == 0 && strcasecmp(value.c_str(), "h2c") == 0) {
      upgrade = true;
      if (G_QIR_HTTP2_DETAIL_LOG) QIR_LOG_I("conn(%s) h2c upgrade!...", name);
    } else if (strcasecmp(field.c_str(), "HTTP2-Settings") == 0) {
      if (value.size() >= QIR_HTTP2_UPGRADE_SETTINGS_SIZE) {
        QIR_LOG_E("HTTP/1.1 Header item parse failed!...");
        return false;
      }
      *settingsText = value;
    } else if (strcasecmp(field.c_str(), "Host") == 0) {
      hdr->emplace_back(":authority", value);
    } else {
      ToLower(field);
      hdr->emplace_back(field, value);
    }
  }
  if (!upgrade) {
    *plainHttp = parts[2].compare(0, 7, "HTTP/1.") == 0;
    QIR_LOG_E("conn(%s) HTTP 1.1 Upgrade header empty!..", name);
    return false;
  }
  return true;
}

// The peer's Content-Length sizes nothing beyond the payload limit.
bool UpgradeBodyLength(const char* name, const QIR_HTTP2_HEADER& hdr, uint32_t limit,
                       size_t* len) {
  *len = 0;
  for (const auto& field : hdr) {
    if (field.first != "content-length") continue;
    if (!ParseContentLength(field.second, limit, len)) {
      QIR_LOG_E("conn(%s) HTTP/1.1 Upgrade content-length(%s) invalid or over %u bytes!..", name,
                field.second.c_str(), limit);
      return false;
    }
    break;
  }
  QIR_LOG_I("conn(%s) HTTP/1.1 Upgrade with request...(payload=%d)", name, static_cast<int>(*len));
  return true;
}

// Tells a plain HTTP/1.1 client what this port speaks instead of closing
// without a word, then closes the sending side. A client may still be
// sending its request (a body larger than the set-up stage waits for, or
// one still on its way); closing with that unread would reset the
// connection, and a client that writes its whole request before reading
// would then see the reset instead of the answer. So the socket goes to the
// set-up stage for a lingering close (bounded in time and bytes), or, with
// no stage running, what is already there is read before the close.
void AnswerUpgradeRequired(CQIRHttp2Response* conn) {
  static_assert(sizeof(HTTP2_UPGRADE_REQUIRED_BODY) - 1 == 82, "Content-Length of the 426 answer");
  static const char kAnswer[] = HTTP2_UPGRADE_REQUIRED_RESPONSE;
  const size_t len = sizeof(kAnswer) - 1;
  if (conn->write(kAnswer, len) != static_cast<int>(len)) return;
  QIR_LOG_I("conn(%s) HTTP/1.1 request without upgrade: 426 answered", conn->GetName());
  QIR_HTTP2SRV_METRIC(QIR_M_UPGRADE_REQUIRED);
  const int fd = conn->GetSocket();
  shutdown(fd, SHUT_WR);
  // A descriptor of its own: the session closes this one when it fails.
  const int lingering = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (lingering >= 0) {
    if (CQIRHTTP2SRVSetupThread::Linger(lingering)) return;
    close(lingering);
  }
  char sink[4096];
  for (int i = 0; i < 64; ++i) {
    ssize_t n = recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) break;
  }
}

// Client half over any connection with the transport adapters.
template <class Conn>
bool ClientUpgrade(Conn* conn, const char* host, const QIR_ST_HTTP2_OPTIONS* options,
                   unsigned char (&payload)[QIR_HTTP2_UPGRADE_PAYLOAD_SIZE], size_t& payloadLen,
                   int timeoutMs) {
  nghttp2_settings_entry iv[QIR_HTTP2_UPGRADE_ENTRIES];
  size_t niv = populate_settings(iv, options);
  // As over the other transports: equal-priority DATA leaves in stream order.
  iv[niv++] = {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1};
  ssize_t packed = nghttp2_pack_settings_payload(payload, sizeof(payload), iv, niv);
  if (packed < 0) {
    QIR_LOG_E("nghttp2_pack_settings_payload() failed!...");
    return false;
  }
  payloadLen = static_cast<size_t>(packed);
  std::string token = base64_encode(payload, payloadLen);
  to_token68(token);

  char request[QIR_HTTP2_UPGRADE_HEAD_SIZE];
  int len = snprintf(request, sizeof(request), HTTP2_UPGRADE_REQUEST, host, token.c_str());
  if (len < 0 || len >= static_cast<int>(sizeof(request))) {
    QIR_LOG_E("Send HTTP/2 Upgrade... host(%.64s) too long!..", host);
    return false;
  }
  if (G_QIR_HTTP2_DETAIL_LOG) QIR_LOG_I("Send HTTP/2 Upgrade...[\n%s:%d]", request, len);
  if (conn->write(request, static_cast<size_t>(len)) < 1) return false;

  // The server's HTTP/2 frames follow its answer at once: read the answer
  // through its empty line and not a byte further.
  char answer[QIR_HTTP2_UPGRADE_HEAD_SIZE];
  memset(answer, 0, sizeof(answer));
  int answerLen = 0;
  const Steady::time_point deadline =
      Steady::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 1);
  int r = ReadHead(conn, answer, static_cast<int>(sizeof(answer)), deadline, &answerLen);
  if (r == kHeadTimeout && answerLen == 0) {
    QIR_LOG_E("Receive HTTP/2 Upgrade... timeout...");
    return false;
  }
  if (r == kHeadWaitFailed) return false;
  if (r != kHeadDone) {
    QIR_LOG_E("Receive HTTP/2 Upgrade failed!...");
    return false;
  }
  if (G_QIR_HTTP2_DETAIL_LOG) QIR_LOG_I("Recv HTTP/2 Upgrade...[\n%s:%d]", answer, answerLen);
  if (strstr(answer, "101") == nullptr || strstr(answer, "h2c") == nullptr) {
    QIR_LOG_E("HTTP/2 Upgrade response failed!...");
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

BlockAllocator::~BlockAllocator() {
  for (char* b : blocks_) free(b);
}

char* BlockAllocator::alloc(size_t _size) {
  if (_size > kBlockSize) {
    char* big = static_cast<char*>(malloc(_size));
    if (big == nullptr) return nullptr;
    // Before the current block, which stays the one being filled.
    blocks_.insert(blocks_.begin(), big);
    return big;
  }
  if (blocks_.empty() || kBlockSize - used_ < _size) {
    char* block = static_cast<char*>(malloc(kBlockSize));
    if (block == nullptr) return nullptr;
    blocks_.push_back(block);
    used_ = 0;
  }
  char* p = blocks_.back() + used_;
  used_ += _size;
  return p;
}

size_t populate_settings(nghttp2_settings_entry* iv, const QIR_ST_HTTP2_OPTIONS* options) {
  iv[0].settings_id = NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS;
  iv[0].value = options->nMaxConcurrentStream_;
  iv[1].settings_id = NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE;
  iv[1].value = options->nDefaultWindowSize_;
  iv[2].settings_id = NGHTTP2_SETTINGS_MAX_FRAME_SIZE;
  iv[2].value = options->nDefaultFrameSize_;
  iv[3].settings_id = NGHTTP2_SETTINGS_HEADER_TABLE_SIZE;
  iv[3].value = options->nMaxHeaderTableSize_;
  iv[4].settings_id = NGHTTP2_SETTINGS_ENABLE_PUSH;
  iv[4].value = options->nPushEnable_;
  return 5;
}

std::string base64_encode(const uint8_t* _data, size_t _len) {
  std::string out(4 * ((_len + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), _data, static_cast<int>(_len));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

StringRef base64_decode(BlockAllocator& _balloc, const StringRef& _base64) {
  const char* s = _base64.base;
  size_t len = _base64.len;
  if (len == 0 || len % 4 != 0) return StringRef();
  // EVP_DecodeBlock reads "=" as zero bits wherever it stands and skips
  // blanks: only the final one or two characters may be padding here.
  size_t pad = 0;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] == '=') {
      if (i + 2 < len) return StringRef();
      ++pad;
    } else if (pad > 0 || !IsBase64Char(s[i])) {
      return StringRef();
    }
  }
  char* out = _balloc.alloc(len / 4 * 3 + 1);
  if (out == nullptr) return StringRef();
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out),
                          reinterpret_cast<const unsigned char*>(s), static_cast<int>(len));
  if (n < static_cast<int>(pad)) return StringRef();
  n -= static_cast<int>(pad);
  out[n] = '\0';
  return StringRef(out, static_cast<size_t>(n));
}

void to_token68(std::string& s) {
  for (char& c : s) {
    if (c == '+') {
      c = '-';
    } else if (c == '/') {
      c = '_';
    }
  }
  size_t eq = s.find('=');
  if (eq != std::string::npos) s.resize(eq);
}

StringRef to_base64(BlockAllocator& balloc, const StringRef& token68) {
  size_t pad = token68.len % 4 == 0 ? 0 : 4 - token68.len % 4;
  char* out = balloc.alloc(token68.len + pad + 1);
  if (out == nullptr) return StringRef();
  for (size_t i = 0; i < token68.len; ++i) {
    char c = token68.base[i];
    out[i] = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  memset(out + token68.len, '=', pad);
  out[token68.len + pad] = '\0';
  return StringRef(out, token68.len + pad);
}

// ---------------------------------------------------------------------------
// Socket adapters of the server engine.

const char* CQIRHttp2Response::GetName() const { return name_.c_str(); }

int CQIRHttp2Response::GetSocket() const { return fd_; }

int CQIRHttp2Response::write(const char* buf, size_t len) {
  return transport_.Send(buf, len);
}

int CQIRHttp2Response::read(char* buf, size_t len) { return transport_.Recv(buf, len); }

int CQIRHttp2Response::read(char* buf, const char* delimiter, int max) {
  return transport_.Recv(buf, delimiter, max);
}

bool QIR_HTTP2_CLIENT_UPGRADE(CQIRHttp2Request* conn, const char* host,
                              const QIR_ST_HTTP2_OPTIONS* options,
                              unsigned char (&payload)[QIR_HTTP2_UPGRADE_PAYLOAD_SIZE],
                              size_t& payloadLen, int timeoutMs) {
  return ClientUpgrade(conn, host, options, payload, payloadLen, timeoutMs);
}

// ---------------------------------------------------------------------------
// Server half.

bool QIR_HTTP2_SERVER_UPGRADE(CQIRHttp2Response* conn, StringRef& settings) {
  settings = StringRef();
  const char* name = conn->GetName();
  // One second for the whole exchange, however the head and body arrive.
  const Steady::time_point deadline = Steady::now() + std::chrono::seconds(1);

  char head[QIR_HTTP2_UPGRADE_HEAD_SIZE];
  memset(head, 0, sizeof(head));
  int headLen = 0;
  switch (ReadHead(conn, head, static_cast<int>(sizeof(head)), deadline, &headLen)) {
    case kHeadDone:
      break;
    case kHeadTimeout:
      if (headLen == 0) {
        QIR_LOG_E("conn(%s) Receive HTTP/2 upgrade request. timeout!..", name);
      } else {
        QIR_LOG_E("HTTP/1.1 receive failed!..");
      }
      return false;
    case kHeadWaitFailed:
      return false;
    default:
      QIR_LOG_E("HTTP/1.1 receive failed!..");
      return false;
  }
  if (G_QIR_HTTP2_DETAIL_LOG) {
    QIR_LOG_I("conn(%s) HTTP/1.1 received...[\n%s:%d]", name, head, headLen);
  }

  QIR_HTTP2_HEADER hdr;
  std::string settingsText;
  size_t bodyLen = 0;
  bool plainHttp = false;
  if (!ParseUpgradeHead(name, std::string(head, static_cast<size_t>(headLen)), &hdr,
                        &settingsText, &plainHttp)) {
    if (plainHttp) AnswerUpgradeRequired(conn);
    return false;
  }
  if (!UpgradeBodyLength(name, hdr, conn->options_.nMaxPayloadSize_, &bodyLen)) {
    return false;
  }

  std::unique_ptr<char, decltype(&free)> body(nullptr, &free);
  if (bodyLen > 0) {
    body.reset(static_cast<char*>(malloc(bodyLen)));
    if (body == nullptr) {
      QIR_LOG_E("memory allocate(%d bytes) failed!...", static_cast<int>(bodyLen));
      return false;
    }
    if (!ReadExactly(conn, body.get(), bodyLen, deadline)) {
      QIR_LOG_E("HTTP/1.1 receive failed!..");
      return false;
    }
  }

  const char answer[] = HTTP2_UPGRADE_RESPONSE;
  const int answerLen = static_cast<int>(sizeof(answer) - 1);
  if (G_QIR_HTTP2_DETAIL_LOG) {
    QIR_LOG_I("Send HTTP/2 upgrade response[\n%s:%d]", answer, answerLen);
  }
  if (conn->write(answer, static_cast<size_t>(answerLen)) != answerLen) return false;

  BlockAllocator balloc;
  StringRef decoded = base64_decode(balloc, to_base64(balloc, StringRef(settingsText)));
  memcpy(conn->upgradeSettings_, decoded.base, decoded.len);
  conn->upgradeSettingsLen_ = decoded.len;
  settings = StringRef(conn->upgradeSettings_, conn->upgradeSettingsLen_);

  return conn->DoProcUpgradeWithRequest(hdr, body.get(), bodyLen);
}
