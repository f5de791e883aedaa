#include "CQIRHTTP2SRVConnectionManager.h"

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVThread.h"
#include "CQIRHTTP2SRVThreadManager.h"
#include "CQIRHttp2Session.h"
#include "CQIRServiceLog.h"

#include <string.h>
#include <unistd.h>

#include <new>
#include <string>

CQIRHTTP2SRVConnectionManager::CQIRHTTP2SRVConnectionManager()
    : tmgr_(nullptr), connId_(0), callbacks_(nullptr), conMap_(10) {}

CQIRHTTP2SRVConnectionManager::~CQIRHTTP2SRVConnectionManager() { Finalize(); }

bool CQIRHTTP2SRVConnectionManager::Initialize(CQIRHTTP2SRVThreadManager* _tmgr,
                                               QIR_HTTP2SRV_CALLBACKS* _callbacks,
                                               QIR_ST_HTTP2_OPTIONS* _options) {
  tmgr_ = _tmgr;
  callbacks_ = _callbacks;
  httpOpt_ = *_options;
  return true;
}

void CQIRHTTP2SRVConnectionManager::Finalize() {
  QIR_HTTP2SRV_CONNID_MAP live;
  {
    CQIRLockGuard guard(mutex_);
    live.swap(conMap_);
  }
  for (QIR_HTTP2SRV_CONNID_MAP::value_type& entry : live) {
    QIR_LOG_W("conn(%s) still registered at finalize...", entry.second->GetName());
    if (callbacks_ != nullptr && callbacks_->onDisconnect_) callbacks_->onDisconnect_(entry.first);
    delete entry.second;
  }
}

int32_t CQIRHTTP2SRVConnectionManager::NextConnId() {
  CQIRLockGuard guard(mutex_);
  return connId_++;
}

bool CQIRHTTP2SRVConnectionManager::CreateConnection(CQIRHTTP2SRVConnectionInfo* _info,
                                                     int _fd) {
  return CreateConnection(_info, _fd, NextConnId(), nullptr);
}

bool CQIRHTTP2SRVConnectionManager::CreateConnection(CQIRHTTP2SRVConnectionInfo* _info, int _fd,
                                                     int32_t _connId, SSL* _ssl) {
  const int32_t id = _connId;
  CQIRHTTP2SRVConnection* conn = new (std::nothrow) CQIRHTTP2SRVConnection();
  if (conn == nullptr) {
    QIR_LOG_E("memory allocate failed...");
    if (_ssl != nullptr) SSL_free(_ssl);
    close(_fd);
    return false;
  }
  conn->SetHandshaked(_ssl);  // owned by the connection from here
  if (!conn->Initialize(_info, _fd, id, callbacks_) || !conn->CreateConnection(&httpOpt_)) {
    // Once the session engine has taken the socket, destroying it closes
    // the socket; closing it here as well could close a descriptor that
    // another thread has been given meanwhile.
    bool owned = conn->IsSocketOwned();
    delete conn;
    if (!owned) close(_fd);
    return false;
  }

  bool accepted = true;
  if (callbacks_ != nullptr && callbacks_->onConnect_) {
    accepted = callbacks_->onConnect_(id, _info->protocol_.c_str(), _info->ip_.c_str(),
                                      _info->port_);
  }
  if (!accepted) {
    delete conn;
    QIR_LOG_E("user callback(onConnect) return false!..");
    return false;
  }

  {
    CQIRLockGuard guard(mutex_);
    conMap_[id] = conn;
    if (tmgr_ != nullptr && tmgr_->Assign(conn)) {
      QIR_LOG_I("conn(%s) created...fd=%d,conn-id=%d", conn->GetName(), _fd, static_cast<int>(id));
      return true;
    }
    conMap_.erase(id);
  }
  QIR_LOG_E("conn(%s) no worker thread to serve it!..", conn->GetName());
  // onConnect_ accepted it, so the application hears of its end as well.
  if (callbacks_ != nullptr && callbacks_->onDisconnect_) callbacks_->onDisconnect_(id);
  delete conn;
  return false;
}

void CQIRHTTP2SRVConnectionManager::DeleteConnection(CQIRHTTP2SRVConnection* _conn) {
  int32_t id = static_cast<int32_t>(_conn->GetConnId());
  {
    CQIRLockGuard guard(mutex_);
    QIR_HTTP2SRV_CONNID_MAP::iterator it = conMap_.find(id);
    if (it == conMap_.end() || it->second != _conn) {
      // Destroying it again would free it twice.
      QIR_LOG_W("Wrong...connection(%s-%d) not found!...", _conn->GetName(), static_cast<int>(id));
      return;
    }
    conMap_.erase(it);
  }
  // Unregistered: AsyncResponse reports the id as gone from here on, so
  // nothing else can reach the object any more.
  if (callbacks_ != nullptr && callbacks_->onDisconnect_) callbacks_->onDisconnect_(id);
  std::string name(_conn->GetName());
  _conn->Close();
  delete _conn;
  CQIRHttp2Session::NoteFreedMemory();
  QIR_LOG_I("conn(%s) removed...", name.c_str());
}

// The session is used under mutex_, which the connection's removal takes
// before destroying it; the worker is told after the lock is released (the
// workers outlive every AsyncResponse, which must not race with Stop).
int CQIRHTTP2SRVConnectionManager::Response(int32_t _connId, QIR_ST_HTTP2_RESPONSE* _res) {
  CQIRHTTP2SRVThread* worker = nullptr;
  int r;
  {
    CQIRLockGuard guard(mutex_);
    QIR_HTTP2SRV_CONNID_MAP::iterator it = conMap_.find(_connId);
    if (it == conMap_.end()) {
      QIR_LOG_E("Wrong...connection(%d) not found!...", static_cast<int>(_connId));
      return 1;
    }
    CQIRHTTP2SRVConnection* conn = it->second;
    r = conn->Response(_res);
    if (r == 0) conn->SetDisconnect();
    worker = conn->GetWorker();
  }
  if (worker != nullptr && (r == 1 || r == 0)) worker->Post(_connId);
  if (r == 1) return 0;
  if (r == 0) return 3;
  if (r == -3) return 2;
  return 4;
}

void CQIRHTTP2SRVConnectionManager::GiveBackMemory() { CQIRHttp2Session::GiveBackMemory(); }

int CQIRHTTP2SRVConnectionManager::GetConnectionCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(conMap_.size());
}
