#include "CQIRHttp2Response.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>

#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"
#include "QIRHttp2Option.h"

namespace {

typedef std::chrono::system_clock Clock;

// nghttp2 keeps these bytes without copying until the HEADERS frame is
// written, long after the call that submitted them: static storage.
const char kStatus429[] = "429";

double SecondsSince(const Clock::time_point& t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

CQIRHttp2Response* Self(void* user_data) { return static_cast<CQIRHttp2Response*>(user_data); }

}  // namespace

CQIRHttp2Response::CQIRHttp2Response()
    : name_("undefined"),
      ssl_ctx_(nullptr),
      port_(0),
      fd_(-1),
      session_(nullptr),
      options_(),
      hdrs_(),
      nHdrs_(0),
      isUpgrade_(false),
      isEvent_(false),
      state_(QIR_HTTP2_CONN_STATE_INIT),
      cause_(QIR_HTTP2_CONN_CLOSE_CAUSE_NONE),
      epfd_(-1),
      auto429ResponseCount_(0),
      cancelCount_(0),
      ping_send_time_(Clock::now()),
      user_callback_(nullptr),
      user_callback_args_(nullptr),
      last_recv_time_(ping_send_time_),
      last_send_time_(ping_send_time_),
      ping_send_flag_(false),
      ping_recv_flag_(false),
      enableSend_(false),
      invalidHeaderStream_(0),
      upgradeSettings_(),
      upgradeSettingsLen_(0) {}

CQIRHttp2Response::~CQIRHttp2Response() {
  Disconnect();
  while (!requestPool_.empty()) {
    delete requestPool_.front();
    requestPool_.pop();
  }
  while (!responsePool_.empty()) {
    QIR_ST_HTTP2_RESPONSE* res = responsePool_.front();
    responsePool_.pop();
    free(res->payload_.data_);
    delete res;
  }
}

bool CQIRHttp2Response::Initialize(const char* name, const QIR_ST_HTTP2_OPTIONS* options) {
  name_ = name;
  options_ = *options;
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&options_);
  for (uint32_t i = 0; i < options_.nMaxConcurrentStream_; ++i) {
    CQIRHttp2StreamData* stream = new (std::nothrow) CQIRHttp2StreamData();
    if (stream == nullptr || !stream->Initialize(options_.nMaxPayloadSize_)) {
      QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
      delete stream;
      return false;
    }
    requestPool_.push(stream);

    QIR_ST_HTTP2_RESPONSE* res = new (std::nothrow) QIR_ST_HTTP2_RESPONSE();
    char* data = static_cast<char*>(malloc(options_.nMaxPayloadSize_));
    if (res == nullptr || data == nullptr) {
      QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
      free(data);
      delete res;
      return false;
    }
    res->payload_.data_ = data;
    res->payload_.size_ = 0;
    res->payload_.rSize_ = 0;
    CQIRLockGuard guard(mutexQ_);
    responsePool_.push(res);
  }
  return true;
}

bool CQIRHttp2Response::Accept(int fd, const char* ip, int port, bool isEvent) {
  return TakeOver(fd, ip, port, nullptr, 0, true, isEvent);
}

bool CQIRHttp2Response::Accept(int fd, const char* ip, int port, SSL_CTX* ctx, bool isEvent) {
  return TakeOver(fd, ip, port, ctx, 1, false, isEvent);
}

