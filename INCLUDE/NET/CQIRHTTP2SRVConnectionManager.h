#ifndef QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H
#define QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H

#include <openssl/ssl.h>
#include <stdint.h>

#include "CQIRMutex.h"
#include "defHttp2.h"
#include "defHttp2SRV.h"

class CQIRHTTP2SRVConnectionInfo;
class CQIRHTTP2SRVThreadManager;

// Registry of the live connections: ids, creation (on the loop thread),
// removal (on workers, or the stopping thread), answers from any thread
// (Response). A removed connection is unregistered under mutex_ and then
// destroyed at once: no other thread holds a pointer to it past the lock.
//
// Lock order: mutex_ may be held while a worker's lock is taken (Assign ->
// AddConnection), never the other way round. Neither onConnect_ nor
// onDisconnect_ runs under mutex_, so both may call AsyncResponse.
class CQIRHTTP2SRVConnectionManager {
 public:
  CQIRHTTP2SRVConnectionManager();
  ~CQIRHTTP2SRVConnectionManager();
  CQIRHTTP2SRVConnectionManager(const CQIRHTTP2SRVConnectionManager&) = delete;
  CQIRHTTP2SRVConnectionManager& operator=(const CQIRHTTP2SRVConnectionManager&) = delete;

  // Stores the pool and the callbacks, copies the options; always true.
  bool Initialize(CQIRHTTP2SRVThreadManager* _tmgr, QIR_HTTP2SRV_CALLBACKS* _callbacks,
                  QIR_ST_HTTP2_OPTIONS* _options);
  // Destroys any connection still registered (after a proper stop there are
  // none). Harmless twice.
  void Finalize();

  // Loop thread. Takes the socket over in every case: on false the
  // connection does not exist and the socket has been closed, exactly once.
  bool CreateConnection(CQIRHTTP2SRVConnectionInfo* _info, int _fd);
  // The same for a socket whose id was taken at accept (NextConnId) and,
  // for "https", whose TLS handshake is done (_ssl, else null). Takes the
  // socket and the session over in every case.
  bool CreateConnection(CQIRHTTP2SRVConnectionInfo* _info, int _fd, int32_t _connId, SSL* _ssl);
  int32_t NextConnId();  // ids are given out once each, in order
  // Worker or stopping thread: unregister, onDisconnect_, close, destroy. A
  // connection that is not registered (removed already) is left alone.
  void DeleteConnection(CQIRHTTP2SRVConnection* _conn);
  // Any thread: queues a copy of _res on the connection's session and posts
  // the connection to its worker. 0 queued, 1 no such connection, 2 session
  // not usable, 3 no free response record (the connection is dropped), 4
  // any other failure.
  int Response(int32_t _connId, QIR_ST_HTTP2_RESPONSE* _res);
  // Loop thread, each pass: at most once a second hands memory freed by
  // removals back to the system (the allocator keeps it otherwise).
  void GiveBackMemory();
  uint32_t GetMaxPayloadSize() const { return httpOpt_.nMaxPayloadSize_; }
  int GetConnectionCount();

 private:
  CQIRMutex mutex_;
  CQIRHTTP2SRVThreadManager* tmgr_;
  int32_t connId_;  // guarded by mutex_
  QIR_HTTP2SRV_CALLBACKS* callbacks_;
  QIR_HTTP2SRV_CONNID_MAP conMap_;  // guarded by mutex_; owned
  QIR_ST_HTTP2_OPTIONS httpOpt_;
};

#endif  // QIR_NET_CQIRHTTP2SRVCONNECTIONMANAGER_H
