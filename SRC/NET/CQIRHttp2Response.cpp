#include "CQIRHttp2Response.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <thread>

#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"
#include "QIRHttp2Option.h"

namespace {

// nghttp2 keeps these bytes without copying until the HEADERS frame is
// written, long after the call that submitted them: static storage.
const char kStatus429[] = "429";

// Idle request and response records a quiet connection keeps for its next
// requests; the rest are freed.
const size_t kIdleRecords = 2;
// A connection that wrote nothing for this long gives back its output
// buffer and idle records (a busy one does so after a number of passes).
constexpr std::chrono::seconds kQuietAfter(1);
// Answers whose bodies wait for the peer's window are looked at this often.
constexpr std::chrono::seconds kStallCheck(1);

CQIRHttp2StreamData* MakeStream(size_t _payload) {
  CQIRHttp2StreamData* stream = new (std::nothrow) CQIRHttp2StreamData();
  if (stream != nullptr && !stream->Initialize(_payload)) {
    delete stream;
    return nullptr;
  }
  return stream;
}

void DropStream(CQIRHttp2StreamData* _stream) { delete _stream; }

}  // namespace

CQIRHttp2Response::CQIRHttp2Response()
    : core_(),
      name_("undefined"),
      port_(0),
      fd_(-1),
      transport_(core_.Transport()),
      options_(),
      isUpgrade_(false),
      isEvent_(false),
      upgradeHeld_(false),
      auto429ResponseCount_(0),
      cancelCount_(0),
      user_callback_(nullptr),
      user_callback_args_(nullptr),
      lastStallCheck_(Clock::now()),
      requestDue_(Clock::time_point::max()),
      idleSince_(Clock::now()),
      quietDue_(Clock::time_point::max()),
      upgradeSettings_(),
      upgradeSettingsLen_(0) {}

CQIRHttp2Response::~CQIRHttp2Response() { Disconnect(); }

bool CQIRHttp2Response::Initialize(const char* name, const QIR_ST_HTTP2_OPTIONS* options) {
  name_ = name;
  core_.SetName(name);
  core_.SetOptions(options);
  options_ = core_.Options();
  // Records are made as streams need them: an idle connection holds none.
  requestPool_.Init(options_.nMaxConcurrentStream_, options_.nMaxPayloadSize_, MakeStream,
                    DropStream);
  CQIRLockGuard guard(mutexQ_);
  responsePool_.Init(options_.nMaxConcurrentStream_, 0,
                     QIR_HTTP2_MAKE_RECORD<QIR_ST_HTTP2_RESPONSE>,
                     QIR_HTTP2_DROP_RECORD<QIR_ST_HTTP2_RESPONSE>);
  return true;
}

bool CQIRHttp2Response::Accept(int fd, const char* ip, int port, bool isEvent) {
  return TakeOver(fd, ip, port, nullptr, 0, true, isEvent);
}

bool CQIRHttp2Response::Accept(int fd, const char* ip, int port, SSL_CTX* ctx, bool isEvent) {
  return TakeOver(fd, ip, port, ctx, 1, false, isEvent);
}

bool CQIRHttp2Response::AcceptHandshaked(int fd, const char* ip, int port, SSL* ssl,
                                         bool isEvent) {
  return TakeOver(fd, ip, port, nullptr, 0, false, isEvent, ssl);
}

bool CQIRHttp2Response::TakeOver(int fd, const char* ip, int port, SSL_CTX* ctx, int sslMode,
                                 bool upgrade, bool isEvent, SSL* ssl) {
  ip_ = ip != nullptr ? ip : "";
  port_ = port;
  fd_ = fd;
  isUpgrade_ = upgrade;
  isEvent_ = isEvent;
  upgradeHeld_ = false;
  core_.SetState(QIR_HTTP2_CONN_STATE_INIT, QIR_HTTP2_CONN_CLOSE_CAUSE_NONE);
  return core_.Attach(fd, ctx, sslMode, !isEvent, ssl) && InitHttp2Session();
}