bool CQIRHttp2Response::TakeOver(int fd, const char* ip, int port, SSL_CTX* ctx, int sslMode,
                                 bool upgrade, bool isEvent) {
  ip_ = ip != nullptr ? ip : "";
  port_ = port;
  fd_ = fd;
  isUpgrade_ = upgrade;
  SetState(QIR_HTTP2_CONN_STATE_INIT, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  if (!isEvent && !InitInternalEvent()) return false;
  if (!transport_.SetFD(fd_, ctx, sslMode)) return false;
  // A blocking socket would stall the worker thread that drives the session.
  if (!CQIRSocketNew::SET_NONBLOCK(fd_)) return false;
  CQIRSocketNew::SET_NODELAY(fd_);
  SetDefaultHeader();
  isEvent_ = isEvent;
  return InitHttp2Session();
}

bool CQIRHttp2Response::AcceptHandshaked(int fd, const char* ip, int port, SSL* ssl,
                                         bool isEvent) {
  ip_ = ip != nullptr ? ip : "";
  port_ = port;
  fd_ = fd;
  isUpgrade_ = false;
  SetState(QIR_HTTP2_CONN_STATE_INIT, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  if (!transport_.AdoptSSL(fd_, ssl)) return false;
  if (!isEvent && !InitInternalEvent()) return false;
  if (!CQIRSocketNew::SET_NONBLOCK(fd_)) return false;
  CQIRSocketNew::SET_NODELAY(fd_);
  SetDefaultHeader();
  isEvent_ = isEvent;
  return InitHttp2Session();
}

bool CQIRHttp2Response::InitInternalEvent() {
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
  return true;
}

bool CQIRHttp2Response::InitHttp2Session() {
  if (G_QIR_HTTP2_DETAIL_LOG) {
    QIR_LOG_I("conn(%s) http/2 options...", name_.c_str());
    QIR_LOG_I(" -MAX CONCURRENT STREAM =  %7d", static_cast<int>(options_.nMaxConcurrentStream_));
    QIR_LOG_I(" -MAX PAYLOAD SIZE      =  %7d", static_cast<int>(options_.nMaxPayloadSize_));
    QIR_LOG_I(" -DEFALUT WINDOW SIZE   =  %7d", static_cast<int>(options_.nDefaultWindowSize_));
    QIR_LOG_I(" -DEFALUT FRAME SIZE    =  %7d", static_cast<int>(options_.nDefaultFrameSize_));
    QIR_LOG_I(" -USING SERVER PUSH     =  %7s", options_.nPushEnable_ ? "true" : "false");
    QIR_LOG_I(" -RESPONSE TIMEOUT      =  %7d", static_cast<int>(options_.nTimeout_));
  }

  StringRef settings;
  if (isUpgrade_ && !QIR_HTTP2_SERVER_UPGRADE(this, settings)) return false;

  nghttp2_option* option = nullptr;
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_option_new(&option) != 0 || nghttp2_session_callbacks_new(&callbacks) != 0) {
    nghttp2_option_del(option);
    QIR_LOG_E("conn(%s) nghttp2_session_server_new2() error!...%s", name_.c_str(),
              nghttp2_strerror(NGHTTP2_ERR_NOMEM));
    return false;
  }
  nghttp2_option_set_peer_max_concurrent_streams(option, options_.nMaxConcurrentStream_);

  nghttp2_session_callbacks_set_send_callback(callbacks, SendCallback);
  nghttp2_session_callbacks_set_recv_callback(callbacks, RecvCallback);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnFrameRecvCallback);
  nghttp2_session_callbacks_set_on_frame_send_callback(callbacks, OnFrameSendCallback);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnStreamCloseCallback);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, OnHeaderCallback);
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, OnBeginHeadersCallback);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnDataChunkRecvCallback);
  nghttp2_session_callbacks_set_on_invalid_header_callback2(callbacks, OnInvalidHeaderCallback);
  nghttp2_session_callbacks_set_on_invalid_frame_recv_callback(callbacks,
                                                              OnInvalidFrameRecvCallback);
  nghttp2_session_callbacks_set_error_callback(callbacks, ErrorCallback);
  nghttp2_session_callbacks_set_on_frame_not_send_callback(callbacks, OnFrameNotSendCallback);

  int rv = nghttp2_session_server_new2(&session_, callbacks, this, option);
  nghttp2_session_callbacks_del(callbacks);
  nghttp2_option_del(option);
  if (rv != 0) {
    session_ = nullptr;
    QIR_LOG_E("conn(%s) nghttp2_session_server_new2() error!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return false;
  }

  if (isUpgrade_) {
    rv = nghttp2_session_upgrade2(session_, settings.byte(), settings.size(), 0, nullptr);
    if (rv != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_upgrade2() failed!...%s", name_.c_str(),
                nghttp2_strerror(rv));
      return false;
    }
  }

  if (!SettingNegotiation()) return false;

  if (options_.nLocalWindowSize_ != 0) {
    rv = nghttp2_session_set_local_window_size(session_, NGHTTP2_FLAG_NONE, 0,
                                               static_cast<int32_t>(options_.nLocalWindowSize_));
    if (rv != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_set_local_window_size() failed!...%s", name_.c_str(),
                nghttp2_strerror(rv));
      return false;
    }
  }

  SetState(QIR_HTTP2_CONN_STATE_OPEN, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  last_recv_time_ = Clock::now();
  last_send_time_ = last_recv_time_;
  user_callback_ = nullptr;
  user_callback_args_ = nullptr;
  {
    CQIRLockGuard guard(mutexS_);
    auto429ResponseCount_ = 0;
    cancelCount_ = 0;
  }
  QIR_LOG_I("conn(%s) http session initialized...", name_.c_str());
  return true;
}

int CQIRHttp2Response::SendSettingsHdr() {
  // No ENABLE_PUSH: a server never receives pushes, RFC 9113 section 6.5.2.
  nghttp2_settings_entry iv[4] = {
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, options_.nMaxConcurrentStream_},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, options_.nDefaultWindowSize_},
      {NGHTTP2_SETTINGS_MAX_FRAME_SIZE, options_.nDefaultFrameSize_},
      {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, options_.nMaxHeaderTableSize_}};
  int rv = nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, iv, 4);
  if (rv != 0) {
    QIR_LOG_E("conn(%s) nghttp2_submit_settings() failed...: %s", name_.c_str(),
              nghttp2_strerror(rv));
    return -1;
  }
  return 0;
}

