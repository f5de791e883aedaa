#ifndef QIR_NET_CQIRHTTP2RESPONSE_H
#define QIR_NET_CQIRHTTP2RESPONSE_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <map>
#include <queue>
#include <string>
#include <vector>

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include "CQIRHttp2StreamData.h"
#include "CQIRMutex.h"
#include "CQIRSocketNew.h"
#include "QIRHttp2Upgrade.h"
#include "defHttp2.h"

// Server side of one HTTP/2 connection: the accepted socket, one nghttp2
// server session, pools of request buffers and response records (allocated
// once by Initialize) and the session state. Created and accepted by the
// server connection on the accepting thread, then driven by one worker
// thread (ProcEventPre, ProcEvent, Request and every nghttp2 callback).
// Response, the state getters and the counters may be called from any
// thread. A failed session is never torn down here: it moves to state
// QIR_HTTP2_CONN_STATE_CLOSE with its first cause and its owner disconnects.
class CQIRHttp2Response {
 public:
  CQIRHttp2Response();
  ~CQIRHttp2Response();
  CQIRHttp2Response(const CQIRHttp2Response&) = delete;
  CQIRHttp2Response& operator=(const CQIRHttp2Response&) = delete;

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
  int ProcEventPre();   // 1 a response submitted and flushed, 0 none queued, -1 drop me
  bool ProcEvent();     // false on failure or once the session is closed
  // Worker thread: frames wait to be written (the socket was full), so the
  // caller should wait for room for output.
  bool WantWrite() const { return session_ != nullptr && nghttp2_session_want_write(session_); }

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

  // Free pooled records; both equal nMaxConcurrentStream_ (or more for the
  // request pool) when nothing is in use.
  size_t GetRequestPoolSize() const { return requestPool_.size(); }
  size_t GetResponsePoolSize();

 private:
  friend bool QIR_HTTP2_SERVER_UPGRADE(CQIRHttp2Response* conn, StringRef& settings);

  bool TakeOver(int fd, const char* ip, int port, SSL_CTX* ctx, int sslMode, bool upgrade,
                bool isEvent);
  bool InitInternalEvent();
  bool InitHttp2Session();
  bool SettingNegotiation() { return SendSettingsHdr() == 0; }
  int SendSettingsHdr();
  void SetDefaultHeader() { nHdrs_ = 1; }
  bool SendPing();
  void CloseSession();

  // Request intake, from the nghttp2 callbacks.
  bool CreateHttp2StreamData(int32_t id);
  bool UpdateHdrRecv(int32_t id, const uint8_t* name, size_t namelen, const uint8_t* value,
                     size_t valuelen);
  bool UpdatePayloadRecv(int32_t id, const uint8_t* data, size_t len);
  bool OnRequestRecv(int32_t id);
  void RSTRecv(int32_t id, uint32_t code);
  void DeleteHttp2StreamData(int32_t id);
  void CloseResponse(int32_t id);
  bool SendAutomatic429(int32_t id);

  // Submission, on the worker thread.
  int SendResponse();
  int SendResponse(QIR_ST_HTTP2_RESPONSE* res);  // 1 submitted, 0 dropped, -1 failed
  int PrepareResponse(QIR_ST_HTTP2_RESPONSE* res);
  bool SendSystemError(int32_t id);
  int GetRequest(QIR_ST_HTTP2_REQUEST_RECV* req);
  int RecvRequest(QIR_ST_HTTP2_REQUEST_RECV* req);
  bool IsRequestExist(int32_t id) const { return requestMap_.count(id) != 0; }
  bool WaitReadable(double seconds);

  static ssize_t SendCallback(nghttp2_session* session, const uint8_t* data, size_t length,
                              int flags, void* user_data);
  static ssize_t RecvCallback(nghttp2_session* session, uint8_t* buf, size_t length, int flags,
                              void* user_data);
  static int OnFrameRecvCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                 void* user_data);
  static int OnFrameSendCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                 void* user_data);
  static int OnStreamCloseCallback(nghttp2_session* session, int32_t stream_id,
                                   uint32_t error_code, void* user_data);
  static int OnHeaderCallback(nghttp2_session* session, const nghttp2_frame* frame,
                              const uint8_t* name, size_t namelen, const uint8_t* value,
                              size_t valuelen, uint8_t flags, void* user_data);
  static int OnBeginHeadersCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                    void* user_data);
  static int OnDataChunkRecvCallback(nghttp2_session* session, uint8_t flags, int32_t stream_id,
                                     const uint8_t* data, size_t len, void* user_data);
  static int OnInvalidHeaderCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                     nghttp2_rcbuf* name, nghttp2_rcbuf* value, uint8_t flags,
                                     void* user_data);
  static int OnInvalidFrameRecvCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                        int lib_error_code, void* user_data);
  static int ErrorCallback(nghttp2_session* session, const char* msg, size_t len,
                           void* user_data);
  static int OnFrameNotSendCallback(nghttp2_session* session, const nghttp2_frame* frame,
                                    int lib_error_code, void* user_data);
  static ssize_t DataSourceReadCallback(nghttp2_session* session, int32_t stream_id,
                                        uint8_t* buf, size_t length, uint32_t* data_flags,
                                        nghttp2_data_source* source, void* user_data);

  typedef std::chrono::system_clock::time_point TimePoint;

  std::string name_;
  SSL_CTX* ssl_ctx_;  // unused: the context comes with Accept
  std::string ip_;
  int port_;
  int fd_;
  CQIRSocketNew transport_;
  nghttp2_session* session_;
  QIR_ST_HTTP2_OPTIONS options_;
  nghttp2_nv hdrs_[QIR_HTTP2_MAX_NV];
  int nHdrs_;
  bool isUpgrade_;
  bool isEvent_;
  CQIRMutex mutexS_;
  int state_;                 // guarded by mutexS_
  int cause_;                 // guarded by mutexS_
  int epfd_;
  CQIRMutex mutexQ_;
  std::map<int32_t, CQIRHttp2StreamData*> requestMap_;
  std::vector<CQIRHttp2StreamData*> requestList_;
  std::queue<CQIRHttp2StreamData*> requestPool_;
  int auto429ResponseCount_;  // guarded by mutexS_
  int cancelCount_;           // guarded by mutexS_
  std::map<uint32_t, QIR_ST_HTTP2_RESPONSE*> responseMap_;
  std::queue<QIR_ST_HTTP2_RESPONSE*> responsePool_;   // guarded by mutexQ_
  std::vector<QIR_ST_HTTP2_RESPONSE*> responseList_;  // guarded by mutexQ_
  TimePoint ping_send_time_;
  QIR_HTTP2_RESPONSE_USER_CALLBACK user_callback_;
  void* user_callback_args_;
  TimePoint last_recv_time_;
  TimePoint last_send_time_;
  bool ping_send_flag_;
  bool ping_recv_flag_;
  bool enableSend_;  // unused
  int32_t invalidHeaderStream_;  // stream whose header nghttp2 rejected, 0 none

  // Decoded HTTP2-Settings of the upgrade, kept until nghttp2_session_upgrade2.
  char upgradeSettings_[QIR_HTTP2_UPGRADE_SETTINGS_SIZE];
  size_t upgradeSettingsLen_;
};

#endif  // QIR_NET_CQIRHTTP2RESPONSE_H
