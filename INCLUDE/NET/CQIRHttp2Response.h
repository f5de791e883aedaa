#ifndef QIR_NET_CQIRHTTP2RESPONSE_H
#define QIR_NET_CQIRHTTP2RESPONSE_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include "CQIRHttp2Session.h"
#include "CQIRHttp2StreamData.h"
#include "CQIRMutex.h"
#include "CQIRSocketNew.h"
#include "QIRHttp2Upgrade.h"
#include "defHttp2.h"

// Server side of one HTTP/2 connection: the accepted socket and one nghttp2
// server session (in the session core), pools of request buffers and
// response records (made as streams need them, freed by Disconnect). Created and accepted by the
// server connection on the accepting thread, then driven by one worker
// thread (ProcEventPre, ProcEvent, Request and every nghttp2 callback).
// Response, the state getters and the counters may be called from any
// thread. A failed session is never torn down here: it moves to state
// QIR_HTTP2_CONN_STATE_CLOSE with its first cause and its owner disconnects.
class CQIRHttp2Response final : private CQIRHttp2SessionHandler {
 public:
  CQIRHttp2Response();
  ~CQIRHttp2Response();

  bool Initialize(const char* name, const QIR_ST_HTTP2_OPTIONS* options);
  // Cleartext socket that starts with the HTTP/1.1 upgrade exchange.
  bool Accept(int fd, const char* ip, int port, bool isEvent);
  // Socket without the upgrade: TLS with ALPN "h2" when ctx is given, else
  // plain HTTP/2 starting with the client's connection preface. isEvent false
  // makes the engine wait on its own epoll instance (see Request).
  bool Accept(int fd, const char* ip, int port, SSL_CTX* ctx, bool isEvent);
  // Socket whose TLS handshake the caller has already completed (the
  // server's set-up stage runs it non-blocking): takes over fd and ssl in
  // every case and sets the session up as the TLS form of Accept does.
  bool AcceptHandshaked(int fd, const char* ip, int port, SSL* ssl, bool isEvent);
  void Disconnect();  // harmless to call twice

  bool IsValid();       // false once the session must be dropped (PING keep-alive)
  // Worker thread: when ProcEventPre next has something timed to do (PING,
  // PING time-out, a stalled answer, a request past REQUEST_TIMEOUT, the
  // idle time-out, giving idle memory back); max() when nothing is timed.
  std::chrono::steady_clock::time_point NextDue() const;
  int ProcEventPre();   // 1 queued responses submitted and flushed, 0 none queued, -1 drop me
  bool ProcEvent();     // false on failure or once the session is closed
  bool HasBufferedInput() const { return transport_.HasBufferedInput(); }
  // Worker thread: frames wait to be written (the socket was full), so the
  // caller should wait for room for output.
  bool WantWrite() const { return core_.WantWrite(); }

  void SetState(int state, int cause);
  int GetState();
  int GetStateCause();

  const char* GetName() const;
  int GetSocket() const;
  int write(const char* buf, size_t len);  // bytes, -1 would block, -2 error
  int read(char* buf, size_t len);         // bytes, 0 peer closed, -1 would block, -2 error
  int read(char* buf, const char* delimiter, int max);  // through the delimiter; -3 overflow

  // Worker thread: 1 one complete request handed over in req, 0 none, -1 the
  // session is not usable. req's pointers stay valid until the stream closes.
  int Request(QIR_ST_HTTP2_REQUEST_RECV* req);
  // Any thread: queue a copy of res. 1 queued, 0 no free record (the session
  // is failed), -2 no free record within 1 second (wait), -3 not usable.
  int Response(const QIR_ST_HTTP2_RESPONSE* res, bool wait);
  bool IsSendDataExist();
  int GetIncompleteCount();   // response records in use; 0 in state 0 or 4
  int Get429ResponseCount();  // since the last call
  int GetCancelCount();       // RST_STREAM received since the last call
  void SetUserCallback(QIR_HTTP2_RESPONSE_USER_CALLBACK cb, void* args);  // after Accept
  bool DoProcUpgradeWithRequest(QIR_HTTP2_HEADER& hdr, const char* body, size_t len);
  void DebugPrint();

