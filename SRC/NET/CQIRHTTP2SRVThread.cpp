#include "CQIRHTTP2SRVThread.h"

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHttp2Session.h"
#include "CQIRServiceLog.h"
#include "CQIRSocketNew.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr int kMaxEvents = 64;

// The worker running on this thread, if any: its own answers need no wake.
thread_local const CQIRHTTP2SRVThread* tWorker = nullptr;
// A started thread marks itself running within microseconds; this only
// bounds the wait on a machine that is badly overloaded.
constexpr int kStartWaitMs = 5000;

}  // namespace

CQIRHTTP2SRVThread::CQIRHTTP2SRVThread()
    : cmgr_(nullptr),
      callbacks_(nullptr),
      index_(0),
      epfd_(-1),
      wakefd_(-1),
      wakePending_(false),
      doExit_(false) {}

CQIRHTTP2SRVThread::~CQIRHTTP2SRVThread() { Finalize(); }

bool CQIRHTTP2SRVThread::Initialize(int _index, CQIRHTTP2SRVConnectionManager* _cmgr,
                                    QIR_HTTP2SRV_CALLBACKS* _callbacks) {
  if (!CQIRSocketNew::EPOLL_WITH_WAKEUP(&epfd_, &wakefd_)) return false;
  index_ = _index;
  cmgr_ = _cmgr;
  callbacks_ = _callbacks;
  return true;
}

void CQIRHTTP2SRVThread::Finalize() {
  {
    CQIRLockGuard guard(mutex_);
    addList_.clear();
  }
  if (epfd_ >= 0) {
    close(epfd_);
    epfd_ = -1;
  }
  if (wakefd_ >= 0) {
    close(wakefd_);
    wakefd_ = -1;
  }
}

// doExit_ is cleared here, before the thread exists, and not in Initial: a
// Deactivate that comes right after the start must not be undone.
bool CQIRHTTP2SRVThread::Activate() {
  doExit_.store(false);
  if (!Execute()) return false;
  for (int waited = 0; GetStatus() == QIR_THREAD_INIT && waited < kStartWaitMs; ++waited) {
    usleep(1000);
  }
  return GetStatus() != QIR_THREAD_INIT;
}

void CQIRHTTP2SRVThread::Deactivate() {
  if (GetStatus() == QIR_THREAD_RUNNING) {
    doExit_.store(true);
    Wake();
    while (GetStatus() == QIR_THREAD_RUNNING) usleep(1000);
  }
  Clear();
}

void CQIRHTTP2SRVThread::Initial() {
  tWorker = this;
  QIR_LOG_I("Thread[%d] just activate...", index_);
}

void CQIRHTTP2SRVThread::Final() { QIR_LOG_I("Thread[%d] just deactivate...", index_); }

void CQIRHTTP2SRVThread::Run() {
  struct epoll_event events[kMaxEvents];
  while (!doExit_.load()) {
    TakeNew();
    TakePosted();
    TakeDue();
    Serve();
    int n = epoll_wait(epfd_, events, kMaxEvents, NextWait());
    if (n < 0) {
      if (errno == EINTR) continue;
      QIR_LOG_I("[%d-%s]epoll_wait() failed!...", errno, strerror(errno));
      break;
    }
    for (int i = 0; i < n; ++i) {
      CQIRHTTP2SRVConnection* conn = static_cast<CQIRHTTP2SRVConnection*>(events[i].data.ptr);
      if (conn == nullptr) {
        // Drained, then cleared: a wake that came in between found the flag
        // set and did not signal, but its work is seen by the next pass (the
        // exchange reads what that wake wrote).
        uint64_t count;
        ssize_t r = read(wakefd_, &count, sizeof(count));
        (void)r;
        wakePending_.exchange(false);
      } else {
        OnEvent(conn, events[i].events);
      }
    }
  }
}

// Input is read at once; whatever the event, the connection is served by
// the next pass (answers, output, removal).
void CQIRHTTP2SRVThread::OnEvent(CQIRHTTP2SRVConnection* _conn, uint32_t _events) {
  if (_events & EPOLLERR) {
    QIR_LOG_E("conn(%s) event dispatch error occured..", _conn->GetName());
    _conn->SetEventError();
  } else if (_events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP)) {
    // A failure the engine did not record as a close (a hand-over that
    // could not answer) marks it too; a recorded cause stays the first.
    if (_conn->ProcEvent() == -1) _conn->SetDisconnect();
  }
  MarkReady(_conn);
}

void CQIRHTTP2SRVThread::AddConnection(CQIRHTTP2SRVConnection* _conn) {
  _conn->SetWorker(this);
  {
    CQIRLockGuard guard(mutex_);
    addList_.push_back(_conn);
  }
  Wake();
}

