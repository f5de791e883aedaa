#include "CQIRHTTP2SRVSetupThread.h"

#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRServiceLog.h"
#include "QIRCommonOpenSSL.h"
#include "QIRHttp2Upgrade.h"

#include <openssl/err.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace {

constexpr int kMaxEvents = 64;
constexpr int kUpgradeWaitMs = 1000;
constexpr int kStartWaitMs = 5000;
// Room for the request and its body in the socket's receive queue, so that a
// client never waits for a window while the stage waits for its body.
constexpr int kUpgradeRcvBuf = 256 * 1024;
// Handshakes that may hold a session at once, and how long one holds its
// slot at most. A loopback handshake under load ends within tens of ms; a
// slower peer keeps its session but frees its slot, so at least kSlots
// handshakes begin every kSlotMs whatever the peers do.
constexpr size_t kSlots = 100;
constexpr int kSlotMs = 100;

void Signal(int _fd) {
  uint64_t one = 1;
  ssize_t n = write(_fd, &one, sizeof(one));
  (void)n;  // the counter is only ever far from overflowing
}

void Drain(int _fd) {
  uint64_t count;
  ssize_t n = read(_fd, &count, sizeof(count));
  (void)n;  // EAGAIN: nothing to drain
}

// A lingering close waits this long at most for the peer to finish, and
// drops this much at most of what it still sends.
constexpr int kLingerMs = 2000;
constexpr size_t kLingerBytes = 1024 * 1024;

// The stage that takes lingering closes: the first one running.
std::mutex gLingerMutex;
CQIRHTTP2SRVSetupThread* gLingerStage = nullptr;  // guarded by gLingerMutex

// Content-Length of an HTTP/1.1 head; false when absent or not a plain
// decimal no greater than _limit (the session's upgrade code refuses those).
bool BodyLength(const char* _head, size_t _len, uint32_t _limit, size_t* _out) {
  static const char kField[] = "\r\ncontent-length:";
  const size_t fieldLen = sizeof(kField) - 1;
  for (size_t i = 0; i + fieldLen <= _len; ++i) {
    if (strncasecmp(_head + i, kField, fieldLen) != 0) continue;
    size_t p = i + fieldLen;
    while (p < _len && (_head[p] == ' ' || _head[p] == '\t')) ++p;
    unsigned long long v = 0;
    size_t digits = 0;
    for (; p < _len && _head[p] >= '0' && _head[p] <= '9' && digits < 11; ++p, ++digits) {
      v = v * 10 + static_cast<unsigned long long>(_head[p] - '0');
    }
    if (digits == 0 || v > _limit) return false;
    *_out = static_cast<size_t>(v);
    return true;
  }
  return false;
}

}  // namespace

CQIRHTTP2SRVSetupThread::CQIRHTTP2SRVSetupThread()
    : pending_(0), maxPayload_(0), epfd_(-1), wakefd_(-1), readyfd_(-1), doExit_(false) {}

CQIRHTTP2SRVSetupThread::~CQIRHTTP2SRVSetupThread() { Finalize(); }

bool CQIRHTTP2SRVSetupThread::Initialize(uint32_t _maxPayload) {
  maxPayload_ = _maxPayload;
  peek_.resize(QIR_HTTP2_UPGRADE_HEAD_SIZE + static_cast<size_t>(_maxPayload));
  if (!CQIRSocketNew::EPOLL_WITH_WAKEUP(&epfd_, &wakefd_)) return false;
  if (readyfd_ < 0) readyfd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (readyfd_ < 0) {
    QIR_LOG_I("[%d-%s]eventfd() system call error.", errno, strerror(errno));
    return false;
  }
  return true;
}

bool CQIRHTTP2SRVSetupThread::Activate() {
  if (GetStatus() == QIR_THREAD_RUNNING) return true;
  doExit_.store(false);
  if (!Execute()) return false;
  for (int waited = 0; GetStatus() == QIR_THREAD_INIT && waited < kStartWaitMs; ++waited) {
    usleep(1000);
  }
  if (GetStatus() != QIR_THREAD_RUNNING) return false;
  std::lock_guard<std::mutex> guard(gLingerMutex);
  if (gLingerStage == nullptr) gLingerStage = this;
  return true;
}

bool CQIRHTTP2SRVSetupThread::Linger(int _fd) {
  std::lock_guard<std::mutex> guard(gLingerMutex);
  if (gLingerStage == nullptr) return false;
  static const CQIRHTTP2SRVConnectionInfo kNone("linger", 0, false);
  QIR_HTTP2SRV_SETUP* setup = new (std::nothrow) QIR_HTTP2SRV_SETUP(kNone, _fd, 0);
  if (setup == nullptr) return false;
  setup->linger_ = true;
  {
    CQIRLockGuard inbox(gLingerStage->mutex_);
    gLingerStage->inbox_.push_back(setup);
  }
  Signal(gLingerStage->wakefd_);
  return true;
}