void CQIRHttp2Response::SetState(int state, int cause) {
  CQIRLockGuard guard(mutexS_);
  if (state_ == QIR_HTTP2_CONN_STATE_CLOSE && state == QIR_HTTP2_CONN_STATE_CLOSE) return;
  state_ = state;
  cause_ = state == QIR_HTTP2_CONN_STATE_CLOSE ? cause : QIR_HTTP2_CONN_CLOSE_CAUSE_NONE;
}

int CQIRHttp2Response::GetState() {
  CQIRLockGuard guard(mutexS_);
  return state_;
}

int CQIRHttp2Response::GetStateCause() {
  CQIRLockGuard guard(mutexS_);
  return cause_;
}

bool CQIRHttp2Response::IsValid() {
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return false;
  if (options_.nPingSendThreshold_ == 0) return true;
  if (ping_send_flag_) {
    if (ping_recv_flag_) {
      ping_send_flag_ = false;
      ping_recv_flag_ = false;
      return true;
    }
    if (SecondsSince(ping_send_time_) >= options_.nPingTimeoutThreshold_) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT);
      QIR_LOG_E("conn(%s) ping timeout!...", name_.c_str());
      return false;
    }
    return true;
  }
  if (SecondsSince(last_recv_time_) >= options_.nPingSendThreshold_) return SendPing();
  return true;
}

bool CQIRHttp2Response::SendPing() {
  int rv = nghttp2_submit_ping(session_, NGHTTP2_FLAG_NONE, nullptr);
  if (rv != 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_submit_ping() failed!...%s", name_.c_str(), nghttp2_strerror(rv));
    return false;
  }
  rv = nghttp2_session_send(session_);
  if (rv != 0 && rv != NGHTTP2_ERR_EOF) {
    if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return false;
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_session_send() failed...%s", name_.c_str(), nghttp2_strerror(rv));
    return false;
  }
  ping_send_time_ = Clock::now();
  ping_send_flag_ = true;
  ping_recv_flag_ = false;
  return true;
}

int CQIRHttp2Response::ProcEventPre() {
  if (session_ == nullptr || !IsValid()) return -1;
  int r = SendResponse();
  if (r == 0) {
    // Nothing new, but frames nghttp2 could not write earlier (the socket
    // was full) would otherwise wait for the next input, which a peer that
    // waits for them never sends.
    if (!nghttp2_session_want_write(session_)) return 0;
    r = nghttp2_session_send(session_);
    if (r == 0) return 0;
  } else if (r != 1) {
    return r;
  } else {
    r = nghttp2_session_send(session_);
    if (r == 0) return 1;
  }
  SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
  QIR_LOG_E("conn(%s) nghttp2_session_send() failed...%s", name_.c_str(), nghttp2_strerror(r));
  return -1;
}

bool CQIRHttp2Response::ProcEvent() {
  if (session_ == nullptr) return false;
  int rv = nghttp2_session_recv(session_);
  if (rv != 0) {
    if (GetState() != QIR_HTTP2_CONN_STATE_CLOSE) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
      QIR_LOG_E("conn(%s) nghttp2_session_recv() failed...%s", name_.c_str(),
                nghttp2_strerror(rv));
    }
    return false;
  }
  if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return false;
  rv = nghttp2_session_send(session_);
  if (rv != 0) {
    if (GetState() != QIR_HTTP2_CONN_STATE_CLOSE) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR);
      QIR_LOG_E("conn(%s) nghttp2_session_send() failed...%s", name_.c_str(),
                nghttp2_strerror(rv));
    }
    return false;
  }
  return GetState() != QIR_HTTP2_CONN_STATE_CLOSE;
}

void CQIRHttp2Response::CloseSession() {
  int cause = GetStateCause();
  if (cause == QIR_HTTP2_CONN_CLOSE_CAUSE_NONE) {
    if (nghttp2_session_terminate_session(session_, NGHTTP2_NO_ERROR) != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_terminate_session() failed!...", name_.c_str());
    } else {
      nghttp2_session_send(session_);
    }
    CQIRLockGuard guard(mutexS_);
    cause_ = QIR_HTTP2_CONN_CLOSE_CAUSE_SELF;
  } else if (cause != QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR) {
    if (nghttp2_session_terminate_session(session_, NGHTTP2_INTERNAL_ERROR) != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_terminate_session() failed!...", name_.c_str());
    } else {
      nghttp2_session_send(session_);
    }
  }
  QIR_LOG_I("conn(%s) closed...", name_.c_str());
}

