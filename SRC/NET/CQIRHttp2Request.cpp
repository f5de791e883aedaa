#include "CQIRHttp2Request.h"

#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"
#include "QIRHttp2Option.h"
#include "QIRHttp2Upgrade.h"

#include <nghttp2/nghttp2.h>

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <chrono>
#include <new>

namespace {

using Clock = std::chrono::steady_clock;

const int32_t kMaxRequestCount = 1073741823;  // 2^30 - 1: client stream ids are odd and below 2^31
const uint32_t kClientConnectionWindow = (1u << 30) - 1;

bool HasUpper(const std::string& _s) {
  for (char c : _s)
    if (c >= 'A' && c <= 'Z') return true;
  return false;
}

// HTTP/2 requires lower-case field names (RFC 9113, 8.2.1): a conforming
// server resets a stream that sends "Content-Type".
void LowerNames(QIR_HTTP2_HEADER& _hdr) {
  for (auto& field : _hdr) {
    if (!field.first.empty() && field.first[0] != ':' && HasUpper(field.first)) {
      for (char& c : field.first) c = (char)tolower((unsigned char)c);
    }
  }
}

void Notice(QIR_ST_HTTP2_RESPONSE* _res, int _outcome, int _error, int _cause) {
  memcpy(_res->rs_, "000", 4);
  _res->hdr_.clear();
  _res->payload_.size_ = 0;
  _res->error_ = _error;
  _res->outcome_ = _outcome;
  _res->cause_ = _cause;
}

double SecondsSince(std::chrono::steady_clock::time_point _t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - _t).count();
}

// True when _text has its NUL within the _cap bytes of its field.
bool Terminated(const char* _text, size_t _cap) { return strnlen(_text, _cap) < _cap; }

void LogHeaders(const nghttp2_nv* _nva, size_t _nvlen) {
  for (size_t i = 0; i < _nvlen; ++i) {
    std::string name((const char*)_nva[i].name, _nva[i].namelen);
    std::string value((const char*)_nva[i].value, _nva[i].valuelen);
    QIR_LOG_I("%s%s%s: %s\n", "", name.c_str(), "", value.c_str());
  }
}

int64_t SteadyNs(std::chrono::steady_clock::time_point _t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(_t.time_since_epoch()).count();
}

}  // namespace

CQIRHttp2Request::CQIRHttp2Request()
    : name_("undefined"),
      port_(0),
      ssl_ctx_(nullptr),
      isUpgrade_(false),
      isEvent_(false),
      total_request_count_(0),
      last_send_stream_id_(0),
      last_recv_stream_id_(0),
      sync_stream_id_(0),
      goaway_(false),
      goawayPending_(false),
      goawayCode_(-1),
      goawayLastId_(0),
      failed_(false),
      settledCount_(0) {}

CQIRHttp2Request::~CQIRHttp2Request() { Disconnect(); }

bool CQIRHttp2Request::Initialize(const char* _name, const QIR_ST_HTTP2_OPTIONS* _options) {
  if (name_ != "undefined") {
    QIR_LOG_E("conn(%s) alreay initialized...", name_.c_str());
    return false;
  }
  name_ = _name != nullptr ? _name : "";
  core_.SetName(name_.c_str());
  core_.SetOptions(_options);
  options_ = core_.Options();
  if (options_.nPushEnable_ != 0) options_.nPushEnable_ = 1;
  if (options_.nConnectTimeoutMs_ == 0) {
    options_.nConnectTimeoutMs_ = QIR_HTTP2_DEFAULT_CONNECT_TIMEOUT_MSEC;
  }
  // Bodies are bounded per stream by nMaxPayloadSize_, so the connection
  // window only decides who waits: with 64 KiB, 100 streams of 4 KiB
  // answers overtake each other and the last ones starve.
  if (options_.nLocalWindowSize_ == 0) options_.nLocalWindowSize_ = kClientConnectionWindow;
  core_.SetOptions(&options_);
  // Records are made as requests need them, then reused.
  responsePool_.Init(options_.nMaxConcurrentStream_, options_.nMaxPayloadSize_,
                     QIR_HTTP2_MAKE_RECORD<QIR_ST_HTTP2_RESPONSE>,
                     QIR_HTTP2_DROP_RECORD<QIR_ST_HTTP2_RESPONSE>);
  CQIRLockGuard lock(mutexQ_);
  requestPool_.Init(options_.nMaxConcurrentStream_, options_.nMaxPayloadSize_,
                    QIR_HTTP2_MAKE_RECORD<QIR_ST_HTTP2_REQUEST>,
                    QIR_HTTP2_DROP_RECORD<QIR_ST_HTTP2_REQUEST>);
  return true;
}

// ---------------------------------------------------------------------------
// Connection and session

bool CQIRHttp2Request::Connect(const char* _host, int _port, SSL_CTX* _ssl_ctx,
                               bool _isUsingExternEV) {
  host_ = _host != nullptr ? _host : "";
  port_ = _port;
  ssl_ctx_ = _ssl_ctx;
  isUpgrade_ = false;
  return Connect(host_.c_str(), _isUsingExternEV);
}

bool CQIRHttp2Request::Connect(const char* _host, int _port, bool _isUsingExternEV) {
  host_ = _host != nullptr ? _host : "";
  port_ = _port;
  ssl_ctx_ = nullptr;
  isUpgrade_ = true;
  return Connect(host_.c_str(), _isUsingExternEV);
}

