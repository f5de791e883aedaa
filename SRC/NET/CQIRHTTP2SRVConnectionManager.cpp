#include "CQIRHTTP2SRVConnectionManager.h"

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVThreadManager.h"
#include "CQIRHttp2Session.h"
#include "CQIRServiceLog.h"

#include <string.h>
#include <unistd.h>

#include <new>

namespace {

constexpr double kGarbageDelaySec = 10.0;

}  // namespace

CQIRHTTP2SRVConnectionManager::CQIRHTTP2SRVConnectionManager()
    : tmgr_(nullptr), connId_(0), callbacks_(nullptr), conMap_(10),
      garbageDelay_(kGarbageDelaySec) {}

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
  ClearGarbage();
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

  CQIRLockGuard guard(mutex_);
  conMap_[id] = conn;
  if (tmgr_ == nullptr || !tmgr_->Assign(conn)) {
    conMap_.erase(id);
    QIR_LOG_E("conn(%s) no worker thread to serve it!..", conn->GetName());
    delete conn;
    return false;
  }
  DeleteGarbage();
  QIR_LOG_I("conn(%s) created...fd=%d,conn-id=%d", conn->GetName(), _fd, static_cast<int>(id));
  return true;
}

void CQIRHTTP2SRVConnectionManager::DeleteConnection(CQIRHTTP2SRVConnection* _conn) {
  CQIRLockGuard guard(mutex_);
  int32_t id = static_cast<int32_t>(_conn->GetConnId());
  QIR_HTTP2SRV_CONNID_MAP::iterator it = conMap_.find(id);
  if (it == conMap_.end() || it->second != _conn) {
    // Parking it again would destroy it twice.
    QIR_LOG_W("Wrong...connection(%s-%d) not found!...", _conn->GetName(), static_cast<int>(id));
    return;
  }
  if (callbacks_ != nullptr && callbacks_->onDisconnect_) callbacks_->onDisconnect_(id);
  conMap_.erase(it);
  _conn->Close();
  _conn->Release();  // buffers and socket now; the object itself after the delay
  CQIRHttp2Session::NoteFreedMemory();
  garbages_.emplace_back(std::chrono::system_clock::now(), _conn);
  DeleteGarbage();
  QIR_LOG_I("conn(%s) removed...", _conn->GetName());
}

bool CQIRHTTP2SRVConnectionManager::SearchConnection(int32_t _connId,
                                                     CQIRHTTP2SRVConnection** _conn) {
  CQIRLockGuard guard(mutex_);
  QIR_HTTP2SRV_CONNID_MAP::iterator it = conMap_.find(_connId);
  if (it == conMap_.end()) {
    QIR_LOG_E("Wrong...connection(%d) not found!...", static_cast<int>(_connId));
    return false;
  }
  *_conn = it->second;
  return true;
}

void CQIRHTTP2SRVConnectionManager::DeleteGarbage() {
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  int removed = 0;
  while (!garbages_.empty()) {
    std::chrono::duration<double> age = now - garbages_.front().first;
    if (age.count() <= garbageDelay_) break;
    CQIRHTTP2SRVConnection* conn = garbages_.front().second;
    conn->Close();
    delete conn;
    garbages_.erase(garbages_.begin());
    ++removed;
  }
  if (removed > 0) {
    // The objects' memory goes back to the system too, not only their
    // buffers' at release time.
    CQIRHttp2Session::NoteFreedMemory();
    QIR_LOG_I("garbage connection %d removed...", removed);
  }
}

void CQIRHTTP2SRVConnectionManager::CollectGarbage() {
  {
    CQIRLockGuard guard(mutex_);
    DeleteGarbage();
  }
  CQIRHttp2Session::GiveBackMemory();
}

void CQIRHTTP2SRVConnectionManager::ClearGarbage() {
  CQIRLockGuard guard(mutex_);
  for (QIR_HTTP2SRV_CONN_GARBAGES::value_type& entry : garbages_) delete entry.second;
  garbages_.clear();
}

int CQIRHTTP2SRVConnectionManager::GetConnectionCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(conMap_.size());
}

int CQIRHTTP2SRVConnectionManager::GetGarbageCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(garbages_.size());
}