void CQIRHTTP2SRVThread::Post(int32_t _connId) {
  {
    CQIRLockGuard guard(postMutex_);
    posted_.push_back(_connId);
  }
  Wake();
}

void CQIRHTTP2SRVThread::Wake() {
  if (tWorker == this) return;  // the loop looks at its lists before it waits
  if (wakePending_.exchange(true)) return;
  uint64_t one = 1;
  ssize_t r = write(wakefd_, &one, sizeof(one));
  (void)r;  // the counter cannot come near overflowing
}

// New connections are taken in under mutex_; one that epoll refuses is
// removed like any failed connection (after the lock is released), so a
// failed registration costs that connection, never the worker and the
// others it serves.
void CQIRHTTP2SRVThread::TakeNew() {
  std::vector<CQIRHTTP2SRVConnection*> refused, buffered;
  {
    CQIRLockGuard guard(mutex_);
    if (addList_.empty()) return;
    for (CQIRHTTP2SRVConnection* conn : addList_) {
      if (AddEvent(conn)) {
        MarkReady(conn);  // its SETTINGS go out, a held upgrade request is served
        // What the client sent right behind its handshake may already sit
        // in the TLS session, where epoll cannot see it: read it now. Once;
        // each read drains the session, and what follows reaches the socket.
        if (conn->HasBufferedInput()) buffered.push_back(conn);
      } else {
        refused.push_back(conn);
      }
    }
    addList_.clear();
  }
  for (CQIRHTTP2SRVConnection* conn : refused) {
    conn->SetEventError();
    Remove(conn);
  }
  for (CQIRHTTP2SRVConnection* conn : buffered) OnEvent(conn, EPOLLIN);
}

// A notice for a connection this thread no longer has is dropped: the
// connection has gone, and its answers went with its session.
void CQIRHTTP2SRVThread::TakePosted() {
  std::vector<int32_t> posted;
  {
    CQIRLockGuard guard(postMutex_);
    if (posted_.empty()) return;
    posted.swap(posted_);
  }
  for (int32_t id : posted) {
    CONN_MAP::iterator it = connMap_.find(id);
    if (it == connMap_.end()) {
      QIR_LOG_I("thread[%d] conn-id(%d) answer dropped...connection gone", index_,
                static_cast<int>(id));
      continue;
    }
    MarkReady(it->second);
  }
}

void CQIRHTTP2SRVThread::TakeDue() {
  if (timers_.empty()) return;
  Clock::time_point now = Clock::now();
  while (!timers_.empty() && timers_.top().first <= now) {
    TIMER t = timers_.top();
    timers_.pop();
    CONN_MAP::iterator it = connMap_.find(t.second);
    if (it == connMap_.end() || it->second->GetDue() != t.first) continue;
    it->second->SetDue(Clock::time_point::max());
    MarkReady(it->second);
  }
}

void CQIRHTTP2SRVThread::MarkReady(CQIRHTTP2SRVConnection* _conn) {
  if (_conn->IsReady()) return;
  _conn->SetReady(true);
  ready_.push_back(_conn);
}

// An earlier time replaces the entry; a later one waits for the entry in
// place, whose pass computes the time again.
void CQIRHTTP2SRVThread::Schedule(CQIRHTTP2SRVConnection* _conn) {
  Clock::time_point due = _conn->NextDue();
  if (due >= _conn->GetDue()) return;
  _conn->SetDue(due);
  timers_.emplace(due, static_cast<int32_t>(_conn->GetConnId()));
}

// The connections on the ready list: queued answers submitted, output
// written, complete requests handed over, timed checks run; a failed one
// removed. One whose hand-over queued answers stays listed for the next pass.
void CQIRHTTP2SRVThread::Serve() {
  std::vector<CQIRHTTP2SRVConnection*> work;
  work.swap(ready_);
  for (CQIRHTTP2SRVConnection* conn : work) {
    conn->SetReady(false);
    if (conn->IsDisconnect() || conn->ProcEventPre() == -1) {
      {
        CQIRLockGuard guard(mutex_);
        connMap_.erase(static_cast<int32_t>(conn->GetConnId()));
      }
      DelEvent(conn);
      continue;
    }
    if (conn->IsSendReserved()) MarkReady(conn);
    WatchOutput(conn);
    Schedule(conn);
  }
  // Worth a try after every pass: a no-op unless something was freed and
  // the last trim is a second old.
  CQIRHttp2Session::GiveBackMemory();
}

int CQIRHTTP2SRVThread::NextWait() {
  if (!ready_.empty()) return 0;
  {
    CQIRLockGuard guard(postMutex_);
    if (!posted_.empty()) return 0;
  }
  if (timers_.empty()) return -1;
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().first -
                                                                     Clock::now());
  // Rounded up: waking just before the time would only find it not yet due.
  long ms = static_cast<long>(wait.count()) + 1;
  if (ms < 0) return 0;
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

