#ifndef QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H
#define QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <chrono>

#include "CQIRMutex.h"
#include "defHttp2.h"
#include "defHttp2SRV.h"

class CQIRHTTP2SRVConnectionInfo;
class CQIRHTTP2SRVThreadManager;

// Registry of the live connections: ids, creation (on the loop thread),
// removal (on workers, or the stopping thread), look-up (any thread).
// Removed connections give their session engine (its buffers, its socket)
// back at once, but the objects are parked and destroyed only after more
// than garbageDelay_ seconds (10), so a pointer found by SearchConnection
// stays valid that long after the lock is released. The loop thread's
// passes collect them on time (CollectGarbage).
//
// Lock order: mutex_ may be held while a worker's lock is taken (Assign ->
// AddConnection), never the other way round. mutex_ is held while
// onDisconnect_ runs, so that callback must not call back into this object.
class CQIRHTTP2SRVConnectionManager {
 public:
  CQIRHTTP2SRVConnectionManager();
  ~CQIRHTTP2SRVConnectionManager();
  CQIRHTTP2SRVConnectionManager(const CQIRHTTP2SRVConnectionManager&) = delete;
  CQIRHTTP2SRVConnectionManager& operator=(const CQIRHTTP2SRVConnectionManager&) = delete;

  // Stores the pool and the callbacks, copies the options; always true.
  bool Initialize(CQIRHTTP2SRVThreadManager* _tmgr, QIR_HTTP2SRV_CALLBACKS* _callbacks,
                  QIR_ST_HTTP2_OPTIONS* _options);
  // Destroys every parked connection, and any still registered (after a
  // proper stop there are none). Harmless twice.
  void Finalize();

  // Loop thread. Takes the socket over in every case: on false the
  // connection does not exist and the socket has been closed, exactly once.
  bool CreateConnection(CQIRHTTP2SRVConnectionInfo* _info, int _fd);
  // The same for a socket whose id was taken at accept (NextConnId) and,
  // for "https", whose TLS handshake is done (_ssl, else null). Takes the
  // socket and the session over in every case.
  bool CreateConnection(CQIRHTTP2SRVConnectionInfo* _info, int _fd, int32_t _connId, SSL* _ssl);
  int32_t NextConnId();  // ids are given out once each, in order
  // Worker or stopping thread: onDisconnect_, unregister, close, park. A
  // connection that is not registered (removed already) is left alone.
  void DeleteConnection(CQIRHTTP2SRVConnection* _conn);
  bool SearchConnection(int32_t _connId, CQIRHTTP2SRVConnection** _conn);
  void ClearGarbage();
  // Loop thread, each pass: destroys parked connections past their delay,
  // and at most once a second hands memory freed by removals back to the
  // system (the allocator keeps it otherwise).
  void CollectGarbage();
  uint32_t GetMaxPayloadSize() const { return httpOpt_.nMaxPayloadSize_; }
  int GetConnectionCount();
  int GetGarbageCount();
  void SetGarbageDelay(double _seconds) { garbageDelay_ = _seconds; }  // tests

 private:
  void DeleteGarbage();  // with mutex_ held

  CQIRMutex mutex_;
  CQIRHTTP2SRVThreadManager* tmgr_;
  int32_t connId_;  // guarded by mutex_
  QIR_HTTP2SRV_CALLBACKS* callbacks_;
  QIR_HTTP2SRV_CONNID_MAP conMap_;      // guarded by mutex_; owned
  QIR_HTTP2SRV_CONN_GARBAGES garbages_;  // guarded by mutex_; owned, oldest first
  QIR_ST_HTTP2_OPTIONS httpOpt_;
  double garbageDelay_;
};

#endif  // QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H