bool CQIRHttp2Request::Connect(const char* _host, bool _noEvent) {
  if (name_ == "undefined") {
    QIR_LOG_E("conn(%s) not initialized...", name_.c_str());
    return false;
  }
  // A second Connect without Disconnect would leak the old socket and session.
  if (core_.GetSocket() >= 0 || core_.Get() != nullptr) Disconnect();
  SetState(QIR_HTTP2_CONN_STATE_INIT, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  {
    CQIRLockGuard lock(mutexQ_);
    goaway_ = false;
  }
  goawayPending_ = false;
  goawayCode_ = -1;
  goawayLastId_ = 0;
  failed_ = false;

  // One deadline for name lookup, TCP, TLS handshake and upgrade, and no
  // lock held while waiting: a host that does not answer costs only its own
  // caller the time-out.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(options_.nConnectTimeoutMs_);
  auto left = [&deadline]() {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return ms.count() < 1 ? 1 : static_cast<int>(ms.count());
  };
  int fd = CQIRSocketNew::CONNECT_TIMED(host_.c_str(), port_, left());
  bool ok = fd >= 0 && core_.Attach(fd, ssl_ctx_, QIR_SSL_MODE_CLIENT, !_noEvent, nullptr, left());
  if (ok) {
    SetVirtualHeader();
    isEvent_ = _noEvent;
    ok = InitHttp2Session(_host, left());
  }
  if (!ok) {
    // Requests queued before the connect learn that it failed.
    // The steps' waits round to milliseconds, so one may give up just short.
    const bool timedOut = (fd < 0 && errno == ETIMEDOUT) ||
                          Clock::now() + std::chrono::milliseconds(5) >= deadline;
    SetState(QIR_HTTP2_CONN_STATE_CLOSE,
             timedOut ? QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT : QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
    QIR_LOG_E("conn(%s) connect to %s:%d failed!...", name_.c_str(), host_.c_str(), port_);
  }
  return ok;
}

void CQIRHttp2Request::SetVirtualHeader() {
  scheme_ = ssl_ctx_ != nullptr ? "https" : "http";
  authority_ = host_;
  if (port_ != 80 && port_ != 443) authority_ += ":" + std::to_string(port_);
}

bool CQIRHttp2Request::InitHttp2Session(const char* _host, int _upgradeMs) {
  unsigned char settings[QIR_HTTP2_UPGRADE_PAYLOAD_SIZE];
  size_t settingsLen = 0;
  if (isUpgrade_) {
    QIR_LOG_I("conn(%s) http/1.1 Upgrade negotiation", name_.c_str());
    if (!QIR_HTTP2_CLIENT_UPGRADE(this, _host, &options_, settings, settingsLen, _upgradeMs)) {
      return false;
    }
  } else if (ssl_ctx_ != nullptr) {
    QIR_LOG_I("conn(%s) http/2 direct with tls negotiation", name_.c_str());
  } else {
    QIR_LOG_I("conn(%s) http/2 direct negotiation", name_.c_str());
  }
  // Both ways announce SETTINGS_NO_RFC7540_PRIORITIES, for DATA in stream
  // order: under RFC 7540 scheduling nghttp2 put each new stream ahead of
  // one whose body the flow-control window had cut, so with a steady supply
  // of new requests that one starved (at 100 in flight it waited 400 ms
  // while 30000 others passed).
  if (!core_.Create(false, this)) return false;
  if (isUpgrade_) {
    // Opens stream 1 for the server's answer to the upgrade request.
    int rv = nghttp2_session_upgrade2(core_.Get(), settings, settingsLen, 0, nullptr);
    if (rv != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_upgrade2() failed!...%s", name_.c_str(),
                nghttp2_strerror(rv));
      return false;
    }
  } else if (!core_.SubmitSettings(true, true)) {
    return false;
  }
  if (!core_.SetLocalWindow()) return false;
  {
    CQIRLockGuard lock(mutexQ_);
    last_send_stream_id_ = 0;
    last_recv_stream_id_ = 0;
    total_request_count_ = 0;
  }
  core_.Opened();
  return true;
}

void CQIRHttp2Request::Disconnect() {
  Settle();
  core_.Terminate(false);
  for (auto& entry : responseMap_) ReleaseResponse(entry.second);
  responseMap_.clear();
  for (QIR_ST_HTTP2_RESPONSE* res : responseList_) ReleaseResponse(res);
  responseList_.clear();
  responsePool_.Clear();
  timeoutMap_.clear();
  sync_stream_id_ = 0;
  {
    CQIRLockGuard lock(mutexQ_);
    for (QIR_ST_HTTP2_REQUEST* req : unsent_) requestPool_.Give(req);
    unsent_.clear();
    for (auto& entry : requestMap_) requestPool_.Give(entry.second);
    for (QIR_ST_HTTP2_REQUEST* req : requestList_) requestPool_.Give(req);
    requestList_.clear();
    requestPool_.Clear();
  }
  requestMap_.clear();
  if (core_.GetSocket() >= 0) QIR_LOG_I("conn(%s) disconnect...", name_.c_str());
  core_.Release();
}

int CQIRHttp2Request::GetState() { return core_.GetState(); }

int CQIRHttp2Request::GetStateCause() { return core_.GetStateCause(); }

void CQIRHttp2Request::SetState(int _state, int _cause) { core_.SetState(_state, _cause); }

bool CQIRHttp2Request::IsValid() { return core_.IsValid(); }

bool CQIRHttp2Request::SendPing() { return core_.SendPing(); }

bool CQIRHttp2Request::Flush() { return core_.Flush(); }

int CQIRHttp2Request::write(const char* _data, size_t _length) {
  return core_.write(_data, _length);
}

int CQIRHttp2Request::read(char* _data, size_t _length) { return core_.read(_data, _length); }

int CQIRHttp2Request::read(char* _data, const char* _endMark, int _maxSize) {
  return core_.read(_data, _endMark, _maxSize);
}

// ---------------------------------------------------------------------------
// The session core's handler: the receive side, on the event thread.

int CQIRHttp2Request::OnBeginHeaders(const nghttp2_frame* _frame) {
  return InsertRecv(_frame->hd.stream_id) ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Request::OnHeader(const nghttp2_frame* _frame, const uint8_t* _name,
                               size_t _nameLen, const uint8_t* _value, size_t _valueLen) {
  int32_t stream = _frame->hd.stream_id;
  if (_frame->headers.cat == NGHTTP2_HCAT_RESPONSE ||
      // the final response after an informational (1xx) one
      (_frame->headers.cat == NGHTTP2_HCAT_HEADERS && responseMap_.count(stream))) {
    return UpdateHdrRecv(stream, (const char*)_name, _nameLen, (const char*)_value, _valueLen)
               ? 0
               : NGHTTP2_ERR_CALLBACK_FAILURE;
  }
  return 0;
}

int CQIRHttp2Request::OnDataChunk(int32_t _stream, const uint8_t* _data, size_t _len) {
  return UpdatePayloadRecv(_stream, (const char*)_data, _len) ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
}

void CQIRHttp2Request::OnFrameSend(const nghttp2_frame* _frame) {
  if (!G_QIR_HTTP2_DETAIL_LOG) return;
  if (_frame->hd.type == NGHTTP2_PING) {
    if (_frame->hd.flags & NGHTTP2_FLAG_ACK) {
      QIR_LOG_I("SEND PING[%d]...ACK", _frame->hd.type);
    } else {
      QIR_LOG_I("SEND PING[%d]...", _frame->hd.type);
    }
  } else if (_frame->hd.type == NGHTTP2_GOAWAY) {
    QIR_LOG_I("Send GO-AWAY Frame...");
  }
}

void CQIRHttp2Request::OnStreamClose(int32_t _stream, uint32_t _code) { CloseRecv(_stream, _code); }

int CQIRHttp2Request::OnFrameRecv(const nghttp2_frame* _frame) {
  int32_t stream = _frame->hd.stream_id;
  switch (_frame->hd.type) {
    case NGHTTP2_DATA:
      if ((_frame->hd.flags & NGHTTP2_FLAG_END_STREAM) && !OnResponseRecv(stream)) {
        return NGHTTP2_ERR_CALLBACK_FAILURE;
      }
      break;
    case NGHTTP2_HEADERS:
      if (_frame->headers.cat == NGHTTP2_HCAT_PUSH_RESPONSE) {
        QIR_LOG_I("frame-headers");
        LogHeaders(_frame->headers.nva, _frame->headers.nvlen);
        break;
      }
      if (_frame->hd.flags & NGHTTP2_FLAG_PRIORITY) {
        QIR_LOG_I("dep_stream_id=%d, weight=%u, exclusive=%d", _frame->headers.pri_spec.stream_id,
                  (unsigned)_frame->headers.pri_spec.weight, _frame->headers.pri_spec.exclusive);
      }
      if ((_frame->hd.flags & NGHTTP2_FLAG_END_STREAM) && !OnResponseRecv(stream)) {
        return NGHTTP2_ERR_CALLBACK_FAILURE;
      }
      break;
    case NGHTTP2_RST_STREAM:
      if (!RSTRecv(stream, (int)_frame->rst_stream.error_code)) return NGHTTP2_ERR_CALLBACK_FAILURE;
      break;
    case NGHTTP2_PUSH_PROMISE:
      QIR_LOG_I("conn(%s) receive PUSH ...not support!", name_.c_str());
      QIR_LOG_I("\t(padlen=%zu, promised_stream_id=%d)", _frame->push_promise.padlen,
                _frame->push_promise.promised_stream_id);
      LogHeaders(_frame->push_promise.nva, _frame->push_promise.nvlen);
      break;
    case NGHTTP2_GOAWAY: {
      QIR_LOG_I("conn(%s) receive GOAWAY frame(%d)...last stream(%d)", name_.c_str(),
                (int)_frame->goaway.error_code, _frame->goaway.last_stream_id);
      // nghttp2 closes the streams above last-stream-id with REFUSED_STREAM
      // right after this; what happens to the rest is decided once the
      // whole input has been read (AfterRecv).
      goawayCode_ = (int)_frame->goaway.error_code;
      goawayLastId_ = _frame->goaway.last_stream_id;
      goawayPending_ = true;
      CQIRLockGuard lock(mutexQ_);
      goaway_ = true;
      break;
    }
    case NGHTTP2_SETTINGS:
    case NGHTTP2_PING:
    case NGHTTP2_WINDOW_UPDATE:
      break;
    default:
      QIR_LOG_I("RECV FRAME[%d]...", _frame->hd.type);
      break;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Records and pools

QIR_ST_HTTP2_REQUEST* CQIRHttp2Request::TakeRequest() {
  CQIRLockGuard lock(mutexQ_);
  return requestPool_.Take();
}

void CQIRHttp2Request::ReleaseRequest(QIR_ST_HTTP2_REQUEST* _req) {
  CQIRLockGuard lock(mutexQ_);
  requestPool_.Give(_req);
}

QIR_ST_HTTP2_RESPONSE* CQIRHttp2Request::TakeResponse(int32_t _stream) {
  QIR_ST_HTTP2_RESPONSE* res = responsePool_.Take();
  if (res == nullptr) {
    QIR_LOG_E("conn(%s) response buffer full!...", name_.c_str());
    return nullptr;
  }
  res->hdr_.clear();
  res->streamId_ = _stream;
  res->messageId_ = 0;
  memcpy(res->rs_, "000", 4);
  res->payload_.size_ = 0;
  res->error_ = 0;
  res->outcome_ = QIR_HTTP2_OUTCOME_ANSWERED;
  res->cause_ = 0;
  return res;
}

void CQIRHttp2Request::ReleaseResponse(QIR_ST_HTTP2_RESPONSE* _res) { responsePool_.Give(_res); }

size_t CQIRHttp2Request::GetFreeRequestCount() {
  CQIRLockGuard lock(mutexQ_);
  return requestPool_.Available();
}

size_t CQIRHttp2Request::GetFreeResponseCount() { return responsePool_.Available(); }

void CQIRHttp2Request::LogPoolSizes() {
  CQIRLockGuard lock(mutexQ_);
  // What is neither free nor queued has been submitted; requestMap_ itself
  // belongs to the event thread.
  unsigned long freeCount = requestPool_.Available();
  unsigned long queued = requestList_.size();
  unsigned long submitted = options_.nMaxConcurrentStream_ - freeCount - queued;
  QIR_LOG_D("Pool : %lu,%lu,%lu", freeCount, submitted, queued);
}

// ---------------------------------------------------------------------------
// Requests

int CQIRHttp2Request::Request(QIR_ST_HTTP2_REQUEST* _req, bool _doRetry) {
  return FillRequest(_req->messageId_, _req->authority_, sizeof(_req->authority_),
                     _req->method_, sizeof(_req->method_), _req->path_, sizeof(_req->path_),
                     _req->hdr_, _req->payload_.size_, _req->payload_.data_, _doRetry);
}

int CQIRHttp2Request::Request(int32_t _messageId, const char* _authority, const char* _method,
                              const char* _path, const QIR_HTTP2_HEADER& _hdr,
                              size_t _payloadSize, const char* _payload, bool _doRetry) {
  return FillRequest(_messageId, _authority, (size_t)-1, _method, (size_t)-1, _path,
                     (size_t)-1, _hdr, _payloadSize, _payload, _doRetry);
}

// Queues one request; the _...Cap arguments bound the caller's text fields
// (its record's arrays, or unbounded C strings).
int CQIRHttp2Request::FillRequest(int32_t _messageId,
                                  const char* _authority, size_t _authorityCap,
                                  const char* _method, size_t _methodCap, const char* _path,
                                  size_t _pathCap, const QIR_HTTP2_HEADER& _hdr,
                                  size_t _payloadSize, const char* _payload, bool _doRetry) {
  {
    CQIRLockGuard lock(mutexQ_);
    if (total_request_count_ > kMaxRequestCount) {
      QIR_LOG_I("conn(%s) stream id full!...", name_.c_str());
      return -1;
    }
  }
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_CLOSE) return QIR_HTTP2_REQUEST_CLOSED;
  if (state == QIR_HTTP2_CONN_STATE_CLOSING) return Refuse(QIR_HTTP2_REQUEST_GOING_AWAY);

  // A text that does not fit its field would be cut into another request.
  QIR_ST_HTTP2_REQUEST* probe = nullptr;
  const char* authority = _authority != nullptr ? _authority : "";
  const char* method = _method != nullptr ? _method : "";
  const char* path = _path != nullptr ? _path : "";
  size_t authorityLen = strnlen(authority, _authorityCap);
  size_t methodLen = strnlen(method, _methodCap);
  size_t pathLen = strnlen(path, _pathCap);
  if (authorityLen >= sizeof(probe->authority_) || methodLen >= sizeof(probe->method_) ||
      pathLen >= sizeof(probe->path_) || (_payloadSize > 0 && _payload == nullptr)) {
    QIR_LOG_E("conn(%s) message(%d) invalid request field!...(authority=%zu,method=%zu,path=%zu)",
              name_.c_str(), _messageId, authorityLen, methodLen, pathLen);
    return QIR_HTTP2_REQUEST_INVALID;
  }
  // Refused here rather than at submission, where it used to take the whole
  // connection (and the requests queued with it) down.
  if (path[0] != '/') {
    QIR_LOG_E("HTTP resource path(%s) invalid!... must '/' begin...", path);
    return QIR_HTTP2_REQUEST_INVALID;
  }
  if (_payloadSize > options_.nMaxPayloadSize_) {
    QIR_LOG_E("conn(%s) message(%d) payload size(%lu-%u) overflow!...", name_.c_str(), _messageId,
              (unsigned long)_payloadSize, options_.nMaxPayloadSize_);
    return QIR_HTTP2_REQUEST_TOO_LARGE;
  }

  QIR_ST_HTTP2_REQUEST* rec = nullptr;
  if (!_doRetry) {
    rec = TakeRequest();
    if (rec == nullptr) return 0;
  } else {
    auto start = std::chrono::steady_clock::now();
    for (;;) {
      state = GetState();
      if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) {
        QIR_LOG_E("conn(%s) invalid state!...", name_.c_str());
        return QIR_HTTP2_REQUEST_CLOSED;
      }
      rec = TakeRequest();
      if (rec != nullptr) break;
      if (SecondsSince(start) > 1.0) {
        QIR_LOG_E("conn(%s) request pool full timeout!..", name_.c_str());
        LogPoolSizes();
        return -2;
      }
      usleep(100);
    }
  }

  rec->messageId_ = _messageId;
  memcpy(rec->authority_, authority, authorityLen);
  rec->authority_[authorityLen] = '\0';
  memcpy(rec->method_, method, methodLen);
  rec->method_[methodLen] = '\0';
  memcpy(rec->path_, path, pathLen);
  rec->path_[pathLen] = '\0';
  rec->hdr_ = _hdr;
  LowerNames(rec->hdr_);
  if (_payloadSize > 0) memcpy(rec->payload_.data_, _payload, _payloadSize);
  rec->payload_.size_ = _payloadSize;
  rec->payload_.rSize_ = 0;
  rec->streamId_ = 0;
  rec->startT_ = std::chrono::system_clock::now();

  CQIRLockGuard lock(mutexQ_);
  // Checked under the lock the GOAWAY handler takes: nothing is queued
  // behind a GOAWAY, where it would never be sent.
  if (goaway_) {
    requestPool_.Give(rec);
    return Refuse(QIR_HTTP2_REQUEST_GOING_AWAY);
  }
  requestList_.push_back(rec);
  ++total_request_count_;
  return QIR_HTTP2_REQUEST_QUEUED;
}

int CQIRHttp2Request::Refuse(int _code) {
  QIR_LOG_I("conn(%s) request refused(%d)...", name_.c_str(), _code);
  return _code;
}

int CQIRHttp2Request::PrepareRequest(QIR_ST_HTTP2_REQUEST* _req) {
  // The caller's own record (synchronous path) may hold anything; what
  // cannot be sent is refused, the connection goes on.
  if (!Terminated(_req->authority_, sizeof(_req->authority_)) ||
      !Terminated(_req->method_, sizeof(_req->method_)) ||
      !Terminated(_req->path_, sizeof(_req->path_)) ||
      (_req->payload_.size_ > 0 && _req->payload_.data_ == nullptr)) {
    QIR_LOG_E("conn(%s) message(%d) invalid request field!...", name_.c_str(), _req->messageId_);
    return QIR_HTTP2_REQUEST_INVALID;
  }
  if (_req->path_[0] != '/') {
    QIR_LOG_E("HTTP resource path(%s) invalid!... must '/' begin...", _req->path_);
    return QIR_HTTP2_REQUEST_INVALID;
  }
  if (_req->payload_.size_ > options_.nMaxPayloadSize_) {
    QIR_LOG_E("payload size(%lu-%u) overflow!...", (unsigned long)_req->payload_.size_,
              options_.nMaxPayloadSize_);
    return QIR_HTTP2_REQUEST_TOO_LARGE;
  }
  LowerNames(_req->hdr_);

  int n = 0;
  _req->hdrs_[n++] = make_nv_ls_nocopy(":scheme", scheme_);
  if (_req->authority_[0] != '\0') {
    _req->hdrs_[n++] = make_nv_lc_nocopy(":authority", _req->authority_);
  } else {
    _req->hdrs_[n++] = make_nv_ls_nocopy(":authority", authority_);
  }
  _req->hdrs_[n++] = make_nv_lc_nocopy(":path", _req->path_);
  _req->hdrs_[n++] = make_nv_lc_nocopy(":method", _req->method_);
  for (const auto& field : _req->hdr_) {
    if (n == QIR_HTTP2_MAX_NV) {
      QIR_LOG_W("too many http headers(%d,%s:%s)...ignore!", QIR_HTTP2_MAX_NV, field.first.c_str(),
                field.second.c_str());
      break;
    }
    _req->hdrs_[n++] = make_nv(field.first, field.second);
  }
  return n;
}

int CQIRHttp2Request::SendRequest(QIR_ST_HTTP2_REQUEST* _req) {
  int n = PrepareRequest(_req);
  if (n < 0) return n;
  int32_t id;
  if (_req->payload_.size_ > 0) {
    _req->payload_.rSize_ = 0;
    nghttp2_data_provider provider;
    provider.source.ptr = &_req->payload_;
    provider.read_callback = CQIRHttp2Session::ReadBody;
    id = nghttp2_submit_request(core_.Get(), nullptr, _req->hdrs_, (size_t)n, &provider, nullptr);
  } else {
    id = nghttp2_submit_request(core_.Get(), nullptr, _req->hdrs_, (size_t)n, nullptr, nullptr);
  }
  if (id < 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, id == NGHTTP2_ERR_STREAM_ID_NOT_AVAILABLE
                                             ? QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL
                                             : QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("http/2 conn(%s) nghttp2_submit_request() failed!...%s", name_.c_str(),
              nghttp2_strerror(id));
    return id;
  }
  _req->streamId_ = id;
  CQIRLockGuard lock(mutexQ_);
  last_send_stream_id_ = id;
  return id;
}

bool CQIRHttp2Request::SendRequestSync(QIR_ST_HTTP2_REQUEST* _req) { return SendRequest(_req) >= 0; }

// Submits every queued request in one pass, so that they leave together in
// the next Flush: one write for many requests instead of one each.
int CQIRHttp2Request::SendRequestAsync() {
  std::vector<QIR_ST_HTTP2_REQUEST*> batch;
  {
    CQIRLockGuard lock(mutexQ_);
    if (requestList_.empty()) return 0;
    if (goaway_) {
      // Never sent: refused, safe to retry elsewhere.
      unsent_.insert(unsent_.end(), requestList_.begin(), requestList_.end());
      requestList_.clear();
      return 0;
    }
    batch.swap(requestList_);
  }
  auto steadyNow = std::chrono::steady_clock::now();
  auto systemNow = std::chrono::system_clock::now();
  for (size_t i = 0; i < batch.size(); ++i) {
    QIR_ST_HTTP2_REQUEST* req = batch[i];
    if (SendRequest(req) < 0) {
      // The connection is closed with its cause; this request and those
      // behind it were never sent.
      CQIRLockGuard lock(mutexQ_);
      unsent_.insert(unsent_.end(), batch.begin() + (std::ptrdiff_t)i, batch.end());
      return -1;
    }
    // The record keeps wall-clock time for its owner; the time-out runs on
    // the steady clock from the same instant.
    auto queued = steadyNow - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  systemNow - req->startT_);
    timeoutMap_.emplace(SteadyNs(queued), req);
    requestMap_[req->streamId_] = req;
  }
  return 1;
}

bool CQIRHttp2Request::Request(QIR_ST_HTTP2_REQUEST* _req, QIR_ST_HTTP2_RESPONSE* _res,
                               size_t _capacity) {
  _res->messageId_ = _req->messageId_;
  _res->streamId_ = 0;
  int state = GetState();
  if (state != QIR_HTTP2_CONN_STATE_OPEN || core_.Get() == nullptr) {
    QIR_LOG_E("conn(%s) invalid state!...", name_.c_str());
    Notice(_res, QIR_HTTP2_OUTCOME_REFUSED,
           state == QIR_HTTP2_CONN_STATE_CLOSING ? QIR_HTTP2_REQUEST_GOING_AWAY
                                                 : QIR_HTTP2_REQUEST_CLOSED,
           state == QIR_HTTP2_CONN_STATE_CLOSE ? CloseCause() : 0);
    return false;
  }
  int id = SendRequest(_req);
  if (id < 0) {
    if (id >= QIR_HTTP2_REQUEST_GOING_AWAY) {
      Notice(_res, QIR_HTTP2_OUTCOME_REFUSED, id, 0);
    } else {
      Notice(_res, QIR_HTTP2_OUTCOME_FAILED, QIR_HTTP2_RESPONSE_ERROR_FAILED, CloseCause());
    }
    return false;
  }
  sync_stream_id_ = _req->streamId_;
  int rv = RecvResponseSync(_res, _capacity);
  // The caller takes its record back: nghttp2 must not read its body again.
  StopBody(_req->streamId_);
  sync_stream_id_ = 0;
  if (rv < 0) {
    int cause = CloseCause();
    if (cause == QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT) {
      Notice(_res, QIR_HTTP2_OUTCOME_TIMEOUT, QIR_HTTP2_RESPONSE_ERROR_TIMEOUT, cause);
    } else {
      Notice(_res, QIR_HTTP2_OUTCOME_FAILED, QIR_HTTP2_RESPONSE_ERROR_FAILED, cause);
    }
    _res->streamId_ = _req->streamId_;
    return false;
  }
  CQIRLockGuard lock(mutexQ_);
  ++total_request_count_;
  return true;
}

void CQIRHttp2Request::StopBody(int32_t _stream) {
  nghttp2_session* session = core_.Get();
  if (session != nullptr && nghttp2_session_get_stream_local_close(session, _stream) == 0) {
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, _stream, NGHTTP2_CANCEL);
  }
}

