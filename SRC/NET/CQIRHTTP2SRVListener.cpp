#include "CQIRHTTP2SRVListener.h"

#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRServiceLog.h"
#include "CQIRSocketNew.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

namespace {

constexpr int kAcceptWaitMs = 100;
constexpr int kMaxListenEvents = 16;

}  // namespace

CQIRHTTP2SRVListener::CQIRHTTP2SRVListener()
    : ssl_ctx_(nullptr), epfd_(-1), isUpgrade_(false), cmgr_(nullptr) {}

CQIRHTTP2SRVListener::~CQIRHTTP2SRVListener() { Finalize(); }

bool CQIRHTTP2SRVListener::Initialize(CQIRHTTP2SRVConnectionManager* _cmgr, SSL_CTX* _ctx,
                                      bool _isUpgrade) {
  CQIRLockGuard pass(passMutex_);
  if (epfd_ < 0) epfd_ = epoll_create(1);
  if (epfd_ < 0) {
    QIR_LOG_I("[%d-%s]epoll_create() system call error.", errno, strerror(errno));
    return false;
  }
  cmgr_ = _cmgr;
  ssl_ctx_ = _ctx;
  isUpgrade_ = _isUpgrade;
  return true;
}

bool CQIRHTTP2SRVListener::AddListener(const std::string& _protocol, int _family, int _port) {
  CQIRLockGuard guard(mutex_);
  if (_port <= 0 || _port > 65535) {
    QIR_LOG_E("Invalid listen-port(%d)", _port);
    return false;
  }
  for (CQIRHTTP2SRVConnectionInfo* info : listeners_) {
    if (info->port_ == _port && info->family_ != _family) {
      QIR_LOG_E("listen port(%d) ipv4/v6 crashed!...", _port);
      return false;
    }
  }
  CQIRHTTP2SRVConnectionInfo* info = nullptr;
  if (_protocol == "https") {
    if (ssl_ctx_ == nullptr) {
      QIR_LOG_E("PANIC::protocol is https but SSL_CONTEXT null!..");
      return false;
    }
    info = new (std::nothrow) CQIRHTTP2SRVConnectionInfo(_protocol, _port, ssl_ctx_);
  } else {
    info = new (std::nothrow) CQIRHTTP2SRVConnectionInfo(_protocol, _port, isUpgrade_);
  }
  if (info == nullptr) {
    QIR_LOG_E("memory allocate failed...");
    return false;
  }
  info->family_ = _family;
  listeners_.push_back(info);
  return true;
}

bool CQIRHTTP2SRVListener::DoEvent() { return Accept(kAcceptWaitMs); }

bool CQIRHTTP2SRVListener::Set() {
  CQIRLockGuard guard(mutex_);
  for (CQIRHTTP2SRVConnectionInfo* info : listeners_) {
    if (info->action_ == CQIRHTTP2SRVConnectionInfo::QIR_LISTEN_OPEN) continue;
    int fd = CQIRSocketNew::LISTEN(info->family_, info->port_, nullptr);
    if (fd < 1) {
      QIR_LOG_I("[%d-%s]listen() failed...", errno, strerror(errno));
      return false;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN | EPOLLOUT | EPOLLERR;
    ev.data.ptr = info;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) < 0) {
      QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
      close(fd);
      return false;
    }
    CQIRSocketNew::SET_NONBLOCK(fd);
    info->fd_ = fd;
    info->action_ = CQIRHTTP2SRVConnectionInfo::QIR_LISTEN_OPEN;
    QIR_LOG_I("Start listening...(port=%5d,fd=%d)", info->port_, fd);
  }
  return true;
}

bool CQIRHTTP2SRVListener::Accept(int _timeout) {
  CQIRLockGuard pass(passMutex_);
  if (epfd_ < 0) return false;  // finalized (the server is stopping)
  struct epoll_event events[kMaxListenEvents];
  int n;
  for (;;) {
    if (!Set()) return false;
    n = epoll_wait(epfd_, events, kMaxListenEvents, _timeout);
    if (n >= 0) break;
    if (errno != EINTR) {
      QIR_LOG_I("[%d-%s]epoll_wait() failed!...", errno, strerror(errno));
      return false;
    }
  }
  for (int i = 0; i < n; ++i) {
    DoEventAccept(static_cast<CQIRHTTP2SRVConnectionInfo*>(events[i].data.ptr));
  }
  return true;
}

bool CQIRHTTP2SRVListener::DoEventAccept(CQIRHTTP2SRVConnectionInfo* _info) {
  char ip[256] = {0};
  char host[256] = {0};
  int fd = CQIRSocketNew::ACCEPT(_info->fd_, -1, ip, host);
  if (fd < 1) return false;
  _info->ip_ = ip;
  _info->host_ = host;
  QIR_LOG_I("listen port[%d] just connected...(from=%s,host=%s,fd=%d)", _info->port_, ip, host,
            fd);
  // The connection manager owns the socket from here, failure included.
  if (cmgr_ == nullptr) {
    close(fd);
    return false;
  }
  return cmgr_->CreateConnection(_info, fd);
}

void CQIRHTTP2SRVListener::ClearRecords() {
  CQIRLockGuard guard(mutex_);
  for (CQIRHTTP2SRVConnectionInfo* info : listeners_) {
    if (info->fd_ > 0) {
      if (epfd_ >= 0 && epoll_ctl(epfd_, EPOLL_CTL_DEL, info->fd_, nullptr) < 0) {
        QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
      }
      close(info->fd_);
      info->fd_ = -1;
    }
    delete info;
  }
  listeners_.clear();
}

void CQIRHTTP2SRVListener::Clear() {
  CQIRLockGuard pass(passMutex_);
  ClearRecords();
}

void CQIRHTTP2SRVListener::Finalize() {
  CQIRLockGuard pass(passMutex_);
  ClearRecords();
  if (epfd_ >= 0) {
    close(epfd_);
    epfd_ = -1;
  }
}

int CQIRHTTP2SRVListener::GetListenerCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(listeners_.size());
}
