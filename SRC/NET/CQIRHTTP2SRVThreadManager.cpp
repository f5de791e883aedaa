#include "CQIRHTTP2SRVThreadManager.h"

#include "CQIRHTTP2SRVThread.h"
#include "CQIRServiceLog.h"

#include <new>

CQIRHTTP2SRVThreadManager::CQIRHTTP2SRVThreadManager() : balanceIndex_(0) {}

// A pool destroyed without Stop would leave threads running over freed
// objects; stopping here is cheap when they have stopped already.
CQIRHTTP2SRVThreadManager::~CQIRHTTP2SRVThreadManager() {
  Stop();
  Finalize();
}

bool CQIRHTTP2SRVThreadManager::Initialize(int _poolSize, CQIRHTTP2SRVConnectionManager* _cmgr,
                                           QIR_HTTP2SRV_CALLBACKS* _callbacks) {
  if (_poolSize < 1) {
    QIR_LOG_E("thread pool size(%d) invalid...", _poolSize);
    return false;
  }
  for (int i = 0; i < _poolSize; ++i) {
    CQIRHTTP2SRVThread* t = new (std::nothrow) CQIRHTTP2SRVThread();
    if (t == nullptr) {
      QIR_LOG_E("memory allocate failed...");
      return false;
    }
    if (!t->Initialize(i, _cmgr, _callbacks)) {
      delete t;
      return false;
    }
    threads_.push_back(t);
  }
  return true;
}

void CQIRHTTP2SRVThreadManager::Finalize() {
  for (CQIRHTTP2SRVThread* t : threads_) delete t;
  threads_.clear();
  balanceIndex_ = 0;
}

bool CQIRHTTP2SRVThreadManager::Start() {
  for (CQIRHTTP2SRVThread* t : threads_) {
    if (!t->Activate()) {
      Stop();
      return false;
    }
  }
  return true;
}

void CQIRHTTP2SRVThreadManager::Stop() {
  for (CQIRHTTP2SRVThread* t : threads_) t->Deactivate();
}

bool CQIRHTTP2SRVThreadManager::Assign(CQIRHTTP2SRVConnection* _conn) {
  if (threads_.empty()) return false;
  if (balanceIndex_ < 0 || balanceIndex_ >= static_cast<int>(threads_.size())) balanceIndex_ = 0;
  threads_[balanceIndex_]->AddConnection(_conn);
  balanceIndex_ = (balanceIndex_ + 1) % static_cast<int>(threads_.size());
  return true;
}

void CQIRHTTP2SRVThreadManager::GetMonitor(std::string& _report) {
  for (CQIRHTTP2SRVThread* t : threads_) t->GetMonitor(_report);
}

void CQIRHTTP2SRVThreadManager::SetExitReserved() {
  for (CQIRHTTP2SRVThread* t : threads_) t->SetExitReserved();
}

int CQIRHTTP2SRVThreadManager::GetRemainMessages() {
  int sum = 0;
  for (CQIRHTTP2SRVThread* t : threads_) sum += t->GetRemainMessages();
  return sum;
}

bool CQIRHTTP2SRVThreadManager::IsNoProblem() {
  for (CQIRHTTP2SRVThread* t : threads_) {
    if (!t->IsActive()) {
      QIR_LOG_E("some working thread down...");
      return false;
    }
  }
  return true;
}