// ---------------------------------------------------------------------------
// Responses

bool CQIRHttp2Request::IsAwaited(int32_t _stream) const {
  return (_stream != 0 && _stream == sync_stream_id_) || requestMap_.count(_stream) != 0;
}

bool CQIRHttp2Request::InsertRecv(int32_t _stream) {
  QIR_ST_HTTP2_RESPONSE* res = TakeResponse(_stream);
  if (res == nullptr) return false;
  memset(res->rs_, 0, sizeof(res->rs_));
  if (!responseMap_.emplace(_stream, res).second) {
    QIR_LOG_E("conn(%s) stream_id(%d) duplicate...", name_.c_str(), _stream);
    ReleaseResponse(res);
  }
  return true;
}

bool CQIRHttp2Request::UpdateHdrRecv(int32_t _stream, const char* _name, size_t _nameLen,
                                     const char* _value, size_t _valueLen) {
  auto it = responseMap_.find(_stream);
  if (it == responseMap_.end()) {
    QIR_LOG_E("stream_id(%d) not found...", _stream);
    return false;
  }
  QIR_ST_HTTP2_RESPONSE* res = it->second;
  if (_nameLen == 7 && memcmp(_name, ":status", 7) == 0) {
    size_t n = _valueLen < 3 ? _valueLen : 3;
    memcpy(res->rs_, _value, n);
    res->rs_[n] = '\0';
  } else {
    res->hdr_.emplace_back(std::string(_name, _nameLen), std::string(_value, _valueLen));
  }
  return true;
}