bool CQIRHttp2Response::InitHttp2Session() {
  StringRef settings;
  if (isUpgrade_ && !QIR_HTTP2_SERVER_UPGRADE(this, settings)) return false;
  if (!core_.Create(true, this)) return false;
  if (isUpgrade_) {
    int rv = nghttp2_session_upgrade2(core_.Get(), settings.byte(), settings.size(), 0, nullptr);
    if (rv != 0) {
      QIR_LOG_E("conn(%s) nghttp2_session_upgrade2() failed!...%s", name_.c_str(),
                nghttp2_strerror(rv));
      return false;
    }
  }
  // No ENABLE_PUSH: a server never receives pushes, RFC 9113 section 6.5.2.
  if (!core_.SubmitSettings(false) || !core_.SetLocalWindow()) return false;
  user_callback_ = nullptr;
  user_callback_args_ = nullptr;
  {
    CQIRLockGuard guard(mutexC_);
    auto429ResponseCount_ = 0;
    cancelCount_ = 0;
  }
  core_.Opened();
  idleSince_ = Clock::now();
  return true;
}

void CQIRHttp2Response::SetState(int state, int cause) { core_.SetState(state, cause); }

int CQIRHttp2Response::GetState() { return core_.GetState(); }

int CQIRHttp2Response::GetStateCause() { return core_.GetStateCause(); }

bool CQIRHttp2Response::IsValid() { return core_.IsValid(); }

int CQIRHttp2Response::ProcEventPre() {
  if (core_.Get() == nullptr || !core_.IsValid()) return -1;
  Clock::time_point now = Clock::now();
  ResetStalledResponses();
  if (now >= requestDue_) ExpireRequests(now);
  if (now >= IdleDue()) {
    QIR_LOG_I("conn(%s) no stream for %u seconds...closing", name_.c_str(),
              options_.nIdleTimeout_);
    SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_SELF);  // GOAWAY NO_ERROR
    return -1;
  }
  // Every answer queued now is submitted before the one flush below, so
  // they leave in one write. Answers queued meanwhile wait for the next
  // pass: the loop is bounded by what was there at its start.
  size_t queued;
  {
    CQIRLockGuard guard(mutexQ_);
    queued = responseList_.size();
  }
  int r = 0;
  for (size_t i = 0; i < queued; ++i) {
    int one = SendResponse();
    if (one < 0) return one;
    if (one == 0) break;
    r = 1;
  }
  // With nothing new, frames nghttp2 could not write earlier (the socket was
  // full) would otherwise wait for the next input, which a peer that waits
  // for them never sends.
  if (r == 0 && !core_.WantWrite()) {
    if (core_.Quiet(now >= quietDue_)) {
      quietDue_ = Clock::time_point::max();
      bool freed = requestPool_.Shrink(kIdleRecords);
      {
        CQIRLockGuard guard(mutexQ_);
        freed = responsePool_.Shrink(kIdleRecords) || freed;
      }
      if (freed) CQIRHttp2Session::NoteFreedMemory();
      CQIRHttp2Session::GiveBackMemory();
    }
    return 0;
  }
  quietDue_ = now + kQuietAfter;
  return core_.Flush() ? r : -1;
}

std::chrono::steady_clock::time_point CQIRHttp2Response::NextDue() const {
  Clock::time_point due = core_.PingDue();
  if (options_.nSendStallTimeout_ != 0 && !responseMap_.empty()) {
    due = std::min(due, lastStallCheck_ + kStallCheck);
  }
  due = std::min(due, requestDue_);
  due = std::min(due, IdleDue());
  return std::min(due, quietDue_);
}

std::chrono::steady_clock::time_point CQIRHttp2Response::IdleDue() const {
  if (options_.nIdleTimeout_ == 0 || !requestMap_.empty() || !responseMap_.empty()) {
    return Clock::time_point::max();
  }
  return idleSince_ + std::chrono::seconds(options_.nIdleTimeout_);
}

// A request that has not fully arrived within REQUEST_TIMEOUT holds a
// stream buffer for as long as its peer likes: it is reset, and its buffer
// goes back when nghttp2 closes the stream as the RST_STREAM leaves (this
// pass's flush).
void CQIRHttp2Response::ExpireRequests(Clock::time_point _now) {
  requestDue_ = Clock::time_point::max();
  if (options_.nRequestTimeout_ == 0) return;
  const std::chrono::seconds limit(options_.nRequestTimeout_);
  for (auto& it : requestMap_) {
    CQIRHttp2StreamData* stream = it.second;
    if (stream->IsComplete()) continue;
    Clock::time_point deadline = stream->GetBegun() + limit;
    if (deadline > _now) {
      requestDue_ = std::min(requestDue_, deadline);
      continue;
    }
    QIR_LOG_W("conn(%s) stream(%d) request not complete within %u seconds...reset",
              name_.c_str(), it.first, options_.nRequestTimeout_);
    stream->SetComplete();  // reset once
    nghttp2_submit_rst_stream(core_.Get(), NGHTTP2_FLAG_NONE, it.first, NGHTTP2_CANCEL);
  }
}

