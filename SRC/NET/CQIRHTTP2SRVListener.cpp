#include "CQIRHTTP2SRVListener.h"

#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHTTP2SRVMetrics.h"
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
// Sockets accepted from one listening socket per pass: a burst of clients
// is taken in quickly without starving the other port.
constexpr int kAcceptBurst = 64;
constexpr int kDefaultMaxConnections = 1024;
// Out of descriptors, accepting again at once only fails again (the
// listening socket stays readable): the pause starts at the lower bound
// and doubles while the shortage lasts.
constexpr int kPauseMinMs = 100;
constexpr int kPauseMaxMs = 500;
constexpr uint32_t kListenEvents = EPOLLIN | EPOLLOUT | EPOLLERR;

}  // namespace

CQIRHTTP2SRVListener::CQIRHTTP2SRVListener()
    : ssl_ctx_(nullptr),
      epfd_(-1),
      isUpgrade_(false),
      cmgr_(nullptr),
      nextSetup_(0),
      setupWatched_(false),
      maxConnections_(kDefaultMaxConnections),
      paused_(false),
      pauseMs_(kPauseMinMs),
      refusals_(0) {}

CQIRHTTP2SRVListener::~CQIRHTTP2SRVListener() { Finalize(); }

bool CQIRHTTP2SRVListener::Initialize(CQIRHTTP2SRVConnectionManager* _cmgr, SSL_CTX* _ctx,
                                      bool _isUpgrade, int _setupThreads) {
  CQIRLockGuard pass(passMutex_);
  if (epfd_ < 0) epfd_ = epoll_create(1);
  if (epfd_ < 0) {
    QIR_LOG_I("[%d-%s]epoll_create() system call error.", errno, strerror(errno));
    return false;
  }
  cmgr_ = _cmgr;
  ssl_ctx_ = _ctx;
  isUpgrade_ = _isUpgrade;
  if (setups_.empty()) {
    const int count = _setupThreads < 1 ? 1 : _setupThreads;
    for (int i = 0; i < count; ++i) {
      setups_.emplace_back(new (std::nothrow) CQIRHTTP2SRVSetupThread());
      if (!setups_.back()) {
        setups_.pop_back();
        QIR_LOG_E("memory allocate failed...");
        return false;
      }
    }
  }
  const uint32_t maxPayload = cmgr_ != nullptr ? cmgr_->GetMaxPayloadSize() : 0;
  for (auto& setup : setups_) {
    if (!setup->Initialize(maxPayload)) return false;
  }
  if (!setupWatched_) {
    for (auto& setup : setups_) {
      struct epoll_event ev;
      memset(&ev, 0, sizeof(ev));
      ev.events = EPOLLIN;
      ev.data.ptr = nullptr;  // no listen record: a set-up stage's ready signal
      if (epoll_ctl(epfd_, EPOLL_CTL_ADD, setup->GetReadyFd(), &ev) < 0) {
        QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
        return false;
      }
    }
    setupWatched_ = true;
  }
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
  for (auto& setup : setups_) {
    if (!setup->IsActive() && !setup->Activate()) {
      QIR_LOG_E("connection set-up thread not started...");
      return false;
    }
  }
  for (CQIRHTTP2SRVConnectionInfo* info : listeners_) {
    if (info->action_ == CQIRHTTP2SRVConnectionInfo::QIR_LISTEN_OPEN) continue;
    int fd = CQIRSocketNew::LISTEN(info->family_, info->port_, nullptr);
    if (fd < 1) {
      // The server cannot serve this port: an operator must see why.
      const int err = errno;
      QIR_LOG_E("[%d-%s]listen() failed...(port=%d)", err, strerror(err), info->port_);
      return false;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = paused_ ? 0 : kListenEvents;
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
  ResumeAccepts();
  for (;;) {
    if (!Set()) return false;
    n = epoll_wait(epfd_, events, kMaxListenEvents, _timeout);
    if (n >= 0) break;
    if (errno != EINTR) {
      QIR_LOG_I("[%d-%s]epoll_wait() failed!...", errno, strerror(errno));
      return false;
    }
  }
  bool ready = false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.ptr == nullptr) {
      ready = true;
    } else {
      DoEventAccept(static_cast<CQIRHTTP2SRVConnectionInfo*>(events[i].data.ptr));
    }
  }
  if (ready) DoEventReady();
  // Memory freed by removals goes back even when no connection comes or goes.
  if (cmgr_ != nullptr) cmgr_->GiveBackMemory();
  return true;
}

