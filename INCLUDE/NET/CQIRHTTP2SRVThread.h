#ifndef QIR_NET_CQIRHTTP2SRVTHREAD_H
#define QIR_NET_CQIRHTTP2SRVTHREAD_H

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "CQIRMutex.h"
#include "CQIRThread.h"
#include "defHttp2SRV.h"

class CQIRHTTP2SRVConnectionManager;

// One worker of the pool: an epoll loop over the connections assigned to it.
// All HTTP/2 processing of those connections, and the application's request
// callbacks for them, run on this thread. Owned by the thread manager; the
// connections belong to the connection manager.
//
// Every pass serves every connection (sends what is queued, hands every
// complete request over), then waits: not at all while responses are still
// queued, else until a socket reports input (or room for output while its
// session has frames the socket could not take), a new connection or an
// answer from another thread signals wakefd_, or the housekeeping tick
// (PING keep-alive) comes due.
//
// Locking: mutex_ guards addList_ and every change of connMap_; only this
// thread changes connMap_, so it reads the map without the lock while other
// threads (GetMonitor, SetExitReserved, GetRemainMessages) read it under the
// lock. mutex_ is never held while calling into the connection manager: the
// accepting thread holds the manager's lock when it takes mutex_ (AddConnection),
// so the only order is manager -> worker.
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
  typedef std::map<std::string, CQIRHTTP2SRVConnection*> CONN_MAP;

  bool UpdateEvent();
  bool AddEvent(CQIRHTTP2SRVConnection* _conn);  // with mutex_ held
  void DelEvent(CQIRHTTP2SRVConnection* _conn);  // without mutex_
  void Remove(CQIRHTTP2SRVConnection* _conn);    // to the manager; without mutex_
  bool ClearEvent();
  int DoEventPre();
  void DoEventExist(CQIRHTTP2SRVConnection* _conn);
  void WatchOutput(CQIRHTTP2SRVConnection* _conn);
  void Clear();
  void EraseFromMap(CONN_MAP::iterator& _it);

  CQIRMutex mutex_;
  CQIRHTTP2SRVConnectionManager* cmgr_;
  QIR_HTTP2SRV_CALLBACKS* callbacks_;  // stored, not used by the thread
  CONN_MAP connMap_;  // changed only by this thread, under mutex_
  std::vector<CQIRHTTP2SRVConnection*> addList_;  // guarded by mutex_
  int index_;
  int epfd_;
  int wakefd_;  // eventfd in epfd_, data pointer null
  std::atomic<bool> wakePending_;  // a wake is signalled and not yet drained
  std::atomic<bool> doExit_;
};

#endif  // QIR_NET_CQIRHTTP2SRVTHREAD_H
