#ifndef QIR_NET_CQIRHTTP2REQUEST_H
#define QIR_NET_CQIRHTTP2REQUEST_H

#include "CQIRHttp2Session.h"
#include "CQIRMutex.h"
#include "CQIRSocketNew.h"
#include "defHttp2.h"

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <vector>

// One HTTP/2 client connection to one server, carrying many requests as
// streams. Owned by the application; lives as long as it wants the
// connection and may be reconnected after Disconnect.
//
// Threads: one thread drives events (the caller of the synchronous Request,
// or of Response / ProcEventPre / ProcEvent / GetEvent) and alone touches the
// nghttp2 session and the receive side. Any thread may queue asynchronous
// requests and ask for the state and the counters at the same time.
//
// Request and response records, with their body buffers, are made as
// requests need them (at most nMaxConcurrentStream_ of each) and reused;
// every completion path gives them back and Disconnect frees them.
//
// Every request Request() accepts ends with exactly one outcome handed out
// by Response() (outcome_ of the record, QIR_HTTP2_OUTCOME_...): its answer,
// its time-out, refused (safe to retry), reset, or failed with the close
// cause. A closed connection hands out the outcomes still pending before
// Response() returns -1. Disconnect settles every outcome not yet collected
// (in flight: failed with the close cause, self when it was open; queued:
// refused); Response() hands those out first, after a reconnect too.
class CQIRHttp2Request final : private CQIRHttp2SessionHandler {
 public:
  CQIRHttp2Request();
  ~CQIRHttp2Request();

  // Once per object: copies the options (defaults applied) and fills the
  // pools with nMaxConcurrentStream_ records of each kind.
  bool Initialize(const char* _name, const QIR_ST_HTTP2_OPTIONS* _options);

  // HTTP/2 direct: TLS with ALPN "h2" when _ssl_ctx is given (not owned),
  // else cleartext with prior knowledge. _isUsingExternEV: the application
  // runs the event loop on GetSocket().
  bool Connect(const char* _host, int _port, SSL_CTX* _ssl_ctx, bool _isUsingExternEV);
  // Cleartext with the HTTP/1.1 upgrade to h2c.
  bool Connect(const char* _host, int _port, bool _isUsingExternEV);
  // Closes session and socket (GOAWAY unless the peer failed us); every
  // record goes back to its pool, the outcomes owed are kept for Response.
  // The state is left as it was.
  void Disconnect();

  bool IsValid();   // false once closed; sends and checks keep-alive pings
  bool SendPing();

  int GetState();
  int GetStateCause();
  // The code of the peer's GOAWAY, -1 when none arrived (event thread).
  int GetGoawayCode() const { return goawayCode_; }
  void SetState(int _state, int _cause);  // a second close keeps the first cause
  const char* GetName() const { return name_.c_str(); }
  int GetSocket() const { return core_.GetSocket(); }

  // Asynchronous, any thread: queue a copy of _req (QIR_HTTP2_REQUEST_...).
  // 1 queued; 0 no free record (_doRetry false); -1 stream ids used up;
  // -2 no free record within 1 s; -3 closed, or not open while waiting;
  // -4 a text field does not fit its record field, or the path does not
  // begin with "/"; -5 body larger than nMaxPayloadSize_; -6 the peer sent
  // GOAWAY (safe to retry on a new connection). Nothing is queued on a
  // refusal, and the connection goes on.
  int Request(QIR_ST_HTTP2_REQUEST* _req, bool _doRetry);
  int Request(int32_t _messageId, const char* _authority, const char* _method, const char* _path,
              const QIR_HTTP2_HEADER& _hdr, size_t _payloadSize, const char* _payload,
              bool _doRetry);