// Accepts what is waiting, up to a burst. The peer's name is not looked up:
// the address text stands for it in the log line and the connection.
bool CQIRHTTP2SRVListener::DoEventAccept(CQIRHTTP2SRVConnectionInfo* _info) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    char ip[QIR_SOCKET_IP_SIZE] = {0};
    int fd = CQIRSocketNew::ACCEPT_QUIET(_info->fd_, ip);
    if (fd == 0) return true;
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) {
        PauseAccepts(errno);
        return true;
      }
      QIR_LOG_I("[%d-%s]accept() failed!..", errno, strerror(errno));
      return false;
    }
    pauseMs_ = kPauseMinMs;
    QIR_LOG_I("listen port[%d] just connected...(from=%s,host=%s,fd=%d)", _info->port_, ip, ip,
              fd);
    if (cmgr_ == nullptr) {
      close(fd);
      return false;
    }
    int live = cmgr_->GetConnectionCount() + GetPendingCount();
    if (live >= maxConnections_) {
      QIR_LOG_W("listen port[%d] connection limit(%d) reached...fd=%d closed", _info->port_,
                maxConnections_, fd);
      QIR_HTTP2SRV_METRIC(QIR_M_CONN_REFUSED);
      close(fd);
      continue;
    }
    QIR_HTTP2SRV_METRIC(QIR_M_CONN_ACCEPTED);
    _info->ip_ = ip;
    _info->host_ = ip;
    int32_t id = cmgr_->NextConnId();
    if (_info->ssl_ctx_ != nullptr || _info->isUpgrade_) {
      QIR_HTTP2SRV_SETUP* setup = new (std::nothrow) QIR_HTTP2SRV_SETUP(*_info, fd, id);
      if (setup == nullptr) {
        QIR_LOG_E("memory allocate failed...");
        close(fd);
        continue;
      }
      setups_[nextSetup_]->Add(setup);
      nextSetup_ = (nextSetup_ + 1) % setups_.size();
    } else {
      // Plain HTTP/2 with the connection preface: nothing to wait for.
      cmgr_->CreateConnection(_info, fd, id, nullptr);
    }
  }
  return true;
}

// The listening sockets stay registered but ask for nothing until the
// pause is over; the clients wait in the backlog meanwhile.
void CQIRHTTP2SRVListener::PauseAccepts(int _errno) {
  Clock::time_point now = Clock::now();
  ++refusals_;
  if (now - lastRefusalLog_ >= std::chrono::seconds(1)) {
    QIR_LOG_W("[%d-%s]accept() failed!..out of descriptors %d time(s)...accepting again in %d ms",
              _errno, strerror(_errno), refusals_, pauseMs_);
    lastRefusalLog_ = now;
    refusals_ = 0;
  }
  pausedUntil_ = now + std::chrono::milliseconds(pauseMs_);
  pauseMs_ = pauseMs_ * 2 > kPauseMaxMs ? kPauseMaxMs : pauseMs_ * 2;
  paused_ = true;
  SetListenEvents(0);
}

void CQIRHTTP2SRVListener::ResumeAccepts() {
  if (!paused_ || Clock::now() < pausedUntil_) return;
  paused_ = false;
  SetListenEvents(kListenEvents);
}

void CQIRHTTP2SRVListener::SetListenEvents(uint32_t _events) {
  CQIRLockGuard guard(mutex_);
  for (CQIRHTTP2SRVConnectionInfo* info : listeners_) {
    if (info->fd_ <= 0 || info->action_ != CQIRHTTP2SRVConnectionInfo::QIR_LISTEN_OPEN) continue;
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = _events;
    ev.data.ptr = info;
    if (epoll_ctl(epfd_, EPOLL_CTL_MOD, info->fd_, &ev) < 0) {
      QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    }
  }
}

// Every stage is asked: their signals share one epoll tag, and a stage
// with nothing ready costs one eventfd read.
void CQIRHTTP2SRVListener::DoEventReady() {
  std::vector<QIR_HTTP2SRV_SETUP*> ready;
  for (auto& setup : setups_) {
    setup->TakeReady(ready);
    for (QIR_HTTP2SRV_SETUP* s : ready) {
      settingUpPeer_ = &s->info_.peer_;
      cmgr_->CreateConnection(&s->info_, s->fd_, s->connId_, s->ssl_);
      settingUpPeer_ = nullptr;
      delete s;
    }
    ready.clear();
  }
}

int CQIRHTTP2SRVListener::GetPendingCount() const {
  int pending = 0;
  for (const auto& setup : setups_) pending += setup->GetPendingCount();
  return pending;
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
  for (auto& setup : setups_) setup->Finalize();
  setupWatched_ = false;
  if (epfd_ >= 0) {
    close(epfd_);
    epfd_ = -1;
  }
}

int CQIRHTTP2SRVListener::GetListenerCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(listeners_.size());
}