  // Records that can be taken; both equal nMaxConcurrentStream_ when
  // nothing is in use.
  size_t GetRequestPoolSize() const { return requestPool_.Available(); }
  size_t GetResponsePoolSize();

 private:
  friend bool QIR_HTTP2_SERVER_UPGRADE(CQIRHttp2Response* conn, StringRef& settings);

  // ssl: a server TLS session whose handshake is already done (ctx unused).
  bool TakeOver(int fd, const char* ip, int port, SSL_CTX* ctx, int sslMode, bool upgrade,
                bool isEvent, SSL* ssl = nullptr);
  bool InitHttp2Session();

  // Request intake, as the session core's handler on the worker thread:
  // a stream buffer per request, its fields and body, the request handed
  // over at END_STREAM, buffers and records back at the stream's close.
  int OnBeginHeaders(const nghttp2_frame* frame) override;
  bool CreateHttp2StreamData(int32_t id);
  int OnHeader(const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
               const uint8_t* value, size_t valuelen) override;
  int OnDataChunk(int32_t id, const uint8_t* data, size_t len) override;
  int OnFrameRecv(const nghttp2_frame* frame) override;
  bool OnRequestRecv(int32_t id);
  void RSTRecv(int32_t id, uint32_t code);
  void OnFrameSend(const nghttp2_frame* frame) override;
  void OnStreamClose(int32_t id, uint32_t code) override;
  void DeleteHttp2StreamData(int32_t id);
  void CloseResponse(int32_t id);
  bool SendAutomatic429(int32_t id);
  void ResetStalledResponses();
  void ExpireRequests(std::chrono::steady_clock::time_point _now);
  std::chrono::steady_clock::time_point IdleDue() const;

  // Submission, on the worker thread.
  int SendResponse();
  int SendResponse(QIR_ST_HTTP2_RESPONSE* res);  // 1 submitted, 0 dropped, -1 failed
  int PrepareResponse(QIR_ST_HTTP2_RESPONSE* res);
  bool SendSystemError(int32_t id);
  int GetRequest(QIR_ST_HTTP2_REQUEST_RECV* req);
  int RecvRequest(QIR_ST_HTTP2_REQUEST_RECV* req);
  bool IsRequestExist(int32_t id) const { return requestMap_.count(id) != 0; }

  typedef std::chrono::steady_clock Clock;
  // A submitted response: how much of its body nghttp2 had taken at the
  // last look, and since when.
  struct Sending {
    QIR_ST_HTTP2_RESPONSE* res;
    size_t taken;
    Clock::time_point since;
  };

  CQIRHttp2Session core_;
  std::string name_;
  std::string ip_;
  int port_;
  int fd_;
  CQIRSocketNew& transport_;  // the core's
  QIR_ST_HTTP2_OPTIONS options_;
  bool isUpgrade_;
  bool isEvent_;
  bool upgradeHeld_;  // the upgrade request waits for the client's SETTINGS
  std::map<int32_t, CQIRHttp2StreamData*> requestMap_;
  std::vector<CQIRHttp2StreamData*> requestList_;
  CQIRHttp2Pool<CQIRHttp2StreamData> requestPool_;
  CQIRMutex mutexC_;
  int auto429ResponseCount_;  // guarded by mutexC_
  int cancelCount_;           // guarded by mutexC_
  std::map<uint32_t, Sending> responseMap_;
  CQIRMutex mutexQ_;
  CQIRHttp2Pool<QIR_ST_HTTP2_RESPONSE> responsePool_;  // guarded by mutexQ_
  std::vector<QIR_ST_HTTP2_RESPONSE*> responseList_;   // guarded by mutexQ_
  QIR_HTTP2_RESPONSE_USER_CALLBACK user_callback_;
  void* user_callback_args_;
  Clock::time_point lastStallCheck_;
  Clock::time_point requestDue_;  // earliest deadline of an incomplete request
  Clock::time_point idleSince_;   // the last stream closed (or the session opened)
  Clock::time_point quietDue_;    // memory to give back once quiet until then

  // Decoded HTTP2-Settings of the upgrade, kept until nghttp2_session_upgrade2.
  char upgradeSettings_[QIR_HTTP2_UPGRADE_SETTINGS_SIZE];
  size_t upgradeSettingsLen_;
};

#endif  // QIR_NET_CQIRHTTP2RESPONSE_H