void CQIRHttp2Response::Disconnect() {
  if (session_ != nullptr) {
    CloseSession();
    nghttp2_session_del(session_);
    session_ = nullptr;
  }
  {
    CQIRLockGuard guard(mutexQ_);
    for (auto& it : responseMap_) responsePool_.push(it.second);
    for (QIR_ST_HTTP2_RESPONSE* res : responseList_) responsePool_.push(res);
    responseMap_.clear();
    responseList_.clear();
  }
  for (auto& it : requestMap_) {
    it.second->Reset();
    requestPool_.push(it.second);
  }
  requestMap_.clear();
  requestList_.clear();
  if (epfd_ != -1) {
    if (fd_ >= 1 && epoll_ctl(epfd_, EPOLL_CTL_DEL, fd_, nullptr) != 0) {
      QIR_LOG_I("[%d-%s]epoll_ctl() system call error. %d,%d", errno, strerror(errno), epfd_,
                fd_);
    }
    close(epfd_);
    epfd_ = -1;
  }
  if (fd_ > 0) {
    // Accepted but not yet handed to the transport (own epoll set failed).
    if (transport_.GetSocket() != fd_) close(fd_);
    transport_.Clear();
    fd_ = -1;
  }
}

// ---------------------------------------------------------------------------
// nghttp2 callbacks: all run on the worker thread inside nghttp2_session_recv
// or nghttp2_session_send, which they must not re-enter.

ssize_t CQIRHttp2Response::SendCallback(nghttp2_session*, const uint8_t* data, size_t length,
                                        int, void* user_data) {
  int r = Self(user_data)->write(reinterpret_cast<const char*>(data), length);
  if (r == -1 || r == 0) return NGHTTP2_ERR_WOULDBLOCK;
  if (r < 0) return NGHTTP2_ERR_CALLBACK_FAILURE;
  return r;
}

ssize_t CQIRHttp2Response::RecvCallback(nghttp2_session*, uint8_t* buf, size_t length, int,
                                        void* user_data) {
  int r = Self(user_data)->read(reinterpret_cast<char*>(buf), length);
  if (r == -1) return NGHTTP2_ERR_WOULDBLOCK;
  if (r < 0) return NGHTTP2_ERR_CALLBACK_FAILURE;
  if (r == 0) return NGHTTP2_ERR_EOF;
  return r;
}

int CQIRHttp2Response::OnBeginHeadersCallback(nghttp2_session*, const nghttp2_frame* frame,
                                              void* user_data) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  return Self(user_data)->CreateHttp2StreamData(frame->hd.stream_id)
             ? 0
             : NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnHeaderCallback(nghttp2_session*, const nghttp2_frame* frame,
                                        const uint8_t* name, size_t namelen, const uint8_t* value,
                                        size_t valuelen, uint8_t, void* user_data) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  return Self(user_data)->UpdateHdrRecv(frame->hd.stream_id, name, namelen, value, valuelen)
             ? 0
             : NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnDataChunkRecvCallback(nghttp2_session*, uint8_t, int32_t stream_id,
                                               const uint8_t* data, size_t len,
                                               void* user_data) {
  return Self(user_data)->UpdatePayloadRecv(stream_id, data, len) ? 0
                                                                  : NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnFrameRecvCallback(nghttp2_session*, const nghttp2_frame* frame,
                                           void* user_data) {
  CQIRHttp2Response* self = Self(user_data);
  self->last_recv_time_ = Clock::now();
  switch (frame->hd.type) {
    case NGHTTP2_DATA:
    case NGHTTP2_HEADERS:
      if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) {
        return self->OnRequestRecv(frame->hd.stream_id) ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
      }
      return 0;
    case NGHTTP2_RST_STREAM:
      self->RSTRecv(frame->hd.stream_id, frame->rst_stream.error_code);
      return 0;
    case NGHTTP2_SETTINGS:
      if (G_QIR_HTTP2_DETAIL_LOG) {
        if (frame->hd.flags & NGHTTP2_FLAG_ACK) {
          QIR_LOG_I("conn(%s) receive settings ack...(niv=%lu)", self->name_.c_str(),
                    static_cast<unsigned long>(frame->settings.niv));
        } else {
          QIR_LOG_I("conn(%s) received settings...(niv=%lu)", self->name_.c_str(),
                    static_cast<unsigned long>(frame->settings.niv));
        }
        for (size_t i = 0; i < frame->settings.niv; ++i) {
          const nghttp2_settings_entry& e = frame->settings.iv[i];
          QIR_LOG_I("-%s(0x%02x):%u", strsettingsid(e.settings_id), e.settings_id, e.value);
        }
      }
      return 0;
    case NGHTTP2_PING:
      if ((frame->hd.flags & NGHTTP2_FLAG_ACK) && self->ping_send_flag_) {
        self->ping_recv_flag_ = true;
      }
      if (G_QIR_HTTP2_DETAIL_LOG) {
        if (frame->hd.flags & NGHTTP2_FLAG_ACK) {
          QIR_LOG_I("RECV PING ACK");
        } else {
          QIR_LOG_I("RECV PING");
        }
      }
      return 0;
    case NGHTTP2_GOAWAY:
      QIR_LOG_I("conn(%s) receive GOAWAY Frame(%d)...", self->name_.c_str(),
                static_cast<int>(frame->goaway.error_code));
      self->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_PEER);
      return 0;
    case NGHTTP2_WINDOW_UPDATE:
      return 0;
    default:
      QIR_LOG_I("RECV FRAME(%d)!...", frame->hd.type);
      return 0;
  }
}

