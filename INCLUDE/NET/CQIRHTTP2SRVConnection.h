#ifndef QIR_NET_CQIRHTTP2SRVCONNECTION_H
#define QIR_NET_CQIRHTTP2SRVCONNECTION_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "defHttp2.h"
#include "defHttp2SRV.h"

class CQIRHttp2Response;
class CQIRHTTP2SRVConnectionInfo;
class CQIRHTTP2SRVThread;

// One accepted connection: the socket, its HTTP/2 session engine, and the
// hand-over of complete requests to the application. Created on the loop
// thread, registered with (and destroyed by) the connection manager, driven
// by its one worker thread (ProcEventPre, ProcEvent). Other threads reach it
// only under a lock that its removal takes first: Response and SetDisconnect
// under the connection manager's (AsyncResponse), SetExitReserved and
// GetIncompleteCount under its worker's (monitor, drain); the worker then
// learns of the answer by the connection's id (CQIRHTTP2SRVThread::Post).
class CQIRHTTP2SRVConnection {
 public:
  CQIRHTTP2SRVConnection();
  ~CQIRHTTP2SRVConnection();
  CQIRHTTP2SRVConnection(const CQIRHTTP2SRVConnection&) = delete;
  CQIRHTTP2SRVConnection& operator=(const CQIRHTTP2SRVConnection&) = delete;

  // Copies the listen record's peer and port settings; always true.
  bool Initialize(CQIRHTTP2SRVConnectionInfo* _info, int _fd, int32_t _connId,
                  QIR_HTTP2SRV_CALLBACKS* _callbacks);
  // Names the connection and sets the session up on the socket (TLS
  // handshake or HTTP/1.1 upgrade included). False: nothing is left but the
  // socket, which IsSocketOwned tells who closes.
  bool CreateConnection(QIR_ST_HTTP2_OPTIONS* _options);
  // True once the socket was handed to the session engine: destroying the
  // connection then closes it, and nobody else may.
  bool IsSocketOwned() const { return socketOwned_; }
  // Before CreateConnection: the socket's TLS handshake is done already; the
  // connection owns _ssl (null: none) and hands it to the engine.
  void SetHandshaked(SSL* _ssl) { handshaked_ = _ssl; }
  // The worker that serves the connection: set when it is assigned, before
  // any other thread can find it.
  void SetWorker(CQIRHTTP2SRVThread* _worker) { worker_ = _worker; }
  CQIRHTTP2SRVThread* GetWorker() const { return worker_; }

  // Worker thread. Both hand every complete request over.
  int ProcEventPre();  // before the wait; -1 = remove me, else 0
  int ProcEvent();     // socket readable; -1 = remove me, else 0
  // Input that came with the TLS handshake and waits inside the session.
  bool HasBufferedInput() const;
  // Any thread, under the connection manager's lock. 1 queued, 0 no free
  // response record (the session has failed), -3 the session is not usable.
  int Response(QIR_ST_HTTP2_RESPONSE* _res);
  bool IsSendReserved();     // responses queued, not yet submitted
  bool WantWrite();          // worker: output waits for room in the socket
  // Worker: whether its epoll registration asks for room for output.
  bool IsWatchingOutput() const { return watchOut_; }
  void SetWatchingOutput(bool _on) { watchOut_ = _on; }
  void SetEventError();      // mark for removal, cause EVENT_ERROR
  void SetDisconnect();      // mark for removal, cause INTERNAL_ERROR
  void Close();              // the engine's Disconnect; harmless twice
  int GetIncompleteCount();  // response records in use; 0 once marked
  // Worker: the next time the engine has something timed to do; max() none.
  std::chrono::steady_clock::time_point NextDue();
  // Worker's bookkeeping: on its ready list; its live timer entry.
  bool IsReady() const { return ready_; }
  void SetReady(bool _on) { ready_ = _on; }
  std::chrono::steady_clock::time_point GetDue() const { return due_; }
  void SetDue(std::chrono::steady_clock::time_point _due) { due_ = _due; }
  void SetExitReserved() { doExit_.store(true); }
  bool IsDisconnect() const { return isDisconnect_.load(); }
  void Finalize();           // destroys the engine, frees the body buffer

  int GetSocket() const { return fd_; }
  const char* GetName() const { return name_.c_str(); }
  long GetConnId() const { return connId_; }
  const char* GetIP() const { return ip_.c_str(); }
  int GetPort() const { return port_; }
  const char* GetHost() const { return host_.c_str(); }

 private:
  // 1 a request handed over, 0 none left, -1 remove. _preferAsync picks
  // onAsyncRequest_ when both request callbacks are set.
  int HandOver(bool _preferAsync);
  int HandOverAll(bool _preferAsync);  // 0 or -1
  int Answer503(const QIR_ST_HTTP2_REQUEST_RECV& _req);
  bool ClearSyncAnswer(int32_t _streamId);  // status 200, no headers, no body

  std::string name_;  // "protocol://ip:port:id"
  std::string protocol_;
  std::string ip_;
  std::string host_;
  int fd_;
  int port_;
  int type_;  // not used
  SSL_CTX* ssl_ctx_;  // not owned; null on "http" ports
  bool isUpgrade_;
  std::unique_ptr<QIR_ST_HTTP2_RESPONSE> syncRes_;  // worker thread only; made when first needed
  size_t syncPayload_;             // its body buffer's size
  CQIRHttp2Response* conn_;        // owned
  SSL* handshaked_;                // owned until the engine takes it
  CQIRHTTP2SRVThread* worker_;
  QIR_HTTP2SRV_CALLBACKS* callbacks_;  // not owned
  int32_t connId_;
  std::atomic<bool> isDisconnect_;  // set by any thread, read by the worker
  std::atomic<bool> doExit_;        // set by the stopping thread
  bool socketOwned_;
  bool watchOut_;  // worker thread only
  bool ready_;     // worker thread only
  std::chrono::steady_clock::time_point due_;  // worker thread only
};

#endif  // QIR_NET_CQIRHTTP2SRVCONNECTION_H
