#ifndef QIR_NET_CQIRHTTP2SRVTHREAD_H
#define QIR_NET_CQIRHTTP2SRVTHREAD_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "CQIRMutex.h"
#include "CQIRThread.h"
#include "defHttp2SRV.h"

class CQIRHTTP2SRVConnectionManager;

// One worker of the pool: an epoll loop over the connections assigned to it.
// All HTTP/2 processing of those connections, and the application's request
// callbacks for them, run on this thread. Owned by the thread manager; the
// connections are registered with the connection manager, which destroys
// them when this thread removes them.
//
// Work follows events: a pass serves only the connections on the ready
// list, those with input, room for output, an answer posted for them (Post),
// a due timer, or answers still queued from the previous pass. Each
// connection has at most one live entry in the timer heap: the next time its
// engine has something timed to do (PING, PING time-out, send stall, request
// deadline, idle time-out, giving idle memory back). The wait lasts until
// the next timer, or not at all while the ready list is not empty.
//
// Locking: mutex_ guards addList_ and every change of connMap_; only this
// thread changes connMap_, so it reads the map without the lock while other
// threads (GetMonitor, SetExitReserved, GetRemainMessages) read it under the
// lock. postMutex_ guards posted_. Neither is held while calling into the
// connection manager: the accepting thread holds the manager's lock when it
// takes mutex_ (AddConnection), so the only order is manager -> worker.
class CQIRHTTP2SRVThread : public CQIRThread {
 public:
  CQIRHTTP2SRVThread();
  ~CQIRHTTP2SRVThread() override;

  // Creates the epoll instance; false (logged) when it cannot.
  bool Initialize(int _index, CQIRHTTP2SRVConnectionManager* _cmgr,
                  QIR_HTTP2SRV_CALLBACKS* _callbacks);
  void Finalize();
  bool Activate();  // starts the thread; true once it runs (or has run)
  // Stops a running thread (waits for the end of its pass), then removes
  // every connection it holds, also when the thread had ended on an error.
  void Deactivate();

  void AddConnection(CQIRHTTP2SRVConnection* _conn);  // any thread; wakes it
  // Any thread: connection _connId has answers queued (or must go); this
  // thread looks it up and serves it, or drops the notice when it is gone.
  void Post(int32_t _connId);
  void Wake();  // any thread: the next wait returns at once
  void GetMonitor(std::string& _report);               // any thread
  void SetExitReserved();                              // any thread
  int GetRemainMessages();                             // any thread
  int GetConnectionCount();                            // any thread
  int GetIndex() const { return index_; }

 protected:
  void Initial() override;
  void Run() override;
  void Final() override;

 private:
  typedef std::map<int32_t, CQIRHTTP2SRVConnection*> CONN_MAP;
  typedef std::chrono::steady_clock Clock;
  typedef std::pair<Clock::time_point, int32_t> TIMER;

  void TakeNew();
  void TakePosted();
  void TakeDue();
  void Serve();
  int NextWait();  // ms for epoll_wait
  void MarkReady(CQIRHTTP2SRVConnection* _conn);
  void Schedule(CQIRHTTP2SRVConnection* _conn);
  bool AddEvent(CQIRHTTP2SRVConnection* _conn);  // with mutex_ held
  void DelEvent(CQIRHTTP2SRVConnection* _conn);  // without mutex_
  void Remove(CQIRHTTP2SRVConnection* _conn);    // to the manager; without mutex_
  void OnEvent(CQIRHTTP2SRVConnection* _conn, uint32_t _events);
  void WatchOutput(CQIRHTTP2SRVConnection* _conn);
  void Clear();

  CQIRMutex mutex_;
  CQIRMutex postMutex_;
  CQIRHTTP2SRVConnectionManager* cmgr_;
  QIR_HTTP2SRV_CALLBACKS* callbacks_;  // stored, not used by the thread
  CONN_MAP connMap_;  // by id; changed only by this thread, under mutex_
  std::vector<CQIRHTTP2SRVConnection*> addList_;  // guarded by mutex_
  std::vector<int32_t> posted_;                   // guarded by postMutex_
  std::vector<CQIRHTTP2SRVConnection*> ready_;    // this thread
  // This thread; stale entries (the connection is gone or due at another
  // time) are skipped when they come up.
  std::priority_queue<TIMER, std::vector<TIMER>, std::greater<TIMER>> timers_;
  int index_;
  int epfd_;
  int wakefd_;  // eventfd in epfd_, data pointer null
  std::atomic<bool> wakePending_;  // a wake is signalled and not yet drained
  std::atomic<bool> doExit_;
};

#endif  // QIR_NET_CQIRHTTP2SRVTHREAD_H