  // Synchronous, event thread, internal event mode: send _req itself and
  // wait (at most nTimeout_ s) for the response on its own stream. The body
  // is copied into _res->payload_.data_, which holds _capacity bytes (0: the
  // engine's nMaxPayloadSize_); a longer body is cut and marked -9999.
  // False: _res->outcome_ says why (refused before sending: error_ holds the
  // asynchronous Request's refusal code; time-out; failed with cause_).
  // Header names of _req are lower-cased in place.
  bool Request(QIR_ST_HTTP2_REQUEST* _req, QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity = 0);

  // Asynchronous collection, event thread: 1 a response, reset notice or
  // time-out notice is in _res; 0 none yet; -1 failure or not open.
  // _capacity as for the synchronous Request.
  int Response(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity = 0);

  // Event driving. ProcEventPre: before waiting (liveness, one submission,
  // flush): 1, 0 nothing queued, -1 failed. ProcEvent: the socket is
  // readable; false once closed. GetEvent: one bounded round on the
  // internal epoll set: 0, or -1 failed.
  int ProcEventPre();
  bool ProcEvent();
  int GetEvent();
  // Expires the oldest submitted request when it is due (external event
  // mode calls it itself): 1 notice in _res, 0 nothing due, -1 failed.
  int GetTimeout(QIR_ST_HTTP2_RESPONSE* _res);

  bool IsStreamFull();
  void SetStreamID(int32_t _id);
  bool IsComplete();
  int GetIncompleteCount();
  bool IsSendDataExist();
  size_t GetFreeRequestCount();   // records in the request pool
  size_t GetFreeResponseCount();  // records in the response pool (event thread)

  // Transport adapters for nghttp2 and the upgrade exchange: the socket
  // layer's result convention.
  int write(const char* _data, size_t _length);
  int read(char* _data, size_t _length);
  int read(char* _data, const char* _endMark, int _maxSize);

 private:
  bool Connect(const char* _host, bool _noEvent);
  bool InitHttp2Session(const char* _host, int _upgradeMs);
  void SetVirtualHeader();
  bool Flush();  // nghttp2_session_send; false closes with cause 3
  int WaitEvent(int _timeoutMs);  // 0 nothing/handled, -1 failed

  int PrepareRequest(QIR_ST_HTTP2_REQUEST* _req);
  int SendRequest(QIR_ST_HTTP2_REQUEST* _req);
  bool SendRequestSync(QIR_ST_HTTP2_REQUEST* _req);
  int SendRequestAsync();
  int RecvResponseSync(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity);
  int RecvResponseAsync(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity);
  // Hands out the oldest complete response that somebody waits for
  // (_stream 0: any awaited stream; else that stream only): 1 or 0.
  int GetResponse(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity, int32_t _stream = 0);
  bool IsAwaited(int32_t _stream) const;
  void DeleteTimeout(QIR_ST_HTTP2_REQUEST* _req);
  void ReleaseRequest(QIR_ST_HTTP2_REQUEST* _req);  // back to the pool, under mutexQ_
  QIR_ST_HTTP2_REQUEST* TakeRequest();              // from the pool, under mutexQ_; may be null
  void ReleaseResponse(QIR_ST_HTTP2_RESPONSE* _res);
  QIR_ST_HTTP2_RESPONSE* TakeResponse(int32_t _stream);  // fresh, empty; null when exhausted
  int FillRequest(int32_t _messageId, const char* _authority,
                  size_t _authorityCap, const char* _method, size_t _methodCap,
                  const char* _path, size_t _pathCap, const QIR_HTTP2_HEADER& _hdr,
                  size_t _payloadSize, const char* _payload, bool _doRetry);
  void LogPoolSizes();
  void StopBody(int32_t _stream);  // the caller gets its record back: no more reads of its body
  bool HasNotice(int32_t _stream) const;  // an outcome waits in responseList_
  bool HasOpenRequests() const;  // submitted requests without an outcome yet
  void AfterRecv(bool _ok);      // close cause, GOAWAY, end of closing
  void OnGoaway();
  void FailPending(int _cause);  // closed: every request without an outcome gets one
  void Settle();  // Disconnect: every outcome owed moves to settled_
  int HandOutSettled(QIR_ST_HTTP2_RESPONSE* _res, size_t _capacity);
  int CloseCause();
  int HandOutUnsent(QIR_ST_HTTP2_RESPONSE* _res);
  int Refuse(int _code);  // logs a refusal of Request, returns _code