bool CQIRHTTP2SRVThread::AddEvent(CQIRHTTP2SRVConnection* _conn) {
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  // Room for output is asked for only while the session has frames the
  // socket could not take (WatchOutput).
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLERR;
  ev.data.ptr = _conn;
  _conn->SetWatchingOutput(false);
  if (epoll_ctl(epfd_, EPOLL_CTL_ADD, _conn->GetSocket(), &ev) < 0) {
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    return false;
  }
  if (!connMap_.emplace(static_cast<int32_t>(_conn->GetConnId()), _conn).second) {
    QIR_LOG_E("HTTP/2 Server thread[%d] conn(%s) already exist!...", index_, _conn->GetName());
    epoll_ctl(epfd_, EPOLL_CTL_DEL, _conn->GetSocket(), nullptr);
    return false;
  }
  QIR_LOG_I("thread[%d] conn(%s) add...", index_, _conn->GetName());
  return true;
}

// The connection is out of the map already. It goes to the connection
// manager even when the epoll removal fails: closing its socket takes it out
// of the epoll set anyway, and it must not be left registered and open.
void CQIRHTTP2SRVThread::DelEvent(CQIRHTTP2SRVConnection* _conn) {
  if (epoll_ctl(epfd_, EPOLL_CTL_DEL, _conn->GetSocket(), nullptr) < 0) {
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
  }
  Remove(_conn);
}

void CQIRHTTP2SRVThread::Remove(CQIRHTTP2SRVConnection* _conn) {
  std::string name(_conn->GetName());  // the connection is destroyed below
  if (cmgr_ != nullptr) cmgr_->DeleteConnection(_conn);
  QIR_LOG_I("thread[%d] conn((%s) remove...", index_, name.c_str());
}

// Frames the socket could not take wait for room for output; asking for it
// only then keeps the wait from returning for every writable socket.
void CQIRHTTP2SRVThread::WatchOutput(CQIRHTTP2SRVConnection* _conn) {
  bool want = _conn->WantWrite();
  if (want == _conn->IsWatchingOutput()) return;
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  ev.events = EPOLLIN | EPOLLRDHUP | EPOLLERR;
  if (want) ev.events |= EPOLLOUT;
  ev.data.ptr = _conn;
  if (epoll_ctl(epfd_, EPOLL_CTL_MOD, _conn->GetSocket(), &ev) < 0) {
    // Its output could wait forever: the connection goes at the next pass.
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    _conn->SetEventError();
    MarkReady(_conn);
    return;
  }
  _conn->SetWatchingOutput(want);
}

// Runs on the stopping thread once this thread has left its loop (or never
// ran): connections still waiting in addList_ were registered with the
// manager too and are removed with the rest.
void CQIRHTTP2SRVThread::Clear() {
  CONN_MAP conns;
  std::vector<CQIRHTTP2SRVConnection*> pending;
  {
    CQIRLockGuard guard(mutex_);
    conns.swap(connMap_);
    pending.swap(addList_);
  }
  {
    CQIRLockGuard guard(postMutex_);
    posted_.clear();
  }
  ready_.clear();
  timers_ = decltype(timers_)();
  for (CONN_MAP::value_type& entry : conns) DelEvent(entry.second);
  for (CQIRHTTP2SRVConnection* conn : pending) Remove(conn);
}

void CQIRHTTP2SRVThread::GetMonitor(std::string& _report) {
  char line[256];
  CQIRLockGuard guard(mutex_);
  snprintf(line, sizeof(line), "\tThread Index : %3d \tConnections : %d\n", index_,
           static_cast<int>(connMap_.size()));
  _report += line;
  for (CONN_MAP::value_type& entry : connMap_) {
    snprintf(line, sizeof(line), "\tName : %-32.32s \tIncomplete : %4d\n", entry.second->GetName(),
             entry.second->GetIncompleteCount());
    _report += line;
  }
}

void CQIRHTTP2SRVThread::SetExitReserved() {
  CQIRLockGuard guard(mutex_);
  for (CONN_MAP::value_type& entry : connMap_) entry.second->SetExitReserved();
  // Connections not taken in yet must answer 503 as well once they are.
  for (CQIRHTTP2SRVConnection* conn : addList_) conn->SetExitReserved();
}

int CQIRHTTP2SRVThread::GetRemainMessages() {
  CQIRLockGuard guard(mutex_);
  int sum = 0;
  for (CONN_MAP::value_type& entry : connMap_) sum += entry.second->GetIncompleteCount();
  return sum;
}

int CQIRHTTP2SRVThread::GetConnectionCount() {
  CQIRLockGuard guard(mutex_);
  return static_cast<int>(connMap_.size());
}