int CQIRHttp2Response::OnFrameSendCallback(nghttp2_session*, const nghttp2_frame* frame,
                                           void* user_data) {
  Self(user_data)->last_send_time_ = Clock::now();
  if (frame->hd.type == NGHTTP2_PUSH_PROMISE) {
    QIR_LOG_I("PUSH_PROMISE");
  } else if (frame->hd.type == NGHTTP2_PING && G_QIR_HTTP2_DETAIL_LOG) {
    if (frame->hd.flags & NGHTTP2_FLAG_ACK) {
      QIR_LOG_I("SEND PING ACK");
    } else {
      QIR_LOG_I("SEND PING");
    }
  }
  return 0;
}

int CQIRHttp2Response::OnStreamCloseCallback(nghttp2_session*, int32_t stream_id,
                                             uint32_t error_code, void* user_data) {
  CQIRHttp2Response* self = Self(user_data);
  if (error_code != 0) {
    QIR_LOG_I("conn(%s) stream(%d) just closed with error!(%d)", self->name_.c_str(), stream_id,
              static_cast<int>(error_code));
  }
  self->DeleteHttp2StreamData(stream_id);
  self->CloseResponse(stream_id);
  return 0;
}

int CQIRHttp2Response::OnInvalidHeaderCallback(nghttp2_session* session,
                                               const nghttp2_frame* frame, nghttp2_rcbuf* name,
                                               nghttp2_rcbuf* value, uint8_t,
                                               void* user_data) {
  CQIRHttp2Response* self = Self(user_data);
  int32_t id = frame->hd.type == NGHTTP2_PUSH_PROMISE ? frame->push_promise.promised_stream_id
                                                      : frame->hd.stream_id;
  nghttp2_vec n = nghttp2_rcbuf_get_buf(name);
  nghttp2_vec v = nghttp2_rcbuf_get_buf(value);
  // The rcbuf bytes are not NUL-terminated: print them with their lengths.
  QIR_LOG_E("conn(%s)Invalid header field for stream_id=%d,in frame type= %d,name=[%.*s,%d],"
            "value=[%.*s:%d]",
            self->name_.c_str(), id, frame->hd.type, static_cast<int>(n.len),
            reinterpret_cast<const char*>(n.base), static_cast<int>(n.len),
            static_cast<int>(v.len), reinterpret_cast<const char*>(v.base),
            static_cast<int>(v.len));
  nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, id, NGHTTP2_PROTOCOL_ERROR);
  // nghttp2 goes on to report this stream error through the error and the
  // invalid-frame callbacks; they must not fail the whole session for it.
  self->invalidHeaderStream_ = id;
  return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnInvalidFrameRecvCallback(nghttp2_session*, const nghttp2_frame*,
                                                  int lib_error_code, void* user_data) {
  CQIRHttp2Response* self = Self(user_data);
  QIR_LOG_E("HTTP/2 invalid frame recv callback-%s", nghttp2_strerror(lib_error_code));
  switch (lib_error_code) {
    case NGHTTP2_ERR_HTTP_HEADER:     // a rejected header field
    case NGHTTP2_ERR_HTTP_MESSAGING:  // a malformed request
    case NGHTTP2_ERR_REFUSED_STREAM:  // opened beyond our limit before our SETTINGS arrived
      // Stream errors (RFC 9113 sections 5.1.2, 8.1.1): nghttp2 resets that
      // stream; the other streams of the connection go on.
      self->invalidHeaderStream_ = 0;
      return 0;
    default:
      self->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
      return NGHTTP2_ERR_CALLBACK_FAILURE;
  }
}

int CQIRHttp2Response::ErrorCallback(nghttp2_session*, const char* msg, size_t len,
                                     void* user_data) {
  CQIRHttp2Response* self = Self(user_data);
  QIR_LOG_E("HTTP/2 error callback-%.*s", static_cast<int>(len), msg);
  if (self->invalidHeaderStream_ != 0) return 0;
  self->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
  return NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnFrameNotSendCallback(nghttp2_session*, const nghttp2_frame* frame,
                                              int lib_error_code, void* user_data) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  Self(user_data)->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
  QIR_LOG_E("HTTP/2 not send callback-%s", nghttp2_strerror(lib_error_code));
  return NGHTTP2_ERR_CALLBACK_FAILURE;
}

