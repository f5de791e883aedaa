#ifndef QIR_NET_CQIRHTTP2SRV_H
#define QIR_NET_CQIRHTTP2SRV_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHTTP2SRVListener.h"
#include "CQIRHTTP2SRVThreadManager.h"
#include "CQIRIniConfigContainer.h"
#include "CQIRMutex.h"
#include "defHttp2.h"
#include "defHttp2SRV.h"

// The HTTP/2 server: configuration, worker pool, connection registry,
// listener and TLS context, built by Initialize from an INI file.
//   Loop thread:  Initialize, Start, Loop / LoopOnce (accepts run here).
//   Any thread:   AsyncResponse, GetMonitor, Stop.
// The callbacks record must outlive the server. Stop drains (at most about
// one second), stops the workers and destroys every connection; a started
// server that is destroyed without Stop is stopped by its destructor. Stop
// waits for the loop thread's pass and for the workers, so it must not be
// called from the runtime's callbacks; AsyncResponse and GetMonitor must not
// race with it (it destroys the connections and workers they use).
class CQIRHTTP2SRV {
 public:
  CQIRHTTP2SRV();
  ~CQIRHTTP2SRV();
  CQIRHTTP2SRV(const CQIRHTTP2SRV&) = delete;
  CQIRHTTP2SRV& operator=(const CQIRHTTP2SRV&) = delete;

  bool Initialize(const char* _cfgName, QIR_HTTP2SRV_CALLBACKS* _callbacks);
  bool Start();
  bool Loop();      // until Stop; false on a failed pass or a dead worker
  bool LoopOnce();  // one accept pass (waits at most 100 ms); false on a dead worker
  void Stop();      // harmless twice
  // Any thread; the record is copied. 0 queued, 1 no such connection,
  // 2 session not usable, 3 no free response record (the connection is
  // dropped), 4 any other failure.
  int AsyncResponse(int32_t _connId, QIR_ST_HTTP2_RESPONSE* _res);
  void GetMonitor(std::string& _report);  // appends to _report
  void Finalize();  // frees the TLS context
  bool IsNoProblem() { return tmgr_.IsNoProblem(); }
  int GetConnectionCount() { return cmgr_.GetConnectionCount(); }

 private:
  bool InitSSL();
  bool InitConnectionManager();
  bool InitThreadManager();
  bool InitListener();
  bool InitConnectionLimit();  // "LISTENER"/"MAX_CONNECTIONS"
  void RaiseDescriptorLimit(int _maxConnections);  // soft NOFILE to hard; warns
  bool InitPort(const char* _portKey, const char* _ipnetKey, const char* _protocol,
                bool* _present);
  bool ReadPath(const char* _key, char* _path, size_t _size);

  CQIRIniConfigContainer cfg_;
  CQIRHTTP2SRVThreadManager tmgr_;
  CQIRHTTP2SRVConnectionManager cmgr_;
  CQIRHTTP2SRVListener listener_;
  QIR_HTTP2SRV_CALLBACKS* callbacks_;  // not owned
  SSL_CTX* ssl_ctx_;                   // owned
  bool isUpgrade_;
  std::atomic<bool> doExit_;  // set by Stop on any thread, read by the loop
  std::atomic<bool> started_;
  std::atomic<bool> stopped_;
  bool sslThreadSetup_;
  CQIRMutex stopMutex_;  // one Stop at a time
};

#endif  // QIR_NET_CQIRHTTP2SRV_H