bool CQIRHttp2Request::UpdatePayloadRecv(int32_t _stream, const char* _data, size_t _length) {
  auto it = responseMap_.find(_stream);
  if (it == responseMap_.end()) {
    QIR_LOG_E("stream_id(%d) not found...", _stream);
    return false;
  }
  QIR_ST_HTTP2_RESPONSE* res = it->second;
  // Past the first chunk that does not fit nothing is appended: the body
  // stays a prefix of what was sent.
  if (res->error_ == QIR_HTTP2_RESPONSE_ERROR_OVERFLOW) return true;
  if (res->payload_.size_ + _length <= options_.nMaxPayloadSize_) {
    memcpy(res->payload_.data_ + res->payload_.size_, _data, _length);
    res->payload_.size_ += _length;
  } else {
    QIR_LOG_E("conn(%s) payload buffer overflow!...", name_.c_str());
    memcpy(res->rs_, "000", 4);
    res->error_ = QIR_HTTP2_RESPONSE_ERROR_OVERFLOW;
  }
  return true;
}

bool CQIRHttp2Request::OnResponseRecv(int32_t _stream) {
  auto it = responseMap_.find(_stream);
  if (it == responseMap_.end()) {
    QIR_LOG_E("stream_id(%d) not found...", _stream);
    return false;
  }
  QIR_ST_HTTP2_RESPONSE* res = it->second;
  responseMap_.erase(it);
  if (!IsAwaited(_stream)) {
    // The answer to the upgrade request (stream 1), or to a request that
    // has already been given its time-out notice.
    QIR_LOG_I("conn(%s) stream(%d) response(%s) dropped, no request waits for it...",
              name_.c_str(), _stream, res->rs_);
    ReleaseResponse(res);
    return true;
  }
  responseList_.push_back(res);
  return true;
}

