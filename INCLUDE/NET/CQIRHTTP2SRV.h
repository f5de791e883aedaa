#ifndef QIR_NET_CQIRHTTP2SRV_H
#define QIR_NET_CQIRHTTP2SRV_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <unordered_map>

#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHTTP2SRVListener.h"
#include "CQIRHTTP2SRVMetricsListener.h"
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
  // Any thread, from onConnect_ on until onDisconnect_ returns: the verified
  // client certificate of the connection, "subject=<RFC 2253 name>
  // san=<DNS:..,IP:..>", or "none" (cleartext, no certificate, or one accepted
  // without verification). false when the id is unknown.
  bool GetPeerIdentity(int32_t _connId, std::string& _peer);
  // Any thread (not racing Stop): rereads the key, certificate and CA files
  // into a new TLS context that new handshakes use; open connections keep
  // theirs. false when there is no TLS or a file fails to load (Error
  // logged): the context in service stays.
  bool ReloadTLS();
  void Finalize();  // frees the TLS context
  bool IsNoProblem() { return tmgr_.IsNoProblem(); }
  int GetConnectionCount() { return cmgr_.GetConnectionCount(); }
  // The metrics port once Initialize has bound it ("METRICS_PORT" 0 lets the
  // kernel choose); 0 without one.
  int GetMetricsPort() const { return metrics_.GetPort(); }
  // The text a scrape of the metrics port gets: the runtime's counters and
  // the open connections, per worker and in all.
  void RenderMetrics(std::string& _out);

 private:
  bool InitSSL();
  bool InitConnectionManager();
  bool InitThreadManager();
  bool InitListener();
  bool InitConnectionLimit();  // "LISTENER"/"MAX_CONNECTIONS"
  bool InitMetrics();          // "LISTENER"/"METRICS_PORT", optional
  void RaiseDescriptorLimit(int _maxConnections);  // soft NOFILE to hard; warns
  bool InitPort(const char* _portKey, const char* _ipnetKey, const char* _protocol,
                bool* _present);
  bool ReadPath(const char* _key, char* _path, size_t _size);
  bool InitVerifyClient(bool _haveCa);  // "SSL/TLS"/"VERIFY_CLIENT"
  SSL_CTX* BuildTLSContext();           // from the paths and modes below
  QIR_HTTP2SRV_CALLBACKS* WrapCallbacks(QIR_HTTP2SRV_CALLBACKS* _app);

  CQIRIniConfigContainer cfg_;
  CQIRHTTP2SRVThreadManager tmgr_;
  CQIRHTTP2SRVConnectionManager cmgr_;
  CQIRHTTP2SRVListener listener_;
  CQIRHTTP2SRVMetricsListener metrics_;  // before the workers it reads go
  QIR_HTTP2SRV_CALLBACKS* callbacks_;  // not owned
  SSL_CTX* ssl_ctx_;                   // owned; the listeners' anchor, see ReloadTLS
  QIR_HTTP2SRV_CALLBACKS wrapped_;     // the application's, with the peer registry
  std::string tlsKey_, tlsCrt_, tlsCa_;  // tlsCa_ empty: "n/a"
  int verifyClient_;
  bool tls13_;
  CQIRMutex reloadMutex_;  // one ReloadTLS at a time
  CQIRMutex peerMutex_;
  std::unordered_map<int32_t, std::string> peers_;  // guarded by peerMutex_
  bool isUpgrade_;
  std::atomic<bool> doExit_;  // set by Stop on any thread, read by the loop
  std::atomic<bool> started_;
  std::atomic<bool> stopped_;
  bool sslThreadSetup_;
  CQIRMutex stopMutex_;  // one Stop at a time
};

#endif  // QIR_NET_CQIRHTTP2SRV_H
