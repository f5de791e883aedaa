#include "CQIRHttp2Session.h"

#include <errno.h>
#include <malloc.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>

#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"
#include "QIRHttp2Option.h"

namespace {

// Limits on what a peer can make nghttp2 do for it; nghttp2's own defaults,
// spelled out so that a library built otherwise cannot loosen them.
const size_t kMaxSettingsEntries = 32;       // entries of one SETTINGS frame
const size_t kMaxOutboundAck = 1000;         // queued PING/SETTINGS answers a non-reader builds up
const uint64_t kResetBurst = 1000;           // peer resets tolerated at once ...
const uint64_t kResetRate = 33;              // ... and per second afterwards
const size_t kMaxContinuations = 8;          // CONTINUATION frames of one header block
// Output gathered before one write. A drained buffer that grew past twice
// this is given back, so a connection past a burst keeps little.
const size_t kOutGather = 64 * 1024;
// A connection with nothing to write for this many passes in a row gives
// back an output buffer larger than kOutKeep and its idle records but a
// few: an idle connection past a burst then costs about what one that never
// had one does.
const int kQuietPasses = 16;
const size_t kOutKeep = 16 * 1024;

double SecondsSince(std::chrono::steady_clock::time_point _t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - _t).count();
}

// The GOAWAY code that tells the peer why a receive failed.
uint32_t GoawayCode(int _libError) {
  switch (_libError) {
    case NGHTTP2_ERR_HEADER_COMP:
      return NGHTTP2_COMPRESSION_ERROR;
    case NGHTTP2_ERR_FLOW_CONTROL:
      return NGHTTP2_FLOW_CONTROL_ERROR;
    case NGHTTP2_ERR_FLOODED:
      return NGHTTP2_ENHANCE_YOUR_CALM;
    case NGHTTP2_ERR_PROTO:
    case NGHTTP2_ERR_BAD_CLIENT_MAGIC:
    case NGHTTP2_ERR_SETTINGS_EXPECTED:
    case NGHTTP2_ERR_FRAME_SIZE_ERROR:
      return NGHTTP2_PROTOCOL_ERROR;
    default:
      return NGHTTP2_INTERNAL_ERROR;
  }
}

}  // namespace

CQIRHttp2Session::CQIRHttp2Session()
    : name_("undefined"),
      options_(),
      server_(false),
      handler_(nullptr),
      fd_(-1),
      epfd_(-1),
      session_(nullptr),
      outSent_(0),
      recvEmptied_(false),
      recvError_(false),
      quietPasses_(0),
      state_(QIR_HTTP2_CONN_STATE_INIT),
      cause_(QIR_HTTP2_CONN_CLOSE_CAUSE_NONE),
      lastLibError_(0),
      hdrStream_(0),
      hdrBytes_(0),
      hdrFields_(0),
      pingSendTime_(Clock::now()),
      lastRecvTime_(pingSendTime_),
      pingSent_(false),
      pingAcked_(false) {}

CQIRHttp2Session::~CQIRHttp2Session() {
  if (session_ != nullptr) nghttp2_session_del(session_);
  Release();
}

void CQIRHttp2Session::SetOptions(const QIR_ST_HTTP2_OPTIONS* _options) {
  if (_options != nullptr) options_ = *_options;
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&options_);
}

bool CQIRHttp2Session::Attach(int _fd, SSL_CTX* _ctx, int _sslMode, bool _ownEvent, SSL* _ssl,
                              int _handshakeMs) {
  fd_ = _fd;
  transport_.SetName(name_.c_str());
  // A handshake finished elsewhere is adopted before anything can fail, so
  // the TLS session is never leaked.
  if (_ssl != nullptr && !transport_.AdoptSSL(fd_, _ssl)) return false;
  if (_ownEvent) {
    epfd_ = epoll_create(1);
    if (epfd_ < 0) {
      QIR_LOG_I("[%d-%s]epoll_create() system call error.", errno, strerror(errno));
      return false;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN | EPOLLERR;
    ev.data.fd = fd_;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd_, &ev) != 0) {
      QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
      return false;
    }
  }
  if (_ssl == nullptr && !transport_.SetFD(fd_, _ctx, _sslMode, _handshakeMs)) return false;
  // A blocking socket would stall the thread that drives the session.
  if (!CQIRSocketNew::SET_NONBLOCK(fd_)) return false;
  CQIRSocketNew::SET_NODELAY(fd_);
  return true;
}