// The worker's next pass runs ProcEventPre before it waits again: what the
// input produced leaves there, in the same write as the answers.
bool CQIRHttp2Response::ProcEvent() { return core_.Recv(false); }

void CQIRHttp2Response::Disconnect() {
  const bool counted = fd_ >= 0, opened = core_.Get() != nullptr;
  core_.Terminate(true);
  if (counted) CQIRHTTP2SRVMetrics::Closed(opened ? core_.GetStateCause() : -1);
  {
    CQIRLockGuard guard(mutexQ_);
    for (auto& it : responseMap_) responsePool_.Give(it.second.res);
    for (QIR_ST_HTTP2_RESPONSE* res : responseList_) responsePool_.Give(res);
    responseMap_.clear();
    responseList_.clear();
    responsePool_.Clear();
  }
  for (auto& it : requestMap_) requestPool_.Give(it.second);
  requestMap_.clear();
  requestList_.clear();
  requestPool_.Clear();
  core_.Release();
  fd_ = -1;
}

// ---------------------------------------------------------------------------
// Request intake, from the session core's callbacks on the worker thread.

int CQIRHttp2Response::OnBeginHeaders(const nghttp2_frame* frame) {
  return CreateHttp2StreamData(frame->hd.stream_id) ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
}

int CQIRHttp2Response::OnHeader(const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
                                const uint8_t* value, size_t valuelen) {
  if (frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;  // trailers are not kept
  auto it = requestMap_.find(frame->hd.stream_id);
  if (it == requestMap_.end()) {
    QIR_LOG_E("conn(%s) stream_id(%d) not found...", name_.c_str(), frame->hd.stream_id);
    return NGHTTP2_ERR_CALLBACK_FAILURE;
  }
  it->second->AddRequestHeader(reinterpret_cast<const char*>(name), namelen,
                               reinterpret_cast<const char*>(value), valuelen);
  return 0;
}

int CQIRHttp2Response::OnDataChunk(int32_t id, const uint8_t* data, size_t len) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) return NGHTTP2_ERR_CALLBACK_FAILURE;
  // Past the first chunk that does not fit, nothing more is stored: the
  // body handed over stays a prefix of what was sent.
  it->second->SetRequestPayload(reinterpret_cast<const char*>(data), len);
  return 0;
}

int CQIRHttp2Response::OnFrameRecv(const nghttp2_frame* frame) {
  switch (frame->hd.type) {
    case NGHTTP2_DATA:
    case NGHTTP2_HEADERS:
      if (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) {
        return OnRequestRecv(frame->hd.stream_id) ? 0 : NGHTTP2_ERR_CALLBACK_FAILURE;
      }
      return 0;
    case NGHTTP2_RST_STREAM:
      RSTRecv(frame->hd.stream_id, frame->rst_stream.error_code);
      return 0;
    case NGHTTP2_GOAWAY:
      QIR_LOG_I("conn(%s) receive GOAWAY Frame(%d)...", name_.c_str(),
                static_cast<int>(frame->goaway.error_code));
      return 0;
    case NGHTTP2_SETTINGS:
      if (upgradeHeld_ && !(frame->hd.flags & NGHTTP2_FLAG_ACK)) {
        upgradeHeld_ = false;
        auto it = requestMap_.find(1);
        if (it != requestMap_.end()) requestList_.push_back(it->second);
      }
      return 0;
    case NGHTTP2_PING:
    case NGHTTP2_WINDOW_UPDATE:
      return 0;
    default:
      QIR_LOG_I("RECV FRAME(%d)!...", frame->hd.type);
      return 0;
  }
}