bool CQIRHttp2Request::RSTRecv(int32_t _stream, int _code) {
  // The stream's close (CloseRecv) hands out the notice, as for every
  // other way a stream ends without its answer.
  QIR_LOG_I("conn(%s) received RST_STREAM frame! stream_id(%d) cause(%d)", name_.c_str(),
            _stream, _code);
  return true;
}

bool CQIRHttp2Request::HasNotice(int32_t _stream) const {
  // The newest first: a stream closes right after its answer completed.
  for (auto it = responseList_.rbegin(); it != responseList_.rend(); ++it) {
    if ((*it)->streamId_ == _stream) return true;
  }
  return false;
}

void CQIRHttp2Request::CloseRecv(int32_t _stream, uint32_t _code) {
  // A stream that ends without END_STREAM (a reset by the peer or the
  // library, a refusal by GOAWAY, our own CANCEL) leaves its partial
  // response here; one that is still awaited gets its notice now.
  QIR_ST_HTTP2_RESPONSE* res = nullptr;
  auto it = responseMap_.find(_stream);
  if (it != responseMap_.end()) {
    res = it->second;
    responseMap_.erase(it);
  }
  if (!IsAwaited(_stream) || HasNotice(_stream)) {
    if (res != nullptr) ReleaseResponse(res);
    return;
  }
  if (res == nullptr) res = responsePool_.Take(true);
  if (res == nullptr) {
    QIR_LOG_E("conn(%s) response buffer full!...", name_.c_str());
    return;  // the request ends with its time-out instead
  }
  res->streamId_ = _stream;
  Notice(res,
         _code == NGHTTP2_REFUSED_STREAM ? QIR_HTTP2_OUTCOME_REFUSED : QIR_HTTP2_OUTCOME_RESET,
         (int)_code, 0);
  responseList_.push_back(res);
}