int CQIRHttp2Session::WaitEvent(int _timeoutMs) {
  struct epoll_event ev;
  int n;
  do {
    n = epoll_wait(epfd_, &ev, 1, _timeoutMs);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    QIR_LOG_I("[%d-%s]epoll_wait() failed!...%d %d", errno, strerror(errno), epfd_, fd_);
    return -1;
  }
  if (n == 0 || ev.data.fd != fd_) return 0;
  if (ev.events & EPOLLERR) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR);
    QIR_LOG_E("conn(%s) event error dispatch!...", name_.c_str());
    return -1;
  }
  return (ev.events & (EPOLLIN | EPOLLOUT | EPOLLHUP)) ? 1 : 0;
}

bool CQIRHttp2Session::Create(bool _server, CQIRHttp2SessionHandler* _handler) {
  server_ = _server;
  handler_ = _handler;
  if (G_QIR_HTTP2_DETAIL_LOG) {
    QIR_LOG_I("conn(%s) http/2 options...", name_.c_str());
    QIR_LOG_I(" -MAX CONCURRENT STREAM =  %7d", static_cast<int>(options_.nMaxConcurrentStream_));
    QIR_LOG_I(" -MAX PAYLOAD SIZE      =  %7d", static_cast<int>(options_.nMaxPayloadSize_));
    QIR_LOG_I(" -DEFAULT WINDOW SIZE   =  %7d", static_cast<int>(options_.nDefaultWindowSize_));
    QIR_LOG_I(" -DEFAULT FRAME SIZE    =  %7d", static_cast<int>(options_.nDefaultFrameSize_));
    QIR_LOG_I(" -HEADER TABLE SIZE     =  %7d", static_cast<int>(options_.nMaxHeaderTableSize_));
    QIR_LOG_I(" -USING SERVER PUSH     =  %7s", options_.nPushEnable_ ? "true" : "false");
    QIR_LOG_I(" -RESPONSE TIMEOUT      =  %7d", static_cast<int>(options_.nTimeout_));
  }
  nghttp2_option* option = nullptr;
  nghttp2_session_callbacks* cbs = nullptr;
  int rv = nghttp2_option_new(&option);
  if (rv == 0) rv = nghttp2_session_callbacks_new(&cbs);
  if (rv == 0) {
    nghttp2_option_set_peer_max_concurrent_streams(option, options_.nMaxConcurrentStream_);
    nghttp2_option_set_max_settings(option, kMaxSettingsEntries);
    nghttp2_option_set_max_outbound_ack(option, kMaxOutboundAck);
    nghttp2_option_set_stream_reset_rate_limit(option, kResetBurst, kResetRate);
    nghttp2_option_set_max_continuations(option, kMaxContinuations);

    nghttp2_session_callbacks_set_recv_callback(cbs, RecvCallback);
    nghttp2_session_callbacks_set_send_data_callback(cbs, SendBody);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cbs, OnFrameRecvCallback);
    nghttp2_session_callbacks_set_on_frame_send_callback(cbs, OnFrameSendCallback);
    nghttp2_session_callbacks_set_on_stream_close_callback(cbs, OnStreamCloseCallback);
    nghttp2_session_callbacks_set_on_begin_headers_callback(cbs, OnBeginHeadersCallback);
    nghttp2_session_callbacks_set_on_header_callback(cbs, OnHeaderCallback);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cbs, OnDataChunkRecvCallback);
    nghttp2_session_callbacks_set_on_invalid_header_callback2(cbs, OnInvalidHeaderCallback);
    nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(cbs, OnInvalidFrameRecvCallback);
    nghttp2_session_callbacks_set_error_callback2(cbs, ErrorCallback);
    nghttp2_session_callbacks_set_on_frame_not_send_callback(cbs, OnFrameNotSendCallback);
    rv = _server ? nghttp2_session_server_new2(&session_, cbs, this, option)
                 : nghttp2_session_client_new2(&session_, cbs, this, option);
  }
  nghttp2_session_callbacks_del(cbs);
  nghttp2_option_del(option);
  if (rv != 0) {
    session_ = nullptr;
    QIR_LOG_E("conn(%s) nghttp2_session_%s_new2() failed!...%s", name_.c_str(),
              _server ? "server" : "client", nghttp2_strerror(rv));
    return false;
  }
  return true;
}