ssize_t CQIRHttp2Response::DataSourceReadCallback(nghttp2_session*, int32_t, uint8_t* buf,
                                                  size_t length, uint32_t* data_flags,
                                                  nghttp2_data_source* source, void*) {
  QIR_ST_HTTP2_CHUNK_DATA* payload = static_cast<QIR_ST_HTTP2_CHUNK_DATA*>(source->ptr);
  size_t remaining = payload->size_ - payload->rSize_;
  if (remaining > length) {
    memcpy(buf, payload->data_ + payload->rSize_, length);
    payload->rSize_ += length;
    return static_cast<ssize_t>(length);
  }
  if (remaining > 0) memcpy(buf, payload->data_ + payload->rSize_, remaining);
  payload->rSize_ += remaining;
  *data_flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(remaining);
}

// ---------------------------------------------------------------------------
// Request intake.

bool CQIRHttp2Response::CreateHttp2StreamData(int32_t id) {
  CQIRHttp2StreamData* stream = nullptr;
  if (requestPool_.empty()) {
    QIR_LOG_W("conn(%s) stream buffer full!...%d %lu..try more allocate", name_.c_str(), id,
              static_cast<unsigned long>(requestPool_.size()));
    stream = new (std::nothrow) CQIRHttp2StreamData();
    if (stream == nullptr || !stream->Initialize(options_.nMaxPayloadSize_)) {
      QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
      delete stream;
      return false;
    }
  } else {
    stream = requestPool_.front();
    requestPool_.pop();
  }
  stream->New(id);
  if (!requestMap_.emplace(id, stream).second) {
    QIR_LOG_E("conn(%s) stream_id(%d) duplicate!....", name_.c_str(), id);
    requestPool_.push(stream);
    return false;
  }
  return true;
}

bool CQIRHttp2Response::UpdateHdrRecv(int32_t id, const uint8_t* name, size_t namelen,
                                      const uint8_t* value, size_t valuelen) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) {
    QIR_LOG_E("conn(%s) stream_id(%d) not found...", name_.c_str(), id);
    return false;
  }
  it->second->AddRequestHeader(reinterpret_cast<const char*>(name), namelen,
                               reinterpret_cast<const char*>(value), valuelen);
  return true;
}

bool CQIRHttp2Response::UpdatePayloadRecv(int32_t id, const uint8_t* data, size_t len) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) return false;
  if (!it->second->SetRequestPayload(reinterpret_cast<const char*>(data), len)) {
    it->second->SetPayloadError();
  }
  return true;
}

bool CQIRHttp2Response::OnRequestRecv(int32_t id) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) {
    QIR_LOG_E("conn(%s) stream_id(%d) not found...", name_.c_str(), id);
    return false;
  }
  if (requestMap_.size() >= options_.nMaxConcurrentStream_) {
    QIR_LOG_W("Too many request automatic response...");
    {
      CQIRLockGuard guard(mutexS_);
      ++auto429ResponseCount_;
    }
    if (user_callback_ != nullptr) user_callback_(1, 0, 0, this, user_callback_args_);
    return SendAutomatic429(id);
  }
  requestList_.push_back(it->second);
  return true;
}

bool CQIRHttp2Response::SendAutomatic429(int32_t id) {
  nghttp2_nv nv = make_nv_lc_nocopy(":status", kStatus429);
  int rv = nghttp2_submit_response(session_, id, &nv, 1, nullptr);
  if (rv != 0) {
    QIR_LOG_E("conn(%s) nghttp2_submit_response() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return false;
  }
  return true;
}

void CQIRHttp2Response::RSTRecv(int32_t id, uint32_t code) {
  QIR_LOG_I("conn(%s) received RST_STREAM frame! stream_id(%d) cause(%d)", name_.c_str(), id,
            static_cast<int>(code));
  if (user_callback_ != nullptr && IsRequestExist(id)) {
    user_callback_(2, id, static_cast<int>(code), this, user_callback_args_);
  }
  CQIRLockGuard guard(mutexS_);
  ++cancelCount_;
}

void CQIRHttp2Response::DeleteHttp2StreamData(int32_t id) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) return;
  CQIRHttp2StreamData* stream = it->second;
  requestMap_.erase(it);
  // A request still waiting to be handed over is withdrawn with its stream:
  // its buffer goes back to the pool and must not stay listed.
  for (auto l = requestList_.begin(); l != requestList_.end(); ++l) {
    if (*l == stream) {
      requestList_.erase(l);
      break;
    }
  }
  stream->Reset();
  requestPool_.push(stream);
}