void CQIRHttp2Response::OnFrameSend(const nghttp2_frame* frame) {
  CQIRHTTP2SRVMetrics::Sent(frame, transport_.UsesTLS(), isUpgrade_, requestMap_);
  if (frame->hd.type == NGHTTP2_PUSH_PROMISE) {
    QIR_LOG_I("PUSH_PROMISE");
  } else if (frame->hd.type == NGHTTP2_PING && G_QIR_HTTP2_DETAIL_LOG) {
    if (frame->hd.flags & NGHTTP2_FLAG_ACK) {
      QIR_LOG_I("SEND PING ACK");
    } else {
      QIR_LOG_I("SEND PING");
    }
  }
}

void CQIRHttp2Response::OnStreamClose(int32_t id, uint32_t) {
  DeleteHttp2StreamData(id);
  CloseResponse(id);
  if (requestMap_.empty() && responseMap_.empty()) idleSince_ = Clock::now();
}

bool CQIRHttp2Response::CreateHttp2StreamData(int32_t id) {
  if (requestPool_.Available() == 0) {
    QIR_LOG_W("conn(%s) stream buffer full!...%d %lu..try more allocate", name_.c_str(), id,
              static_cast<unsigned long>(requestMap_.size()));
  }
  CQIRHttp2StreamData* stream = requestPool_.Take(true);
  if (stream == nullptr) {
    QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
    return false;
  }
  stream->New(id);
  if (!requestMap_.emplace(id, stream).second) {
    QIR_LOG_E("conn(%s) stream_id(%d) duplicate!....", name_.c_str(), id);
    requestPool_.Give(stream);
    return false;
  }
  if (options_.nRequestTimeout_ != 0) {
    requestDue_ =
        std::min(requestDue_, stream->GetBegun() + std::chrono::seconds(options_.nRequestTimeout_));
  }
  return true;
}

