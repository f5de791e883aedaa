#include "CQIRHTTP2SRVConnection.h"

#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRHTTP2SRVThread.h"
#include "CQIRHttp2Response.h"
#include "CQIRServiceLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

CQIRHTTP2SRVConnection::CQIRHTTP2SRVConnection()
    : fd_(-1),
      port_(0),
      type_(0),
      ssl_ctx_(nullptr),
      isUpgrade_(false),
      syncPayload_(0),
      conn_(nullptr),
      handshaked_(nullptr),
      worker_(nullptr),
      callbacks_(nullptr),
      connId_(-1),
      isDisconnect_(false),
      doExit_(false),
      socketOwned_(false),
      watchOut_(false),
      ready_(false),
      due_(std::chrono::steady_clock::time_point::max()) {}

CQIRHTTP2SRVConnection::~CQIRHTTP2SRVConnection() { Finalize(); }

bool CQIRHTTP2SRVConnection::Initialize(CQIRHTTP2SRVConnectionInfo* _info, int _fd,
                                        int32_t _connId, QIR_HTTP2SRV_CALLBACKS* _callbacks) {
  connId_ = _connId;
  ip_ = _info->ip_;
  host_ = _info->host_;
  port_ = _info->port_;
  protocol_ = _info->protocol_;
  ssl_ctx_ = _info->ssl_ctx_;
  isUpgrade_ = _info->isUpgrade_;
  fd_ = _fd;
  callbacks_ = _callbacks;
  return true;
}

bool CQIRHTTP2SRVConnection::CreateConnection(QIR_ST_HTTP2_OPTIONS* _options) {
  char name[256];
  snprintf(name, sizeof(name), "%s://%s:%d:%d", protocol_.c_str(), ip_.c_str(), port_,
           static_cast<int>(connId_));
  name_ = name;

  conn_ = new (std::nothrow) CQIRHttp2Response();
  if (conn_ == nullptr) {
    QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
    return false;
  }
  bool ok = conn_->Initialize(name, _options);
  if (ok) {
    // From here on the engine owns the socket, whatever Accept returns.
    socketOwned_ = true;
    std::string ip(ip_);
    // The worker thread owns the epoll set: event mode, no wait of its own.
    if (handshaked_ != nullptr) {
      SSL* ssl = handshaked_;
      handshaked_ = nullptr;
      ok = conn_->AcceptHandshaked(fd_, &ip[0], port_, ssl, true);
    } else if (isUpgrade_) {
      ok = conn_->Accept(fd_, &ip[0], port_, true);
    } else {
      ok = conn_->Accept(fd_, &ip[0], port_, ssl_ctx_, true);
    }
  }
  // 0 asks the engine for its default payload limit (1024 bytes).
  syncPayload_ = (_options->nMaxPayloadSize_ != 0) ? _options->nMaxPayloadSize_ : 1024;
  if (!ok) {
    delete conn_;  // closes the socket when it had taken it over
    conn_ = nullptr;
    return false;
  }
  doExit_.store(false);
  return true;
}

int CQIRHTTP2SRVConnection::Answer503(const QIR_ST_HTTP2_REQUEST_RECV& _req) {
  if (!ClearSyncAnswer(_req.streamId_)) return -1;
  snprintf(syncRes_->rs_, sizeof(syncRes_->rs_), "%03d", 503);
  QIR_HTTP2SRV_METRIC(QIR_M_AUTO_503);
  int r = conn_->Response(syncRes_.get(), false);
  if (r != 1) {
    QIR_LOG_E("conn(%s) response failed...cause(%d)", conn_->GetName(), r);
    return -1;
  }
  return 0;
}

// The record is reused for every request of the connection: what the
// previous answer added (headers, status, body size) must not carry over.
// It is made with the first answer: an idle connection holds none.
bool CQIRHTTP2SRVConnection::ClearSyncAnswer(int32_t _streamId) {
  if (!syncRes_) {
    std::unique_ptr<QIR_ST_HTTP2_RESPONSE> res(new (std::nothrow) QIR_ST_HTTP2_RESPONSE());
    if (res) res->payload_.data_ = static_cast<char*>(malloc(syncPayload_));
    if (!res || res->payload_.data_ == nullptr) {
      QIR_LOG_E("conn(%s) memory allocate failed...", name_.c_str());
      return false;
    }
    syncRes_ = std::move(res);
  }
  syncRes_->messageId_ = 0;
  syncRes_->streamId_ = _streamId;
  snprintf(syncRes_->rs_, sizeof(syncRes_->rs_), "%03d", 200);
  syncRes_->hdr_.clear();
  syncRes_->payload_.size_ = 0;
  syncRes_->payload_.rSize_ = 0;
  syncRes_->error_ = 0;
  return true;
}