void CQIRHttp2Response::CloseResponse(int32_t id) {
  auto it = responseMap_.find(static_cast<uint32_t>(id));
  if (it == responseMap_.end()) return;
  QIR_ST_HTTP2_RESPONSE* res = it->second;
  responseMap_.erase(it);
  CQIRLockGuard guard(mutexQ_);
  responsePool_.push(res);
}

// ---------------------------------------------------------------------------
// Handing requests over and responses back.

int CQIRHttp2Response::Request(QIR_ST_HTTP2_REQUEST_RECV* req) {
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) return -1;
  int r = GetRequest(req);
  if (r == 1 || isEvent_) return r;
  return RecvRequest(req);
}

int CQIRHttp2Response::GetRequest(QIR_ST_HTTP2_REQUEST_RECV* req) {
  if (requestList_.empty()) {
    req->streamId_ = -1;
    return 0;
  }
  CQIRHttp2StreamData* stream = requestList_.front();
  requestList_.erase(requestList_.begin());
  req->streamId_ = stream->GetStreamID();
  req->hdr_ = stream->GetRequestHeader();
  req->size_ = stream->GetRequestPayload(&req->data_);
  req->error_ = stream->GetError();
  stream->SetTimeout();
  return 1;
}

int CQIRHttp2Response::RecvRequest(QIR_ST_HTTP2_REQUEST_RECV* req) {
  if (ProcEventPre() == -1) return -1;
  int timeout = IsSendDataExist() ? 0 : 10;
  struct epoll_event ev;
  int n;
  do {
    n = epoll_wait(epfd_, &ev, 1, timeout);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    QIR_LOG_I("[%d-%s]epoll_wait() failed!...", errno, strerror(errno));
    return -1;
  }
  if (n == 1 && ev.data.fd == fd_) {
    if (ev.events & EPOLLERR) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR);
      QIR_LOG_E("conn(%s) event error dispatch!...", name_.c_str());
      return -1;
    }
    if (ev.events & (EPOLLIN | EPOLLOUT)) {
      if (!ProcEvent()) return -1;
      if (GetState() == QIR_HTTP2_CONN_STATE_CLOSE) return -1;
    }
  }
  return GetRequest(req);
}

int CQIRHttp2Response::Response(const QIR_ST_HTTP2_RESPONSE* res, bool wait) {
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) return -3;

  QIR_ST_HTTP2_RESPONSE* rec = nullptr;
  Clock::time_point start = Clock::now();
  for (;;) {
    if (wait) {
      state = GetState();
      if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) {
        QIR_LOG_E("conn(%s) invalid state!...", name_.c_str());
        return -3;
      }
    }
    {
      CQIRLockGuard guard(mutexQ_);
      if (!responsePool_.empty()) {
        rec = responsePool_.front();
        responsePool_.pop();
      }
    }
    if (rec != nullptr) break;
    if (!wait) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
      return 0;
    }
    if (SecondsSince(start) > 1.0) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
      QIR_LOG_E("conn(%s) response full timeout!..", name_.c_str());
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }

  rec->streamId_ = res->streamId_;
  memcpy(rec->rs_, res->rs_, sizeof(rec->rs_));
  rec->rs_[sizeof(rec->rs_) - 1] = '\0';
  rec->hdr_ = res->hdr_;
  rec->payload_.size_ = res->payload_.size_;
  rec->payload_.rSize_ = 0;
  // A body beyond the pooled buffer is not copied at all: PrepareResponse
  // fails the session on its size before anything is sent.
  if (res->payload_.size_ > 0 && res->payload_.size_ <= options_.nMaxPayloadSize_) {
    memcpy(rec->payload_.data_, res->payload_.data_, res->payload_.size_);
  }
  CQIRLockGuard guard(mutexQ_);
  responseList_.push_back(rec);
  return 1;
}

int CQIRHttp2Response::SendResponse() {
  QIR_ST_HTTP2_RESPONSE* res = nullptr;
  {
    CQIRLockGuard guard(mutexQ_);
    if (responseList_.empty()) return 0;
    res = responseList_.front();
    responseList_.erase(responseList_.begin());
  }
  uint32_t id = static_cast<uint32_t>(res->streamId_);
  int r;
  if (responseMap_.count(id) != 0) {
    // A second answer for one stream: submitting it would leave this record
    // outside both the map and the pool while nghttp2 may still read it.
    QIR_LOG_W("conn(%s) stream(%d) duplicate...", name_.c_str(), res->streamId_);
    r = 0;
  } else {
    r = SendResponse(res);
    if (r == 1) {
      responseMap_.emplace(id, res);
      return 1;
    }
  }
  CQIRLockGuard guard(mutexQ_);
  responsePool_.push(res);
  return r == 0 ? 1 : -1;
}