int CQIRHttp2Request::GetResponse(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity,
                                  int32_t _stream) {
  for (auto it = responseList_.begin(); it != responseList_.end();) {
    QIR_ST_HTTP2_RESPONSE* rec = *it;
    if (!IsAwaited(rec->streamId_)) {
      QIR_LOG_I("conn(%s) stream(%d) response(%s) dropped, no request waits for it...",
                name_.c_str(), rec->streamId_, rec->rs_);
      it = responseList_.erase(it);
      ReleaseResponse(rec);
      continue;
    }
    if (_stream != 0 && rec->streamId_ != _stream) {
      ++it;
      continue;
    }
    responseList_.erase(it);

    _res->streamId_ = rec->streamId_;
    auto req = requestMap_.find(rec->streamId_);
    if (req != requestMap_.end()) {
      QIR_ST_HTTP2_REQUEST* r = req->second;
      requestMap_.erase(req);
      DeleteTimeout(r);
      _res->messageId_ = r->messageId_;
      StopBody(r->streamId_);
      ReleaseRequest(r);
    }
    memcpy(_res->rs_, rec->rs_, sizeof(_res->rs_));
    _res->hdr_.swap(rec->hdr_);
    _res->error_ = rec->error_;
    _res->outcome_ = rec->outcome_;
    _res->cause_ = rec->cause_;
    size_t cap = _capacity != 0 ? _capacity : options_.nMaxPayloadSize_;
    if (_res->payload_.data_ == nullptr) cap = 0;
    size_t n = rec->payload_.size_ < cap ? rec->payload_.size_ : cap;
    if (n > 0) memcpy(_res->payload_.data_, rec->payload_.data_, n);
    _res->payload_.size_ = n;
    if (n < rec->payload_.size_) {
      QIR_LOG_E("conn(%s) stream(%d) response body(%lu) larger than the receive buffer(%lu)!...",
                name_.c_str(), rec->streamId_, (unsigned long)rec->payload_.size_,
                (unsigned long)cap);
      memcpy(_res->rs_, "000", 4);
      _res->error_ = QIR_HTTP2_RESPONSE_ERROR_OVERFLOW;
    }
    {
      CQIRLockGuard lock(mutexQ_);
      last_recv_stream_id_ = rec->streamId_;
    }
    ReleaseResponse(rec);
    return 1;
  }
  return _stream == 0 ? HandOutUnsent(_res) : 0;
}

int CQIRHttp2Request::HandOutUnsent(QIR_ST_HTTP2_RESPONSE* _res) {
  if (unsent_.empty()) return 0;
  QIR_ST_HTTP2_REQUEST* req = unsent_.front();
  unsent_.erase(unsent_.begin());
  _res->messageId_ = req->messageId_;
  _res->streamId_ = 0;
  int state = GetState();
  Notice(_res, QIR_HTTP2_OUTCOME_REFUSED, NGHTTP2_REFUSED_STREAM,
         state == QIR_HTTP2_CONN_STATE_CLOSE ? CloseCause() : 0);
  ReleaseRequest(req);
  return 1;
}

int CQIRHttp2Request::CloseCause() {
  if (GetState() != QIR_HTTP2_CONN_STATE_CLOSE) return QIR_HTTP2_CONN_CLOSE_CAUSE_NONE;
  return GetStateCause();
}