int CQIRHTTP2SRVConnection::HandOver(bool _preferAsync) {
  QIR_ST_HTTP2_REQUEST_RECV req;
  req.streamId_ = -1;
  req.hdr_ = nullptr;
  req.size_ = 0;
  req.data_ = nullptr;
  req.error_ = 0;
  int r = conn_->Request(&req);
  if (r == 0) return 0;
  if (r < 0) return -1;
  // The engine's buffer keeps one byte behind the body for this.
  if (req.data_ != nullptr) req.data_[req.size_] = '\0';

  bool haveSync = callbacks_ != nullptr && static_cast<bool>(callbacks_->onRequest_);
  bool haveAsync = callbacks_ != nullptr && static_cast<bool>(callbacks_->onAsyncRequest_);
  bool useAsync = haveAsync && (_preferAsync || !haveSync);
  if (useAsync) {
    if (doExit_.load()) return Answer503(req) == 0 ? 1 : -1;
    int count429 = conn_->Get429ResponseCount();
    int cancelCount = conn_->GetCancelCount();
    callbacks_->onAsyncRequest_(connId_, count429, cancelCount, &req);
    return 1;
  } else if (haveSync) {
    if (!ClearSyncAnswer(req.streamId_)) return -1;
    callbacks_->onRequest_(connId_, &req, syncRes_.get());
    conn_->Response(syncRes_.get(), false);
  }
  return 1;
}

// Every complete request goes now: they are all in the engine already, and
// the socket will not report them again.
int CQIRHTTP2SRVConnection::HandOverAll(bool _preferAsync) {
  int r;
  do {
    r = HandOver(_preferAsync);
  } while (r == 1);
  return r;
}

int CQIRHTTP2SRVConnection::ProcEventPre() {
  if (conn_ == nullptr) return -1;
  if (conn_->ProcEventPre() == -1) return -1;
  return HandOverAll(false);
}

int CQIRHTTP2SRVConnection::ProcEvent() {
  if (conn_ == nullptr) return -1;
  // A failure leaves the engine closed, which the hand-over reports.
  conn_->ProcEvent();
  return HandOverAll(true);
}

bool CQIRHTTP2SRVConnection::HasBufferedInput() const {
  return conn_ != nullptr && conn_->HasBufferedInput();
}

int CQIRHTTP2SRVConnection::Response(QIR_ST_HTTP2_RESPONSE* _res) {
  if (conn_ == nullptr) return -3;
  return conn_->Response(_res, false);
}

std::chrono::steady_clock::time_point CQIRHTTP2SRVConnection::NextDue() {
  if (conn_ == nullptr) return std::chrono::steady_clock::time_point::max();
  return conn_->NextDue();
}

bool CQIRHTTP2SRVConnection::WantWrite() { return conn_ != nullptr && conn_->WantWrite(); }

bool CQIRHTTP2SRVConnection::IsSendReserved() {
  return conn_ != nullptr && conn_->IsSendDataExist();
}

void CQIRHTTP2SRVConnection::SetEventError() {
  isDisconnect_.store(true);
  if (conn_ != nullptr)
    conn_->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR);
}

// The caller posts the connection to its worker, which removes it.
void CQIRHTTP2SRVConnection::SetDisconnect() {
  isDisconnect_.store(true);
  if (conn_ != nullptr)
    conn_->SetState(QIR_HTTP2_CONN_STATE_CLOSE, QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR);
}

void CQIRHTTP2SRVConnection::Close() {
  if (conn_ != nullptr) conn_->Disconnect();
}

int CQIRHTTP2SRVConnection::GetIncompleteCount() {
  if (isDisconnect_.load()) return 0;
  return conn_ == nullptr ? 0 : conn_->GetIncompleteCount();
}

void CQIRHTTP2SRVConnection::Finalize() {
  delete conn_;
  conn_ = nullptr;
  if (syncRes_) free(syncRes_->payload_.data_);
  syncRes_.reset();
  if (handshaked_ != nullptr) SSL_free(handshaked_);
  handshaked_ = nullptr;
}