int CQIRHttp2Response::SendResponse(QIR_ST_HTTP2_RESPONSE* res) {
  int n = PrepareResponse(res);
  if (n == -1) return -1;
  if (n == -2) {
    QIR_LOG_W("conn(%s) stream(%d) alreay closed or invalid...", name_.c_str(), res->streamId_);
    return 0;
  }
  if (strcmp(res->rs_, "000") == 0) return SendSystemError(res->streamId_) ? 1 : -1;

  nghttp2_data_provider provider;
  nghttp2_data_provider* pprovider = nullptr;
  if (res->payload_.size_ > 0) {
    res->payload_.rSize_ = 0;
    provider.source.ptr = &res->payload_;
    provider.read_callback = DataSourceReadCallback;
    pprovider = &provider;
  }
  int rv = nghttp2_submit_response(session_, res->streamId_, res->hdrs_, static_cast<size_t>(n),
                                   pprovider);
  if (rv != 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_submit_response() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return -1;
  }
  return 1;
}

int CQIRHttp2Response::PrepareResponse(QIR_ST_HTTP2_RESPONSE* res) {
  if (!IsRequestExist(res->streamId_)) {
    QIR_LOG_W("conn(%s) stream(%d) not found!..(may alreay closed...)", name_.c_str(),
              res->streamId_);
    return -2;
  }
  if (res->payload_.size_ > options_.nMaxPayloadSize_) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) payload size(%lu) overflow!...", name_.c_str(),
              static_cast<unsigned long>(res->payload_.size_));
    return -1;
  }
  const int kMax = static_cast<int>(sizeof(res->hdrs_) / sizeof(res->hdrs_[0]));
  int n = 0;
  res->hdrs_[n++] = make_nv_lc_nocopy(":status", res->rs_);
  for (const auto& field : res->hdr_) {
    if (n < kMax) {
      res->hdrs_[n++] = make_nv(field.first, field.second);
    } else {
      QIR_LOG_W("too many http headers(%d,%s:%s)...ignore!", n, field.first.c_str(),
                field.second.c_str());
    }
  }
  return n;
}

bool CQIRHttp2Response::SendSystemError(int32_t id) {
  int rv = nghttp2_submit_rst_stream(session_, NGHTTP2_FLAG_NONE, id, NGHTTP2_INTERNAL_ERROR);
  if (rv != 0) {
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
    QIR_LOG_E("conn(%s) nghttp2_submit_rst_stream() failed!...%s", name_.c_str(),
              nghttp2_strerror(rv));
    return false;
  }
  return true;
}

bool CQIRHttp2Response::DoProcUpgradeWithRequest(QIR_HTTP2_HEADER& hdr, const char* body,
                                                 size_t len) {
  if (requestPool_.empty()) {
    QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
    return false;
  }
  CQIRHttp2StreamData* stream = requestPool_.front();
  requestPool_.pop();
  stream->New(1);
  for (const auto& field : hdr) stream->AddRequestHeader(field.first, field.second);
  if (len > 0 && !stream->SetRequestPayload(body, len)) stream->SetPayloadError();
  if (!requestMap_.emplace(1, stream).second) {
    QIR_LOG_E("conn(%s) stream_id(%d) duplicate!....", name_.c_str(), 1);
    stream->Reset();
    requestPool_.push(stream);
    return false;
  }
  requestList_.push_back(stream);
  return true;
}

bool CQIRHttp2Response::IsSendDataExist() {
  CQIRLockGuard guard(mutexQ_);
  return !responseList_.empty();
}

int CQIRHttp2Response::GetIncompleteCount() {
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) return 0;
  CQIRLockGuard guard(mutexQ_);
  return static_cast<int>(options_.nMaxConcurrentStream_) - static_cast<int>(responsePool_.size());
}

size_t CQIRHttp2Response::GetResponsePoolSize() {
  CQIRLockGuard guard(mutexQ_);
  return responsePool_.size();
}

int CQIRHttp2Response::Get429ResponseCount() {
  CQIRLockGuard guard(mutexS_);
  int n = auto429ResponseCount_;
  auto429ResponseCount_ = 0;
  return n;
}

int CQIRHttp2Response::GetCancelCount() {
  CQIRLockGuard guard(mutexS_);
  int n = cancelCount_;
  cancelCount_ = 0;
  return n;
}

void CQIRHttp2Response::SetUserCallback(QIR_HTTP2_RESPONSE_USER_CALLBACK cb, void* args) {
  user_callback_ = cb;
  user_callback_args_ = args;
}

void CQIRHttp2Response::DebugPrint() {
  CQIRLockGuard guard(mutexQ_);
  QIR_LOG_I("debug response-list %d , request-Map-%d, response-pool %lu",
            static_cast<int>(responseList_.size()), static_cast<int>(requestMap_.size()),
            static_cast<unsigned long>(responsePool_.size()));
  if (!requestMap_.empty()) QIR_LOG_I("REMAIN %d", requestMap_.begin()->first);
}