bool CQIRHttp2Session::SubmitSettings(bool _withPush, bool _fifo) {
  // The table size is announced even at its default: the peer's encoder
  // must not count on more.
  nghttp2_settings_entry iv[7] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, options_.nMaxConcurrentStream_},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, options_.nDefaultWindowSize_},
      {NGHTTP2_SETTINGS_MAX_FRAME_SIZE, options_.nDefaultFrameSize_},
      {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, options_.nMaxHeaderTableSize_},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, options_.nMaxHeaderListSize_}};
  size_t n = 5;
  if (_withPush) iv[n++] = {NGHTTP2_SETTINGS_ENABLE_PUSH, options_.nPushEnable_};
  if (_fifo) iv[n++] = {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1};
  int rv = nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, iv, n);
  if (rv != 0) {
    QIR_LOG_E("conn(%s) nghttp2_submit_settings() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return false;
  }
  return true;
}

bool CQIRHttp2Session::SetLocalWindow() {
  if (options_.nLocalWindowSize_ == 0) return true;
  int rv = nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, 0,
                                                 static_cast<int32_t>(options_.nLocalWindowSize_));
  if (rv != 0) {
    QIR_LOG_E("conn(%s) nghttp2_session_set_local_window_size() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return false;
  }
  return true;
}

void CQIRHttp2Session::Opened() {
  SetState(QIR_HTTP2_CONN_STATE_OPEN, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  lastRecvTime_ = Clock::now();
  // A PING of a previous connection must not count against this one.
  pingSent_ = false;
  pingAcked_ = false;
  out_.clear();
  outSent_ = 0;
  lastError_.clear();
  lastLibError_ = 0;
  hdrStream_ = 0;
  QIR_LOG_I("conn(%s) http session initialized...", name_.c_str());
}

void CQIRHttp2Session::Fail(int _cause, const char* _call, int _rv) {
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return;
  SetState(QIR_HTTP2_CONN_STATE_CLOSE, _cause);
  if (lastError_.empty()) lastError_ = nghttp2_strerror(_rv);
  QIR_LOG_E("conn(%s) %s failed...%s", name_.c_str(), _call, nghttp2_strerror(_rv));
}

bool CQIRHttp2Session::Flush() {
  int rv = Drain();
  if (rv == 0) return true;
  Fail(QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR, "nghttp2_session_send()", rv);
  return false;
}

// One write per pass instead of one per frame: a response's HEADERS and
// DATA, and the answers of every stream ready now, leave together. The
// loop ends when nghttp2 has nothing more or the socket is full.
int CQIRHttp2Session::Drain() {
  if (session_ == nullptr) return 0;
  for (;;) {
    if (outSent_ < out_.size()) {
      const char* rest = reinterpret_cast<const char*>(out_.data() + outSent_);
      int n = write(rest, out_.size() - outSent_);
      if (n < -1) return NGHTTP2_ERR_CALLBACK_FAILURE;
      if (n > 0) outSent_ += static_cast<size_t>(n);
      if (n > 0 && server_) CQIRHTTP2SRVMetrics::Add(CQIRHTTP2SRVMetrics::QIR_M_BYTES_SENT, n);
      if (outSent_ < out_.size()) return 0;  // the rest when the socket has room
    }
    out_.clear();
    outSent_ = 0;
    quietPasses_ = 0;
    while (out_.size() < kOutGather) {
      const uint8_t* data = nullptr;
      ssize_t n = nghttp2_session_mem_send(session_, &data);
      if (n < 0) return static_cast<int>(n);
      if (n == 0) break;
      out_.insert(out_.end(), data, data + n);
    }
    if (out_.empty()) {
      if (out_.capacity() > 2 * kOutGather) std::vector<uint8_t>().swap(out_);
      return 0;
    }
  }
}

bool CQIRHttp2Session::Quiet(bool _now) {
  if (!_now && ++quietPasses_ < kQuietPasses) return false;
  quietPasses_ = 0;
  if (out_.capacity() > kOutKeep) {
    std::vector<uint8_t>().swap(out_);
    outSent_ = 0;
  }
  return true;
}

namespace {
// Memory freed while connections keep coming and going is taken again within
// moments: giving it back every second only to fault it in again cost about
// twenty page faults per new TLS connection under steady churn. It goes back
// after a second in which little was freed, and at the latest kTrimHoldMs
// after it was freed.
constexpr uint32_t kBusyNotes = 64;     // notes in a second that mean churn
constexpr int64_t kTrimHoldMs = 10000;

std::atomic<bool> g_freedPending(false);   // freed since the last trim
std::atomic<int64_t> g_pendingSinceMs(0);  // steady clock: the first such note
std::atomic<uint32_t> g_notes(0);          // notes since the last look
std::atomic<int64_t> g_lastLookMs(0);      // steady clock

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

void CQIRHttp2Session::NoteFreedMemory() {
  g_notes.fetch_add(1, std::memory_order_relaxed);
  if (!g_freedPending.exchange(true)) g_pendingSinceMs.store(SteadyMs());
}

void CQIRHttp2Session::GiveBackMemory() {
  if (!g_freedPending.load()) return;
  const int64_t now = SteadyMs();
  int64_t before = g_lastLookMs.load();
  if (now - before < 1000 || !g_lastLookMs.compare_exchange_strong(before, now)) return;
  const uint32_t notes = g_notes.exchange(0, std::memory_order_relaxed);
  if (notes >= kBusyNotes && now - g_pendingSinceMs.load() < kTrimHoldMs) return;
  g_freedPending.store(false);
  malloc_trim(0);
}

bool CQIRHttp2Session::Ended() const {
  return session_ == nullptr ||
         (nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0 &&
          outSent_ >= out_.size());
}

bool CQIRHttp2Session::Recv(bool _flush) {
  if (session_ == nullptr) return false;
  recvEmptied_ = false;
  recvError_ = false;
  int rv = nghttp2_session_recv(session_);
  if (rv != 0) {
    lastLibError_ = rv;
    Fail(QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR, "nghttp2_session_recv()", rv);
    return false;
  }
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return false;
  // After an error nghttp2 may be ending the session: its GOAWAY goes out
  // now, and the end is seen here.
  if (!_flush && !recvError_ && nghttp2_session_want_read(session_) != 0) return true;
  if (!Flush()) return false;
  if (Ended()) {
    // nghttp2 ended the session on a protocol error and its GOAWAY is out.
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
    QIR_LOG_E("conn(%s) session terminated by the http/2 engine...%s", name_.c_str(),
              lastError_.c_str());
    return false;
  }
  return GetState() != QIR_HTTP2_CONN_STATE_CLOSE;
}

bool CQIRHttp2Session::IsValid() {
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return false;
  if (options_.nPingSendThreshold_ == 0) return true;
  if (pingSent_) {
    if (pingAcked_) {
      pingSent_ = false;
      pingAcked_ = false;
    } else if (SecondsSince(pingSendTime_) >= options_.nPingTimeoutThreshold_) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT);
      QIR_LOG_E("conn(%s) ping timeout!...", name_.c_str());
      return false;
    }
    return true;
  }
  if (SecondsSince(lastRecvTime_) >= options_.nPingSendThreshold_) return SendPing();
  return true;
}