bool CQIRHttp2Response::OnRequestRecv(int32_t id) {
  auto it = requestMap_.find(id);
  if (it == requestMap_.end()) {
    QIR_LOG_E("conn(%s) stream_id(%d) not found...", name_.c_str(), id);
    return false;
  }
  it->second->SetComplete();
  if (it->second->GetError() != 0) QIR_HTTP2SRV_METRIC(QIR_M_BODY_OVER_LIMIT);
  // Every stream within the advertised limit is served; nghttp2 refuses the
  // ones beyond it once our SETTINGS are acknowledged, this catches those
  // opened before.
  if (requestMap_.size() > options_.nMaxConcurrentStream_) {
    QIR_LOG_W("Too many request automatic response...");
    QIR_HTTP2SRV_METRIC(QIR_M_AUTO_429);
    {
      CQIRLockGuard guard(mutexC_);
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
  int rv = nghttp2_submit_response(core_.Get(), id, &nv, 1, nullptr);
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
  QIR_HTTP2SRV_METRIC(QIR_M_RESET_BY_PEER);
  if (user_callback_ != nullptr && IsRequestExist(id)) {
    user_callback_(2, id, static_cast<int>(code), this, user_callback_args_);
  }
  CQIRLockGuard guard(mutexC_);
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
  requestPool_.Give(stream);
}

void CQIRHttp2Response::CloseResponse(int32_t id) {
  auto it = responseMap_.find(static_cast<uint32_t>(id));
  if (it == responseMap_.end()) return;
  QIR_ST_HTTP2_RESPONSE* res = it->second.res;
  responseMap_.erase(it);
  CQIRLockGuard guard(mutexQ_);
  responsePool_.Give(res);
}

// A response whose body has not moved for nSendStallTimeout_ seconds (the
// peer keeps its flow-control window shut) is reset: its record would
// otherwise stay taken for as long as the peer likes.
void CQIRHttp2Response::ResetStalledResponses() {
  if (options_.nSendStallTimeout_ == 0 || responseMap_.empty()) return;
  Clock::time_point now = Clock::now();
  if (now - lastStallCheck_ < std::chrono::seconds(1)) return;
  lastStallCheck_ = now;
  const std::chrono::seconds limit(options_.nSendStallTimeout_);
  for (auto& it : responseMap_) {
    Sending& s = it.second;
    if (s.res->payload_.rSize_ >= s.res->payload_.size_) continue;
    if (s.res->payload_.rSize_ != s.taken) {
      s.taken = s.res->payload_.rSize_;
      s.since = now;
    } else if (now - s.since >= limit) {
      QIR_LOG_W("conn(%s) stream(%d) response stalled %u seconds...reset", name_.c_str(),
                static_cast<int>(it.first), options_.nSendStallTimeout_);
      nghttp2_submit_rst_stream(core_.Get(), NGHTTP2_FLAG_NONE, static_cast<int32_t>(it.first),
                                NGHTTP2_CANCEL);
      s.since = now;
    }
  }
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
  int n = core_.WaitEvent(IsSendDataExist() ? 0 : 10);
  if (n < 0 || (n == 1 && !ProcEvent())) return -1;
  return GetRequest(req);
}

int CQIRHttp2Response::Response(const QIR_ST_HTTP2_RESPONSE* res, bool wait) {
  int state = GetState();
  if (state == QIR_HTTP2_CONN_STATE_INIT || state == QIR_HTTP2_CONN_STATE_CLOSE) return -3;

  QIR_ST_HTTP2_RESPONSE* rec = nullptr;
  // The clock is read only once the pool has run dry: most answers find a
  // record at once.
  Clock::time_point start;
  bool waiting = false;
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
      rec = responsePool_.Take();
    }
    if (rec != nullptr) break;
    if (!wait) {
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
      return 0;
    }
    if (!waiting) {
      start = Clock::now();
      waiting = true;
    } else if (Clock::now() - start > std::chrono::seconds(1)) {
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
  // A body beyond the limit is not copied at all: PrepareResponse fails the
  // session on its size before anything is sent. The record's buffer takes
  // the size of each body, so a pooled record holds no more than it last
  // needed.
  if (res->payload_.size_ > 0 && res->payload_.size_ <= options_.nMaxPayloadSize_) {
    char* data = static_cast<char*>(realloc(rec->payload_.data_, res->payload_.size_));
    if (data == nullptr) {
      CQIRLockGuard guard(mutexQ_);
      responsePool_.Give(rec);
      SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
      QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
      return -3;
    }
    rec->payload_.data_ = data;
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
      responseMap_.emplace(id, Sending{res, 0, Clock::now()});
      return 1;
    }
  }
  CQIRLockGuard guard(mutexQ_);
  responsePool_.Give(res);
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
    provider.read_callback = CQIRHttp2Session::ReadBody;
    pprovider = &provider;
  }
  int rv = nghttp2_submit_response(core_.Get(), res->streamId_, res->hdrs_, static_cast<size_t>(n),
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
  int rv = nghttp2_submit_rst_stream(core_.Get(), NGHTTP2_FLAG_NONE, id, NGHTTP2_INTERNAL_ERROR);
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
  CQIRHttp2StreamData* stream = requestPool_.Take();
  if (stream == nullptr) {
    QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
    return false;
  }
  stream->New(1);
  for (const auto& field : hdr) stream->AddRequestHeader(field.first, field.second);
  if (len > 0) stream->SetRequestPayload(body, len);
  stream->SetComplete();
  if (!requestMap_.emplace(1, stream).second) {
    QIR_LOG_E("conn(%s) stream_id(%d) duplicate!....", name_.c_str(), 1);
    stream->Reset();
    requestPool_.Give(stream);
    return false;
  }
  // Handed over once the client's SETTINGS show that it speaks HTTP/2: an
  // answer written right behind the 101 can reach a client still reading
  // HTTP/1.1, which may fail on it.
  upgradeHeld_ = true;
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
  return static_cast<int>(options_.nMaxConcurrentStream_) -
         static_cast<int>(responsePool_.Available());
}

size_t CQIRHttp2Response::GetResponsePoolSize() {
  CQIRLockGuard guard(mutexQ_);
  return responsePool_.Available();
}

int CQIRHttp2Response::Get429ResponseCount() {
  CQIRLockGuard guard(mutexC_);
  int n = auto429ResponseCount_;
  auto429ResponseCount_ = 0;
  return n;
}

int CQIRHttp2Response::GetCancelCount() {
  CQIRLockGuard guard(mutexC_);
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
            static_cast<unsigned long>(responsePool_.Available()));
  if (!requestMap_.empty()) QIR_LOG_I("REMAIN %d", requestMap_.begin()->first);
}