  // The session core's handler, on the event thread.
  int OnBeginHeaders(const nghttp2_frame* _frame) override;
  int OnHeader(const nghttp2_frame* _frame, const uint8_t* _name, size_t _nameLen,
               const uint8_t* _value, size_t _valueLen) override;
  int OnDataChunk(int32_t _stream, const uint8_t* _data, size_t _len) override;
  int OnFrameRecv(const nghttp2_frame* _frame) override;
  void OnFrameSend(const nghttp2_frame* _frame) override;
  void OnStreamClose(int32_t _stream, uint32_t _code) override;

  // Receive-side steps.
  bool InsertRecv(int32_t _stream);
  bool UpdateHdrRecv(int32_t _stream, const char* _name, size_t _nameLen, const char* _value,
                     size_t _valueLen);
  bool UpdatePayloadRecv(int32_t _stream, const char* _data, size_t _length);
  bool OnResponseRecv(int32_t _stream);
  bool RSTRecv(int32_t _stream, int _code);
  void CloseRecv(int32_t _stream, uint32_t _code);

  CQIRHttp2Session core_;
  std::string name_;
  std::string host_;
  int port_;
  std::string scheme_;
  std::string authority_;
  SSL_CTX* ssl_ctx_;           // not owned
  QIR_ST_HTTP2_OPTIONS options_;
  bool isUpgrade_;
  bool isEvent_;
  CQIRMutex mutexQ_;
  int total_request_count_;    // guarded by mutexQ_
  int32_t last_send_stream_id_;  // guarded by mutexQ_
  int32_t last_recv_stream_id_;  // guarded by mutexQ_
  CQIRHttp2Pool<QIR_ST_HTTP2_RESPONSE> responsePool_;
  std::vector<QIR_ST_HTTP2_REQUEST*> requestList_;  // guarded by mutexQ_
  std::map<int32_t, QIR_ST_HTTP2_REQUEST*> requestMap_;
  CQIRHttp2Pool<QIR_ST_HTTP2_REQUEST> requestPool_;  // guarded by mutexQ_
  std::vector<QIR_ST_HTTP2_RESPONSE*> responseList_;
  std::map<int32_t, QIR_ST_HTTP2_RESPONSE*> responseMap_;
  // Submitted requests by the steady-clock time (ns) they were queued.
  std::multimap<int64_t, QIR_ST_HTTP2_REQUEST*> timeoutMap_;
  // Stream of the synchronous request in flight, 0 when none: the only
  // stream besides requestMap_'s whose response is handed out.
  int32_t sync_stream_id_;
  // Accepted but never sent (GOAWAY, close): refused, safe to retry.
  std::vector<QIR_ST_HTTP2_REQUEST*> unsent_;
  bool goaway_;             // guarded by mutexQ_: the peer sent GOAWAY
  bool goawayPending_;      // event thread: handled after the Recv that got it
  int goawayCode_;          // -1 none
  int32_t goawayLastId_;
  bool failed_;             // event thread: in-flight requests got their failure
  // An outcome settled by Disconnect, with its own copy of the body.
  struct Settled {
    int32_t messageId;
    int32_t streamId;
    char rs[4];
    QIR_HTTP2_HEADER hdr;
    std::string body;
    int error;
    int outcome;
    int cause;
  };
  std::deque<Settled> settled_;     // event thread; outlives the connection
  std::atomic<int> settledCount_;   // settled_.size(), read by any thread
};

#endif  // QIR_NET_CQIRHTTP2REQUEST_H