std::chrono::steady_clock::time_point CQIRHttp2Session::PingDue() const {
  if (options_.nPingSendThreshold_ == 0) return Clock::time_point::max();
  if (pingSent_ && !pingAcked_) {
    return pingSendTime_ + std::chrono::seconds(options_.nPingTimeoutThreshold_);
  }
  return lastRecvTime_ + std::chrono::seconds(options_.nPingSendThreshold_);
}

bool CQIRHttp2Session::SendPing() {
  if (session_ == nullptr) return false;
  int rv = nghttp2_submit_ping(session_, NGHTTP2_FLAG_NONE, nullptr);
  if (rv != 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_submit_ping() failed!...%s", name_.c_str(), nghttp2_strerror(rv));
    return false;
  }
  if (!Flush()) return false;
  pingSendTime_ = Clock::now();
  pingSent_ = true;
  pingAcked_ = false;
  return true;
}

void CQIRHttp2Session::SetState(int _state, int _cause) {
  CQIRLockGuard guard(mutexS_);
  if (state_ == QIR_HTTP2_CONN_STATE_CLOSE && _state == QIR_HTTP2_CONN_STATE_CLOSE) return;
  state_ = _state;
  cause_ = _state == QIR_HTTP2_CONN_STATE_CLOSE ? _cause : QIR_HTTP2_CONN_CLOSE_CAUSE_NONE;
}