bool CQIRHttp2Request::HasOpenRequests() const {
  if (sync_stream_id_ != 0 && !HasNotice(sync_stream_id_)) return true;
  for (const auto& entry : requestMap_) {
    if (!HasNotice(entry.first)) return true;
  }
  return false;
}

void CQIRHttp2Request::AfterRecv(bool _ok) {
  // A read that found the connection closed is the peer's doing, not an
  // engine error; so is, after the peer's GOAWAY, a failed transport or the
  // session ending because nothing is left to do.
  int lib = core_.LastLibError();
  if (!_ok && GetStateCause() == QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR &&
      (lib == NGHTTP2_ERR_EOF ||
       (goawayCode_ >= 0 && (lib == 0 || lib == NGHTTP2_ERR_CALLBACK_FAILURE)))) {
    core_.SetCloseCause(QIR_HTTP2_CONN_CLOSE_CAUSE_PEER);
  }
  if (goawayPending_) {
    goawayPending_ = false;
    OnGoaway();
  }
  // The last stream a graceful GOAWAY let run has its outcome.
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSING && !HasOpenRequests()) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PEER);
  }
}

// The session core closed the connection on the GOAWAY. A graceful one
// (NO_ERROR) lets the streams at or below last-stream-id run to their
// answers while the connection reads "closing"; those above it nghttp2 has
// already closed with REFUSED_STREAM. Queued requests are never sent.
void CQIRHttp2Request::OnGoaway() {
  {
    CQIRLockGuard lock(mutexQ_);
    unsent_.insert(unsent_.end(), requestList_.begin(), requestList_.end());
    requestList_.clear();
  }
  if (goawayCode_ == NGHTTP2_NO_ERROR && core_.LastLibError() == 0 && core_.Get() != nullptr &&
      GetState() == QIR_HTTP2_CONN_STATE_CLOSE &&
      GetStateCause() == QIR_HTTP2_CONN_CLOSE_CAUSE_PEER && HasOpenRequests()) {
    QIR_LOG_I("conn(%s) closing...streams up to %d run to their answers", name_.c_str(),
              goawayLastId_);
    SetState(QIR_HTTP2_CONN_STATE_CLOSING, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  }
}

// Closed: what is queued was never sent (refused, safe to retry); what is
// in flight without an outcome has failed with the close cause. Answers
// that completed before the close keep their place in the list.
void CQIRHttp2Request::FailPending(int _cause) {
  {
    CQIRLockGuard lock(mutexQ_);
    unsent_.insert(unsent_.end(), requestList_.begin(), requestList_.end());
    requestList_.clear();
  }
  if (failed_) return;
  failed_ = true;
  for (auto& entry : responseMap_) ReleaseResponse(entry.second);
  responseMap_.clear();
  const int cause = _cause;
  for (const auto& entry : requestMap_) {
    if (HasNotice(entry.first)) continue;
    QIR_ST_HTTP2_RESPONSE* res = responsePool_.Take(true);
    if (res == nullptr) {
      QIR_LOG_E("conn(%s) response buffer full!...", name_.c_str());
      continue;
    }
    res->streamId_ = entry.first;
    Notice(res, QIR_HTTP2_OUTCOME_FAILED, QIR_HTTP2_RESPONSE_ERROR_FAILED, cause);
    responseList_.push_back(res);
  }
  if (!requestMap_.empty() || !unsent_.empty()) {
    QIR_LOG_I("conn(%s) closed(%s)...%zu requests in flight failed, %zu never sent",
              name_.c_str(), QIR_HTTP2_GET_ERROR_MSG(cause), requestMap_.size(), unsent_.size());
  }
}

// The caller stops this connection: what it has not collected stays owed.
// Answers already in keep their bodies; requests in flight fail with the
// close cause (self, when the connection was still open); queued ones are
// refused. The records go back to their pools, so a reconnect starts full.
void CQIRHttp2Request::Settle() {
  bool owed;
  {
    CQIRLockGuard lock(mutexQ_);
    owed = !requestList_.empty();
  }
  owed = owed || !requestMap_.empty() || !responseList_.empty() || !unsent_.empty();
  if (!owed) return;
  const bool open = GetState() != QIR_HTTP2_CONN_STATE_CLOSE;
  const int cause = open ? QIR_HTTP2_CONN_CLOSE_CAUSE_SELF : GetStateCause();
  FailPending(cause);
  std::string body(options_.nMaxPayloadSize_, '\0');
  QIR_ST_HTTP2_RESPONSE res;
  res.payload_.data_ = &body[0];
  while (GetResponse(&res, body.size()) == 1) {
    Settled s;
    s.messageId = res.messageId_;
    s.streamId = res.streamId_;
    memcpy(s.rs, res.rs_, sizeof(s.rs));
    s.hdr.swap(res.hdr_);
    s.body.assign(res.payload_.data_, res.payload_.size_);
    s.error = res.error_;
    s.outcome = res.outcome_;
    s.cause = res.outcome_ == QIR_HTTP2_OUTCOME_REFUSED && res.cause_ == 0 ? cause : res.cause_;
    settled_.push_back(std::move(s));
  }
  failed_ = false;
  settledCount_.store(static_cast<int>(settled_.size()));
  QIR_LOG_I("conn(%s) disconnect...%zu outcomes kept for Response", name_.c_str(),
            settled_.size());
}

int CQIRHttp2Request::HandOutSettled(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity) {
  Settled& s = settled_.front();
  _res->messageId_ = s.messageId;
  _res->streamId_ = s.streamId;
  memcpy(_res->rs_, s.rs, sizeof(_res->rs_));
  _res->hdr_.swap(s.hdr);
  _res->error_ = s.error;
  _res->outcome_ = s.outcome;
  _res->cause_ = s.cause;
  size_t cap = _capacity != 0 ? _capacity : options_.nMaxPayloadSize_;
  if (_res->payload_.data_ == nullptr) cap = 0;
  size_t n = s.body.size() < cap ? s.body.size() : cap;
  if (n > 0) memcpy(_res->payload_.data_, s.body.data(), n);
  _res->payload_.size_ = n;
  if (n < s.body.size()) {
    memcpy(_res->rs_, "000", 4);
    _res->error_ = QIR_HTTP2_RESPONSE_ERROR_OVERFLOW;
  }
  settled_.pop_front();
  settledCount_.store(static_cast<int>(settled_.size()));
  return 1;
}

void CQIRHttp2Request::DeleteTimeout(QIR_ST_HTTP2_REQUEST* _req) {
  for (auto it = timeoutMap_.begin(); it != timeoutMap_.end(); ++it) {
    if (it->second == _req) {
      timeoutMap_.erase(it);
      return;
    }
  }
  QIR_LOG_W("conn(%s) time-out map search failed!...", name_.c_str());
}

int CQIRHttp2Request::GetTimeout(QIR_ST_HTTP2_RESPONSE* _res) {
  if (timeoutMap_.empty()) return 0;
  auto it = timeoutMap_.begin();
  QIR_ST_HTTP2_REQUEST* req = it->second;
  double waited =
      (SteadyNs(std::chrono::steady_clock::now()) - it->first) / 1e9;
  if (waited < (double)options_.nTimeout_) return 0;

  QIR_LOG_I("conn(%s) message(%d) response timeout!...%lf second", name_.c_str(), req->messageId_,
            waited);
  timeoutMap_.erase(it);
  int rv =
      nghttp2_submit_rst_stream(core_.Get(), NGHTTP2_FLAG_NONE, req->streamId_, NGHTTP2_CANCEL);
  if (rv != 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_submit_rst_stream() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    requestMap_.erase(req->streamId_);
    ReleaseRequest(req);
    return -1;
  }
  if (requestMap_.erase(req->streamId_) == 0) {
    QIR_LOG_W("conn(%s) stream(%d) not found!...", name_.c_str(), req->streamId_);
  }
  _res->messageId_ = req->messageId_;
  _res->streamId_ = req->streamId_;
  // Marked as a time-out: left alone, the record kept the outcome of
  // whatever it carried before, and a fresh one read as answered.
  Notice(_res, QIR_HTTP2_OUTCOME_TIMEOUT, QIR_HTTP2_RESPONSE_ERROR_TIMEOUT, 0);
  ReleaseRequest(req);
  return 1;
}

// ---------------------------------------------------------------------------
// Event driving

int CQIRHttp2Request::WaitEvent(int _timeoutMs) {
  int n = core_.WaitEvent(_timeoutMs);
  if (n < 0 || (n == 1 && !ProcEvent())) return -1;
  return 0;
}

int CQIRHttp2Request::ProcEventPre() {
  if (core_.Get() == nullptr || !IsValid()) return -1;
  int rv = SendRequestAsync();
  if (rv < 0) return rv;
  // Flushed even with nothing submitted: resets and window updates wait here.
  if (!Flush()) return -1;
  return rv;
}

bool CQIRHttp2Request::ProcEvent() {
  AfterRecv(core_.Recv());
  return GetState() != QIR_HTTP2_CONN_STATE_CLOSE;
}

int CQIRHttp2Request::GetEvent() {
  if (core_.Get() == nullptr || !Flush()) return -1;
  return WaitEvent(10);
}

int CQIRHttp2Request::RecvResponseSync(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity) {
  auto start = std::chrono::steady_clock::now();
  if (!Flush()) return -1;
  for (;;) {
    if (SecondsSince(start) > (double)options_.nTimeout_) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT);
      QIR_LOG_E("conn(%s) event wait timeout!...", name_.c_str());
      return -1;
    }
    int rv = WaitEvent(10);
    // An answer that arrived together with the frame that closed the
    // connection (a GOAWAY) is still handed out.
    if (GetResponse(_res, _capacity, sync_stream_id_) == 1) return 1;
    // Keeps a request body that did not fit the socket moving.
    if (rv < 0 || !Flush()) {
      // A fatal session error ends the wait at once, saying why.
      core_.LogClosed("request failed");
      return -1;
    }
  }
}

