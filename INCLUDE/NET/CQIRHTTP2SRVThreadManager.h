#ifndef QIR_NET_CQIRHTTP2SRVTHREADMANAGER_H
#define QIR_NET_CQIRHTTP2SRVTHREADMANAGER_H

#include <string>
#include <vector>

#include "defHttp2SRV.h"

class CQIRHTTP2SRVConnectionManager;
class CQIRHTTP2SRVThread;

// The fixed pool of worker threads, filled in strict rotation. Owned by the
// facade. The pool vector does not change between Initialize and Finalize,
// so walking it needs no lock; Assign is called only with the connection
// manager's lock held, which also guards balanceIndex_.
class CQIRHTTP2SRVThreadManager {
 public:
  CQIRHTTP2SRVThreadManager();
  ~CQIRHTTP2SRVThreadManager();
  CQIRHTTP2SRVThreadManager(const CQIRHTTP2SRVThreadManager&) = delete;
  CQIRHTTP2SRVThreadManager& operator=(const CQIRHTTP2SRVThreadManager&) = delete;

  // False when _poolSize is below 1 (a pool without workers could serve no
  // connection) or a worker cannot be set up (those before it stay, unstarted).
  bool Initialize(int _poolSize, CQIRHTTP2SRVConnectionManager* _cmgr,
                  QIR_HTTP2SRV_CALLBACKS* _callbacks);
  void Finalize();  // destroys the workers; Stop them first
  bool Start();     // false: one did not start, and the pool is stopped again
  void Stop();      // each worker leaves its loop and removes its connections
  bool Assign(CQIRHTTP2SRVConnection* _conn);  // false only for an empty pool
  void GetMonitor(std::string& _report);
  void SetExitReserved();
  int GetRemainMessages();
  bool IsNoProblem();  // every worker still running
  int GetPoolSize() const { return static_cast<int>(threads_.size()); }
  CQIRHTTP2SRVThread* GetThread(int _index) const { return threads_[_index]; }

 private:
  std::vector<CQIRHTTP2SRVThread*> threads_;
  int balanceIndex_;
};

#endif  // QIR_NET_CQIRHTTP2SRVTHREADMANAGER_H