void CQIRHttp2Session::SetCloseCause(int _cause) {
  CQIRLockGuard guard(mutexS_);
  if (state_ == QIR_HTTP2_CONN_STATE_CLOSE) cause_ = _cause;
}

int CQIRHttp2Session::GetState() {
  CQIRLockGuard guard(mutexS_);
  return state_;
}

int CQIRHttp2Session::GetStateCause() {
  CQIRLockGuard guard(mutexS_);
  return cause_;
}

void CQIRHttp2Session::LogClosed(const char* _what) {
  QIR_LOG_E("conn(%s) %s...session closed: %s %s", name_.c_str(), _what,
            QIR_HTTP2_GET_ERROR_MSG(GetStateCause()), lastError_.c_str());
}

void CQIRHttp2Session::Terminate(bool _markSelf) {
  int cause = GetStateCause();
  if (session_ == nullptr) return;
  // The peer learns why the session ends: NO_ERROR when nothing went wrong
  // here, nghttp2's code when it failed the session, else INTERNAL_ERROR.
  // A peer that ended it itself or is gone gets nothing. nghttp2 keeps a
  // GOAWAY it already queued itself and sends that one.
  bool send = true;
  uint32_t code = NGHTTP2_INTERNAL_ERROR;
  switch (cause) {
    case QIR_HTTP2_CONN_CLOSE_CAUSE_NONE:
    case QIR_HTTP2_CONN_CLOSE_CAUSE_SELF:
    case QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL:
      code = NGHTTP2_NO_ERROR;
      break;
    case QIR_HTTP2_CONN_CLOSE_CAUSE_PEER:
      send = false;
      break;
    case QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR:
      send = lastLibError_ != NGHTTP2_ERR_EOF && !Ended();
      code = GoawayCode(lastLibError_);
      break;
    default:
      break;
  }
  if (send) {
    if (nghttp2_session_terminate_session(session_, code) != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_terminate_session() failed!...", name_.c_str());
    } else {
      Drain();
    }
  }
  QIR_LOG_I("conn(%s) closed...cause(%s)", name_.c_str(), QIR_HTTP2_GET_CLOSE_TEXT(cause));
  nghttp2_session_del(session_);
  session_ = nullptr;
  if (_markSelf && cause == QIR_HTTP2_CONN_CLOSE_CAUSE_NONE) {
    CQIRLockGuard guard(mutexS_);
    cause_ = QIR_HTTP2_CONN_CLOSE_CAUSE_SELF;
  }
}