int CQIRHttp2Request::RecvResponseAsync(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity) {
  if (ProcEventPre() == -1) {
    if (GetState() != QIR_HTTP2_CONN_STATE_CLOSE) return -1;
    FailPending(CloseCause());
    return _res != nullptr && GetResponse(_res, _capacity) == 1 ? 1 : -1;
  }
  int timeoutMs;
  {
    CQIRLockGuard lock(mutexQ_);
    timeoutMs = requestList_.empty() ? 10 : 0;
  }
  if (WaitEvent(timeoutMs) < 0) {
    if (GetState() != QIR_HTTP2_CONN_STATE_CLOSE) return -1;
    FailPending(CloseCause());
    return _res != nullptr && GetResponse(_res, _capacity) == 1 ? 1 : -1;
  }
  if (_res == nullptr) return 0;
  int rv = GetTimeout(_res);
  if (rv != 0) return rv;
  return GetResponse(_res, _capacity);
}

int CQIRHttp2Request::Response(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity) {
  // What an earlier connection owed comes before anything of this one.
  if (_res != nullptr && !settled_.empty()) return HandOutSettled(_res, _capacity);
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_CLOSING && !HasOpenRequests()) {
    // The last request a graceful GOAWAY let run has ended (its time-out).
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PEER);
    state = QIR_HTTP2_CONN_STATE_CLOSE;
  }
  if (state == QIR_HTTP2_CONN_STATE_CLOSE) {
    // Every pending request's outcome first, then -1.
    FailPending(CloseCause());
    return _res != nullptr && GetResponse(_res, _capacity) == 1 ? 1 : -1;
  }
  if (state == QIR_HTTP2_CONN_STATE_INIT || core_.Get() == nullptr) return -1;
  if (_res != nullptr) {
    int rv = GetResponse(_res, _capacity);
    if (rv == 1 || isEvent_) return rv;
  } else if (isEvent_) {
    return 0;
  }
  return RecvResponseAsync(_res, _capacity);
}

// ---------------------------------------------------------------------------
// Counters and queries

bool CQIRHttp2Request::IsStreamFull() {
  CQIRLockGuard lock(mutexQ_);
  return total_request_count_ > kMaxRequestCount - 1;
}

void CQIRHttp2Request::SetStreamID(int32_t _id) {
  if (core_.Get() == nullptr) return;
  nghttp2_session_set_next_stream_id(core_.Get(), _id);
  CQIRLockGuard lock(mutexQ_);
  total_request_count_ = _id / 2;
}

bool CQIRHttp2Request::IsComplete() {
  CQIRLockGuard lock(mutexQ_);
  return last_send_stream_id_ == last_recv_stream_id_;
}

// Requests accepted whose outcome has not been handed out yet, in any state:
// a closed connection still owes them theirs.
int CQIRHttp2Request::GetIncompleteCount() {
  CQIRLockGuard lock(mutexQ_);
  return (int)options_.nMaxConcurrentStream_ - (int)requestPool_.Available() +
         settledCount_.load();
}

bool CQIRHttp2Request::IsSendDataExist() {
  CQIRLockGuard lock(mutexQ_);
  return !requestList_.empty();
}