void CQIRHTTP2SRVSetupThread::Deactivate() {
  {
    // No lingering close comes in once the thread is asked to stop; those
    // already in the inbox are closed below with the rest.
    std::lock_guard<std::mutex> guard(gLingerMutex);
    if (gLingerStage == this) gLingerStage = nullptr;
  }
  if (GetStatus() == QIR_THREAD_RUNNING) {
    doExit_.store(true);
    Signal(wakefd_);
    while (GetStatus() == QIR_THREAD_RUNNING) usleep(1000);
  }
  // The thread has ended (or never ran): what it held is this thread's now.
  TakeInbox();
  while (!deadlines_.empty()) Drop(deadlines_.begin()->second);
  std::vector<QIR_HTTP2SRV_SETUP*> ready;
  TakeReady(ready);
  for (QIR_HTTP2SRV_SETUP* s : ready) {
    if (s->ssl_ != nullptr) SSL_free(s->ssl_);
    close(s->fd_);
    delete s;
  }
}

void CQIRHTTP2SRVSetupThread::Finalize() {
  Deactivate();
  for (int* fd : {&epfd_, &wakefd_, &readyfd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void CQIRHTTP2SRVSetupThread::Add(QIR_HTTP2SRV_SETUP* _setup) {
  ++pending_;
  bool first;
  {
    CQIRLockGuard guard(mutex_);
    first = inbox_.empty();
    inbox_.push_back(_setup);
  }
  // The stage drains its wake-up before it takes the inbox, so a non-empty
  // inbox has a wake-up on its way already.
  if (first) Signal(wakefd_);
}

void CQIRHTTP2SRVSetupThread::TakeReady(std::vector<QIR_HTTP2SRV_SETUP*>& _out) {
  Drain(readyfd_);
  {
    CQIRLockGuard guard(mutex_);
    _out.swap(ready_);
  }
  pending_ -= static_cast<int>(_out.size());
}

void CQIRHTTP2SRVSetupThread::Run() {
  struct epoll_event events[kMaxEvents];
  while (!doExit_.load()) {
    int n = epoll_wait(epfd_, events, kMaxEvents, NextTimeout());
    if (n < 0 && errno != EINTR) {
      QIR_LOG_I("[%d-%s]epoll_wait() failed!...", errno, strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (events[i].data.ptr == nullptr) {
        Drain(wakefd_);
        TakeInbox();
      } else {
        Step(static_cast<QIR_HTTP2SRV_SETUP*>(events[i].data.ptr));
      }
    }
    const Clock::time_point now = Clock::now();
    Expire(now);
    StartWaiting(now);
  }
}

int CQIRHTTP2SRVSetupThread::NextTimeout() const {
  if (deadlines_.empty()) return -1;
  Clock::time_point next = deadlines_.begin()->first;
  // Waiting sockets start when the oldest slot is no longer held.
  if (!waiting_.empty() && !slots_.empty()) {
    next = std::min(next, slots_.front()->begunAt_ + std::chrono::milliseconds(kSlotMs));
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
  // Rounded up, so that the wait never ends just before the deadline.
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void CQIRHTTP2SRVSetupThread::TakeInbox() {
  std::vector<QIR_HTTP2SRV_SETUP*> inbox;
  {
    CQIRLockGuard guard(mutex_);
    inbox.swap(inbox_);
  }
  for (QIR_HTTP2SRV_SETUP* s : inbox) Start(s);
}

void CQIRHTTP2SRVSetupThread::Start(QIR_HTTP2SRV_SETUP* _setup) {
  if (_setup->linger_) {
    _setup->deadline_ = Clock::now() + std::chrono::milliseconds(kLingerMs);
    _setup->slot_ = deadlines_.emplace(_setup->deadline_, _setup);
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = _setup;
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, _setup->fd_, &ev) < 0) {
      Forget(_setup);
      return;
    }
    StepLinger(_setup);
    return;
  }
  const bool tls = _setup->info_.ssl_ctx_ != nullptr;
  const int bound = tls ? (G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC < 1 ? 1 : G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC)
                        : kUpgradeWaitMs;
  _setup->deadline_ = Clock::now() + std::chrono::milliseconds(bound);
  _setup->slot_ = deadlines_.emplace(_setup->deadline_, _setup);
  if (!tls) {
    int size = kUpgradeRcvBuf;
    setsockopt(_setup->fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  // The upgrade request is only looked at, never read, so its socket stays
  // readable: edge-triggered, it reports each new arrival once.
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  ev.events = tls ? EPOLLIN : (EPOLLIN | EPOLLET);
  ev.data.ptr = _setup;
  _setup->watched_ = ev.events;
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, _setup->fd_, &ev) < 0) {
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    Drop(_setup);
    return;
  }
  // A TLS socket begins with its first bytes; epoll reports them.
  if (!tls) Step(_setup);
}

void CQIRHTTP2SRVSetupThread::Step(QIR_HTTP2SRV_SETUP* _setup) {
  if (_setup->linger_) {
    StepLinger(_setup);
  } else if (_setup->info_.ssl_ctx_ != nullptr) {
    StepTLS(_setup);
  } else {
    StepUpgrade(_setup);
  }
}

void CQIRHTTP2SRVSetupThread::StepTLS(QIR_HTTP2SRV_SETUP* _setup) {
  if (!_setup->begun_) {
    if (_setup->waiting_) {
      // Unwatched, it hears only a hang-up or an error: the handshake
      // begins at once and reports it, rather than epoll repeating it.
      waiting_.erase(_setup->queueIt_);
      _setup->waiting_ = false;
    } else if (slots_.size() >= kSlots) {
      if (Watch(_setup, 0)) {
        _setup->waiting_ = true;
        _setup->queueIt_ = waiting_.insert(waiting_.end(), _setup);
      } else {
        Drop(_setup);
      }
      return;
    }
    if (!_setup->tls_.BeginAccept(_setup->fd_, _setup->info_.ssl_ctx_)) {
      QIR_HTTP2SRV_METRIC(QIR_M_TLS_HANDSHAKE_FAILED);
      Drop(_setup);
      return;
    }
    _setup->begun_ = true;
    _setup->slotted_ = true;
    _setup->begunAt_ = Clock::now();
    _setup->queueIt_ = slots_.insert(slots_.end(), _setup);
  }
  short want = 0;
  int r = _setup->tls_.StepAccept(&want);
  if (r == 1) {
    Done(_setup);
  } else if (r < 0 || !Watch(_setup, want == POLLOUT ? EPOLLOUT : EPOLLIN)) {
    QIR_HTTP2SRV_METRIC(QIR_M_TLS_HANDSHAKE_FAILED);
    Drop(_setup);
  }
}

// Complete once the head and the body its Content-Length announces are in
// the socket; then the session reads them without waiting. Anything the
// session will refuse (a head too long, a bad length, a closed peer) goes
// to it at once, so that it is refused with the session's own messages.
void CQIRHTTP2SRVSetupThread::StepUpgrade(QIR_HTTP2SRV_SETUP* _setup) {
  ssize_t n;
  do {
    n = recv(_setup->fd_, peek_.data(), peek_.size(), MSG_PEEK);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    Done(_setup);
    return;
  }
  if (n == 0) {
    Done(_setup);
    return;
  }
  _setup->gotBytes_ = true;
  const char* data = peek_.data();
  const size_t len = static_cast<size_t>(n);
  // A client with prior knowledge starts with the connection preface (RFC
  // 9113 section 3.4) instead of an upgrade request; its first bytes tell.
  static const char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
  const size_t prefaceLen = sizeof(kPreface) - 1;
  if (memcmp(data, kPreface, len < prefaceLen ? len : prefaceLen) == 0) {
    if (len < prefaceLen) return;
    _setup->info_.isUpgrade_ = false;
    Done(_setup);
    return;
  }
  const size_t headCap = QIR_HTTP2_UPGRADE_HEAD_SIZE - 1;
  const char* end = static_cast<const char*>(memmem(data, len < headCap ? len : headCap, "\r\n\r\n", 4));
  if (end == nullptr) {
    if (len >= headCap) Done(_setup);
    return;
  }
  size_t headLen = static_cast<size_t>(end - data) + 4;
  size_t bodyLen = 0;
  if (!BodyLength(data, headLen, maxPayload_, &bodyLen)) bodyLen = 0;
  if (len >= headLen + bodyLen) Done(_setup);
}

// Reads what is there; the peer's close, an error or the byte budget ends it.
void CQIRHTTP2SRVSetupThread::StepLinger(QIR_HTTP2SRV_SETUP* _setup) {
  for (;;) {
    ssize_t n = recv(_setup->fd_, peek_.data(), peek_.size(), MSG_DONTWAIT);
    if (n > 0) {
      _setup->drained_ += static_cast<size_t>(n);
      if (_setup->drained_ <= kLingerBytes) continue;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    }
    Forget(_setup);
    return;
  }
}

void CQIRHTTP2SRVSetupThread::Forget(QIR_HTTP2SRV_SETUP* _setup) {
  epoll_ctl(epfd_, EPOLL_CTL_DEL, _setup->fd_, nullptr);
  deadlines_.erase(_setup->slot_);
  close(_setup->fd_);
  delete _setup;
}

bool CQIRHTTP2SRVSetupThread::Watch(QIR_HTTP2SRV_SETUP* _setup, uint32_t _events) {
  if (_setup->watched_ == _events) return true;  // most steps wait for input again
  _setup->watched_ = _events;
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  ev.events = _events;
  ev.data.ptr = _setup;
  if (epoll_ctl(epfd_, EPOLL_CTL_MOD, _setup->fd_, &ev) < 0) {
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    return false;
  }
  return true;
}

// Same messages as a set-up that waited on the accepting thread.
void CQIRHTTP2SRVSetupThread::Expire(const Clock::time_point& _now) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= _now) {
    QIR_HTTP2SRV_SETUP* s = deadlines_.begin()->second;
    if (s->linger_) {
      Forget(s);  // the peer had its time: the close may reset it now
      continue;
    }
    if (s->info_.ssl_ctx_ != nullptr) {
      QIR_LOG_E("SSL_accept() failed!..handshake not complete within %d ms",
                G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC < 1 ? 1 : G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC);
      QIR_HTTP2SRV_METRIC(QIR_M_TLS_HANDSHAKE_FAILED);
      ERR_print_errors_fp(stderr);
    } else if (!s->gotBytes_) {
      char name[256];
      snprintf(name, sizeof(name), "%s://%s:%d:%d", s->info_.protocol_.c_str(), s->info_.ip_.c_str(),
               s->info_.port_, static_cast<int>(s->connId_));
      QIR_LOG_E("conn(%s) Receive HTTP/2 upgrade request. timeout!..", name);
    } else {
      QIR_LOG_E("HTTP/1.1 receive failed!..");
    }
    Drop(s);
  }
}

void CQIRHTTP2SRVSetupThread::FreeSlot(QIR_HTTP2SRV_SETUP* _setup) {
  if (_setup->slotted_) slots_.erase(_setup->queueIt_);
  if (_setup->waiting_) waiting_.erase(_setup->queueIt_);
  _setup->slotted_ = _setup->waiting_ = false;
}

// Slots held longer than kSlotMs are given up first, then the waiting
// sockets take the free ones in their order.
void CQIRHTTP2SRVSetupThread::StartWaiting(const Clock::time_point& _now) {
  while (!slots_.empty() &&
         slots_.front()->begunAt_ + std::chrono::milliseconds(kSlotMs) <= _now) {
    slots_.front()->slotted_ = false;
    slots_.pop_front();
  }
  while (!waiting_.empty() && slots_.size() < kSlots) {
    QIR_HTTP2SRV_SETUP* s = waiting_.front();
    waiting_.pop_front();
    s->waiting_ = false;
    StepTLS(s);
  }
}

void CQIRHTTP2SRVSetupThread::Done(QIR_HTTP2SRV_SETUP* _setup) {
  epoll_ctl(epfd_, EPOLL_CTL_DEL, _setup->fd_, nullptr);
  deadlines_.erase(_setup->slot_);
  FreeSlot(_setup);
  if (_setup->info_.ssl_ctx_ != nullptr) {
    _setup->tls_.Release(&_setup->fd_, &_setup->ssl_);
    char peer[1024];
    QIR_SSL_PEER_IDENTITY(_setup->ssl_, peer, sizeof(peer));
    _setup->info_.peer_ = peer;
    QIR_LOG_I("conn(%s://%s:%d:%d) TLS established...%s,%s,peer=%s",
              _setup->info_.protocol_.c_str(), _setup->info_.ip_.c_str(), _setup->info_.port_,
              static_cast<int>(_setup->connId_), SSL_get_version(_setup->ssl_),
              SSL_get_cipher_name(_setup->ssl_), peer);
  }
  bool first;
  {
    CQIRLockGuard guard(mutex_);
    first = ready_.empty();
    ready_.push_back(_setup);
  }
  if (first) Signal(readyfd_);  // as in Add: TakeReady drains before it takes
}

void CQIRHTTP2SRVSetupThread::Drop(QIR_HTTP2SRV_SETUP* _setup) {
  if (_setup->linger_) {
    Forget(_setup);
    return;
  }
  epoll_ctl(epfd_, EPOLL_CTL_DEL, _setup->fd_, nullptr);
  deadlines_.erase(_setup->slot_);
  FreeSlot(_setup);
  if (_setup->tls_.GetSocket() >= 0) {
    _setup->tls_.Clear();  // the TLS session and the socket
  } else {
    close(_setup->fd_);
  }
  --pending_;
  CQIRHTTP2SRVMetrics::Closed(CQIRHTTP2SRVMetrics::kSetupCause);
  delete _setup;
}