ssize_t CQIRHttp2Session::ReadBody(nghttp2_session*, int32_t, uint8_t* _buf, size_t _length,
                                   uint32_t* _flags, nghttp2_data_source* _source, void*) {
  QIR_ST_HTTP2_CHUNK_DATA* body = static_cast<QIR_ST_HTTP2_CHUNK_DATA*>(_source->ptr);
  size_t n = body->size_ - body->rSize_;
  if (n > _length) {
    n = _length;
  } else {
    *_flags |= NGHTTP2_DATA_FLAG_EOF;
  }
  // The bytes are not copied into nghttp2's frame buffer: SendBody puts
  // them into the output buffer straight from the record.
  (void)_buf;
  if (n > 0) *_flags |= NGHTTP2_DATA_FLAG_NO_COPY;
  body->rSize_ += n;
  return static_cast<ssize_t>(n);
}

// The DATA frame ReadBody just sized: nghttp2 asks for it before it reads
// the next piece, so its bytes end at rSize_.
int CQIRHttp2Session::SendBody(nghttp2_session*, nghttp2_frame* _frame, const uint8_t* _head,
                               size_t _length, nghttp2_data_source* _source, void* _user) {
  CQIRHttp2Session* self = Self(_user);
  // Full: written first, then nghttp2 asks again.
  if (self->out_.size() >= kOutGather) return NGHTTP2_ERR_WOULDBLOCK;
  const QIR_ST_HTTP2_CHUNK_DATA* body = static_cast<const QIR_ST_HTTP2_CHUNK_DATA*>(_source->ptr);
  const uint8_t* data = reinterpret_cast<const uint8_t*>(body->data_ + body->rSize_ - _length);
  size_t pad = _frame->data.padlen;
  std::vector<uint8_t>& out = self->out_;
  out.insert(out.end(), _head, _head + 9);
  if (pad > 0) out.push_back(static_cast<uint8_t>(pad - 1));
  out.insert(out.end(), data, data + _length);
  if (pad > 1) out.insert(out.end(), pad - 1, 0);
  return 0;
}

void CQIRHttp2Session::Release() {
  std::vector<uint8_t>().swap(out_);  // a closed connection keeps no output memory
  outSent_ = 0;
  if (epfd_ >= 0) {
    if (fd_ >= 0 && epoll_ctl(epfd_, EPOLL_CTL_DEL, fd_, nullptr) != 0) {
      QIR_LOG_I("[%d-%s]epoll_ctl() system call error. %d,%d", errno, strerror(errno), epfd_, fd_);
    }
    close(epfd_);
    epfd_ = -1;
  }
  if (fd_ >= 0) {
    // A socket the transport never took (set-up failed early) is closed here.
    if (transport_.GetSocket() != fd_) close(fd_);
    transport_.Clear();
    fd_ = -1;
  }
}

// ---------------------------------------------------------------------------
// nghttp2 callbacks: all run inside nghttp2_session_recv or
// nghttp2_session_mem_send, which they must not re-enter.

ssize_t CQIRHttp2Session::RecvCallback(nghttp2_session*, uint8_t* _buf, size_t _length, int,
                                       void* _user) {
  CQIRHttp2Session* self = Self(_user);
  // A plain socket that gave less than was asked for is empty: asking again
  // would cost a system call per pass only to hear EAGAIN. The worker's
  // level-triggered epoll reports whatever arrives after. A TLS read stops
  // at a record's end, so a short one proves nothing there.
  if (self->recvEmptied_) {
    self->recvEmptied_ = false;
    return NGHTTP2_ERR_WOULDBLOCK;
  }
  int n = self->read(reinterpret_cast<char*>(_buf), _length);
  if (n == -1) return NGHTTP2_ERR_WOULDBLOCK;
  if (n < 0) return NGHTTP2_ERR_CALLBACK_FAILURE;
  if (n == 0) return NGHTTP2_ERR_EOF;
  if (self->server_) CQIRHTTP2SRVMetrics::Add(CQIRHTTP2SRVMetrics::QIR_M_BYTES_RECEIVED, n);
  if (static_cast<size_t>(n) < _length && !self->transport_.UsesTLS()) self->recvEmptied_ = true;
  return n;
}

int CQIRHttp2Session::OnFrameRecvCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                          void* _user) {
  CQIRHttp2Session* self = Self(_user);
  self->lastRecvTime_ = Clock::now();
  bool ack = (_frame->hd.flags & NGHTTP2_FLAG_ACK) != 0;
  if (_frame->hd.type == NGHTTP2_PING) {
    if (ack && self->pingSent_) self->pingAcked_ = true;
    if (G_QIR_HTTP2_DETAIL_LOG && ack) QIR_LOG_I("RECV PING ACK");
    if (G_QIR_HTTP2_DETAIL_LOG && !ack) QIR_LOG_I("RECV PING");
  } else if (_frame->hd.type == NGHTTP2_SETTINGS && G_QIR_HTTP2_DETAIL_LOG) {
    unsigned long niv = static_cast<unsigned long>(_frame->settings.niv);
    if (ack) {
      QIR_LOG_I("conn(%s) receive settings ack...(niv=%lu)", self->name_.c_str(), niv);
    } else {
      QIR_LOG_I("conn(%s) received settings...(niv=%lu)", self->name_.c_str(), niv);
    }
    for (size_t i = 0; i < _frame->settings.niv; ++i) {
      const nghttp2_settings_entry& e = _frame->settings.iv[i];
      QIR_LOG_I(" -%s(0x%02x):%u", strsettingsid(e.settings_id), e.settings_id, e.value);
    }
  }
  int rv = self->handler_->OnFrameRecv(_frame);
  if (_frame->hd.type == NGHTTP2_GOAWAY) {
    self->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PEER);
  }
  return rv;
}

int CQIRHttp2Session::OnFrameSendCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                          void* _user) {
  Self(_user)->handler_->OnFrameSend(_frame);
  return 0;
}

int CQIRHttp2Session::OnStreamCloseCallback(nghttp2_session*, int32_t _stream, uint32_t _code,
                                            void* _user) {
  CQIRHttp2Session* self = Self(_user);
  if (_code != 0) {
    QIR_LOG_I("conn(%s) stream(%d) just closed with error!(%d)", self->name_.c_str(), _stream,
              static_cast<int>(_code));
  }
  self->handler_->OnStreamClose(_stream, _code);
  return 0;
}

bool CQIRHttp2Session::OwnHeaders(const nghttp2_frame* _frame) const {
  return _frame->hd.type == NGHTTP2_HEADERS &&
         _frame->headers.cat == (server_ ? NGHTTP2_HCAT_REQUEST : NGHTTP2_HCAT_RESPONSE);
}

int CQIRHttp2Session::OnBeginHeadersCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                             void* _user) {
  CQIRHttp2Session* self = Self(_user);
  if (_frame->hd.type != NGHTTP2_HEADERS) return 0;
  self->hdrStream_ = _frame->hd.stream_id;
  self->hdrBytes_ = 0;
  self->hdrFields_ = 0;
  return self->OwnHeaders(_frame) ? self->handler_->OnBeginHeaders(_frame) : 0;
}

int CQIRHttp2Session::OnHeaderCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                       const uint8_t* _name, size_t _nameLen,
                                       const uint8_t* _value, size_t _valueLen, uint8_t,
                                       void* _user) {
  CQIRHttp2Session* self = Self(_user);
  if (_frame->hd.type != NGHTTP2_HEADERS) return 0;
  // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts, before anything is
  // stored: one HPACK byte can stand for a 4 KB table entry. Past either
  // bound the stream is reset and the rest of its block ignored.
  if (_frame->hd.stream_id == self->hdrStream_) {
    self->hdrBytes_ += _nameLen + _valueLen + 32;
    ++self->hdrFields_;
    if (self->hdrBytes_ > self->options_.nMaxHeaderListSize_ ||
        self->hdrFields_ > self->options_.nMaxHeaderFields_) {
      QIR_LOG_W("conn(%s) stream(%d) header list over its bound(%lu bytes, %lu fields)...reset",
                self->name_.c_str(), _frame->hd.stream_id,
                static_cast<unsigned long>(self->hdrBytes_),
                static_cast<unsigned long>(self->hdrFields_));
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
  }
  return self->handler_->OnHeader(_frame, _name, _nameLen, _value, _valueLen);
}

int CQIRHttp2Session::OnDataChunkRecvCallback(nghttp2_session*, uint8_t, int32_t _stream,
                                              const uint8_t* _data, size_t _len, void* _user) {
  return Self(_user)->handler_->OnDataChunk(_stream, _data, _len);
}

int CQIRHttp2Session::OnInvalidHeaderCallback(nghttp2_session* _session,
                                              const nghttp2_frame* _frame, nghttp2_rcbuf* _name,
                                              nghttp2_rcbuf* _value, uint8_t, void* _user) {
  int32_t id = _frame->hd.type == NGHTTP2_PUSH_PROMISE ? _frame->push_promise.promised_stream_id
                                                       : _frame->hd.stream_id;
  nghttp2_vec n = nghttp2_rcbuf_get_buf(_name);
  nghttp2_vec v = nghttp2_rcbuf_get_buf(_value);
  // The rcbuf bytes are not NUL-terminated: print them with their lengths.
  QIR_LOG_E("conn(%s)Invalid header field for stream_id=%d,in frame type= %d,name=[%.*s,%d],"
            "value=[%.*s:%d]",
            Self(_user)->name_.c_str(), id, _frame->hd.type, static_cast<int>(n.len),
            reinterpret_cast<const char*>(n.base), static_cast<int>(n.len),
            static_cast<int>(v.len), reinterpret_cast<const char*>(v.base),
            static_cast<int>(v.len));
  nghttp2_submit_rst_stream(_session, NGHTTP2_FLAG_NONE, id, NGHTTP2_PROTOCOL_ERROR);
  return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
}

// nghttp2 has already classified the error: a stream error resets that
// stream, a connection error queues GOAWAY with the right code and stops the
// session wanting input, which Recv then sees. Failing here instead would
// tear the session down before that GOAWAY leaves.
int CQIRHttp2Session::OnInvalidFrameRecvCallback(nghttp2_session*, const nghttp2_frame*,
                                                 int _error, void* _user) {
  QIR_LOG_E("HTTP/2 invalid frame recv callback-%s", nghttp2_strerror(_error));
  Self(_user)->lastError_ = nghttp2_strerror(_error);
  Self(_user)->recvError_ = true;
  return 0;
}

int CQIRHttp2Session::ErrorCallback(nghttp2_session*, int, const char* _msg, size_t _len,
                                    void* _user) {
  QIR_LOG_E("HTTP/2 error callback-%.*s", static_cast<int>(_len), _msg);
  Self(_user)->lastError_.assign(_msg, _len);
  Self(_user)->recvError_ = true;
  return 0;
}

int CQIRHttp2Session::OnFrameNotSendCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                             int _error, void* _user) {
  if (_frame->hd.type != NGHTTP2_HEADERS || _frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  Self(_user)->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
  QIR_LOG_E("HTTP/2 not send callback-%s", nghttp2_strerror(_error));
  return NGHTTP2_ERR_CALLBACK_FAILURE;
}
