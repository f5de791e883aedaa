#ifndef QIR_NET_CQIRHTTP2SESSION_H
#define QIR_NET_CQIRHTTP2SESSION_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <chrono>
#include <new>
#include <string>
#include <vector>

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>

#include "CQIRMutex.h"
#include "CQIRSocketNew.h"
#include "defHttp2.h"

// What an engine does with the frames of its session; called by the session
// core from inside nghttp2_session_recv / nghttp2_session_mem_send on the thread
// that drives the session. Return values are nghttp2's callback results.
// An engine is never copied: its session points back to it.
class CQIRHttp2SessionHandler {
 public:
  CQIRHttp2SessionHandler() = default;
  CQIRHttp2SessionHandler(const CQIRHttp2SessionHandler&) = delete;
  CQIRHttp2SessionHandler& operator=(const CQIRHttp2SessionHandler&) = delete;

  // A header block begins (HEADERS of the engine's kind, within the bounds).
  virtual int OnBeginHeaders(const nghttp2_frame* _frame) = 0;
  virtual int OnHeader(const nghttp2_frame* _frame, const uint8_t* _name, size_t _nameLen,
                       const uint8_t* _value, size_t _valueLen) = 0;
  virtual int OnDataChunk(int32_t _stream, const uint8_t* _data, size_t _len) = 0;
  virtual int OnFrameRecv(const nghttp2_frame* _frame) = 0;
  virtual void OnFrameSend(const nghttp2_frame* _frame) = 0;
  virtual void OnStreamClose(int32_t _stream, uint32_t _code) = 0;

 protected:
  ~CQIRHttp2SessionHandler() {}
};

// The part of one HTTP/2 connection both engines share: the socket and its
// transport, an optional own epoll set, the nghttp2 session with its options
// and callbacks, SETTINGS, PING keep-alive, the state with its first close
// cause, GOAWAY on close, and bounds on what a peer may make us store.
//
// One thread drives it (every call but the state getters and SetState,
// which any thread may use).
class CQIRHttp2Session {
 public:
  CQIRHttp2Session();
  ~CQIRHttp2Session();
  CQIRHttp2Session(const CQIRHttp2Session&) = delete;
  CQIRHttp2Session& operator=(const CQIRHttp2Session&) = delete;

  void SetName(const char* _name) { name_ = _name != nullptr ? _name : ""; }
  const char* GetName() const { return name_.c_str(); }
  // Copies the options with their defaults applied.
  void SetOptions(const QIR_ST_HTTP2_OPTIONS* _options);
  const QIR_ST_HTTP2_OPTIONS& Options() const { return options_; }

  // Takes the socket over: transport (TLS when _ctx), non-blocking, no
  // Nagle, and with _ownEvent an epoll set of its own for WaitEvent.
  // _handshakeMs bounds the TLS handshake (0: the process-wide bound).
  bool Attach(int _fd, SSL_CTX* _ctx, int _sslMode, bool _ownEvent, SSL* _ssl = nullptr,
              int _handshakeMs = 0);
  int GetSocket() const { return fd_; }
  CQIRSocketNew& Transport() { return transport_; }
  int write(const char* _data, size_t _length) { return transport_.Send(_data, _length); }
  int read(char* _data, size_t _length) { return transport_.Recv(_data, _length); }
  int read(char* _data, const char* _endMark, int _maxSize) {
    return transport_.Recv(_data, _endMark, _maxSize);
  }
  // One wait on the own epoll set: 1 the socket is ready, 0 nothing, -1
  // failed (an error event closes with cause 7).
  int WaitEvent(int _timeoutMs);

  // Session set-up: nghttp2 session of the given side with every callback
  // routed to _handler, then (after the caller's upgrade, if any) SETTINGS.
  bool Create(bool _server, CQIRHttp2SessionHandler* _handler);
  nghttp2_session* Get() const { return session_; }
  // _fifo announces SETTINGS_NO_RFC7540_PRIORITIES (RFC 9218): nghttp2 then
  // sends the DATA of equal-priority streams in the order they were opened.
  bool SubmitSettings(bool _withPush, bool _fifo = false);
  bool SetLocalWindow();
  void Opened();  // state open, keep-alive timers restart

  // Driving. Recv: reads what the socket has, sends what that produced;
  // false once the session is closed (also when nghttp2 ended it on a
  // protocol error: its GOAWAY is flushed first). Without _flush, what the
  // input produced (acknowledgements, window updates) waits for the
  // caller's next Flush, so that it leaves with the answers in one write.
  // Flush: writes every frame nghttp2 has ready, gathered into one buffer
  // and written with one call; what the socket does not take waits for the
  // next Flush. False on a send failure (closed with cause 3).
  bool Recv(bool _flush = true);
  bool Flush();
  // A pass that found nothing to write. True once every kQuietPasses such
  // passes in a row, or at once with _now (the caller's quiet timer): the
  // output buffer has then been given back, and the caller gives back its
  // idle records.
  bool Quiet(bool _now = false);
  // Freed memory (a quiet connection's, a removed or destroyed connection's)
  // goes back to the system with malloc_trim, at most once a second for the
  // whole process, and while connections come and go in numbers only every
  // ten seconds. NoteFreedMemory is cheap and fit for use under locks;
  // GiveBackMemory trims when something was noted and a second has passed
  // in which little was freed (or ten seconds since the first note).
  static void NoteFreedMemory();
  static void GiveBackMemory();
  bool Ended() const;  // nghttp2 wants neither to read nor to write, nothing unwritten
  // Frames wait: nghttp2 has more, or the socket did not take all of the last.
  bool WantWrite() const {
    return session_ != nullptr && (outSent_ < out_.size() || nghttp2_session_want_write(session_));
  }

  // PING keep-alive: a PING after nPingSendThreshold_ s of silence, closed
  // with cause 6 when it stays unanswered nPingTimeoutThreshold_ s.
  bool IsValid();
  bool SendPing();
  // When IsValid next has something to do (a PING to send, or the wait for
  // its answer running out); max() with PING off.
  std::chrono::steady_clock::time_point PingDue() const;

  void SetState(int _state, int _cause);  // a second close keeps the first cause
  int GetState();
  int GetStateCause();
  // Replaces the cause of a closed session (a client that learns a failed
  // read was the peer closing); no effect on a session that is not closed.
  void SetCloseCause(int _cause);
  // nghttp2's error code of the receive that failed the session, 0 none.
  int LastLibError() const { return lastLibError_; }
  // Logs why a waiting operation ends on a closed session.
  void LogClosed(const char* _what);

  // GOAWAY as the close cause asks (nghttp2's own code when it ended the
  // session), flushed; then the session is deleted. _markSelf: a session
  // closed with no cause reads cause 1 afterwards.
  void Terminate(bool _markSelf);

  // Data provider of both engines: hands nghttp2 the QIR_ST_HTTP2_CHUNK_DATA
  // in source->ptr in the pieces it asks for (the bytes themselves go to
  // the output buffer uncopied by nghttp2, see SendBody).
  static ssize_t ReadBody(nghttp2_session*, int32_t, uint8_t* _buf, size_t _length,
                          uint32_t* _flags, nghttp2_data_source* _source, void*);
  void Release();  // closes the own epoll set and the socket

 private:
  static CQIRHttp2Session* Self(void* _user) { return static_cast<CQIRHttp2Session*>(_user); }
  static ssize_t RecvCallback(nghttp2_session*, uint8_t* _buf, size_t _length, int, void* _user);
  static int SendBody(nghttp2_session*, nghttp2_frame* _frame, const uint8_t* _head,
                      size_t _length, nghttp2_data_source* _source, void* _user);
  static int OnFrameRecvCallback(nghttp2_session*, const nghttp2_frame* _frame, void* _user);
  static int OnFrameSendCallback(nghttp2_session*, const nghttp2_frame* _frame, void* _user);
  static int OnStreamCloseCallback(nghttp2_session*, int32_t _stream, uint32_t _code,
                                   void* _user);
  static int OnBeginHeadersCallback(nghttp2_session*, const nghttp2_frame* _frame, void* _user);
  static int OnHeaderCallback(nghttp2_session*, const nghttp2_frame* _frame,
                              const uint8_t* _name, size_t _nameLen, const uint8_t* _value,
                              size_t _valueLen, uint8_t, void* _user);
  static int OnDataChunkRecvCallback(nghttp2_session*, uint8_t, int32_t _stream,
                                     const uint8_t* _data, size_t _len, void* _user);
  static int OnInvalidHeaderCallback(nghttp2_session*, const nghttp2_frame* _frame,
                                     nghttp2_rcbuf* _name, nghttp2_rcbuf* _value, uint8_t,
                                     void* _user);
  static int OnInvalidFrameRecvCallback(nghttp2_session*, const nghttp2_frame*, int _error,
                                        void* _user);
  static int ErrorCallback(nghttp2_session*, int _code, const char* _msg, size_t _len,
                           void* _user);
  static int OnFrameNotSendCallback(nghttp2_session*, const nghttp2_frame* _frame, int _error,
                                    void* _user);

  bool OwnHeaders(const nghttp2_frame* _frame) const;
  void Fail(int _cause, const char* _call, int _rv);
  int Drain();  // Flush without closing: 0, or nghttp2's error code

  std::string name_;
  QIR_ST_HTTP2_OPTIONS options_;
  bool server_;
  CQIRHttp2SessionHandler* handler_;  // not owned
  int fd_;
  int epfd_;
  CQIRSocketNew transport_;
  nghttp2_session* session_;          // owned
  // Serialized frames not yet written: out_[outSent_..] go first, and nothing
  // is added until they are gone (a TLS write is retried with the same bytes).
  std::vector<uint8_t> out_;
  size_t outSent_;
  // A plain socket's last read came back short: it is empty for now.
  bool recvEmptied_;
  bool recvError_;  // nghttp2 reported an error during this Recv
  int quietPasses_;  // passes in a row with nothing to write
  CQIRMutex mutexS_;
  int state_;                         // guarded by mutexS_
  int cause_;                         // guarded by mutexS_
  std::string lastError_;            // the last error nghttp2 reported, "" none
  int lastLibError_;                  // nghttp2 error code of a fatal receive, 0 none
  // Header list being received: its stream, bytes and fields so far.
  int32_t hdrStream_;
  size_t hdrBytes_;
  size_t hdrFields_;
  typedef std::chrono::steady_clock Clock;
  Clock::time_point pingSendTime_;
  Clock::time_point lastRecvTime_;
  bool pingSent_;
  bool pingAcked_;
};

// A pool of records of one kind with their payload buffers. A record is
// made when first needed (an idle connection costs next to nothing) and then
// reused, the most recently returned first; at most the limit exist unless
// Take is asked to grow. Clear frees the records in the pool. Not locked.
template <class T>
class CQIRHttp2Pool {
 public:
  typedef T* (*Make)(size_t _payload);  // null when memory is short
  typedef void (*Drop)(T* _record);

  CQIRHttp2Pool() : limit_(0), payload_(0), made_(0), make_(nullptr), drop_(nullptr) {}
  ~CQIRHttp2Pool() { Clear(); }
  CQIRHttp2Pool(const CQIRHttp2Pool&) = delete;
  CQIRHttp2Pool& operator=(const CQIRHttp2Pool&) = delete;

  void Init(size_t _limit, size_t _payload, Make _make, Drop _drop) {
    limit_ = _limit;
    payload_ = _payload;
    make_ = _make;
    drop_ = _drop;
  }
  T* Take(bool _grow = false) {
    if (!free_.empty()) {
      T* t = free_.back();
      free_.pop_back();
      return t;
    }
    if (make_ == nullptr || (made_ >= limit_ && !_grow)) return nullptr;
    T* t = make_(payload_);
    if (t != nullptr) ++made_;
    return t;
  }
  void Give(T* _t) { free_.push_back(_t); }
  // Records that can be taken without growing the pool.
  size_t Available() const { return free_.size() + (limit_ > made_ ? limit_ - made_ : 0); }
  // Frees the idle records but the _keep used last (LIFO: those at the
  // back), so that a connection past a burst keeps what a few requests need.
  bool Shrink(size_t _keep) {
    if (free_.size() <= _keep) return false;
    const size_t drop = free_.size() - _keep;
    for (size_t i = 0; i < drop; ++i) drop_(free_[i]);
    free_.erase(free_.begin(), free_.begin() + static_cast<std::ptrdiff_t>(drop));
    made_ -= drop;
    return true;
  }
  void Clear() {
    for (T* t : free_) drop_(t);
    made_ -= free_.size();
    free_.clear();
  }

 private:
  std::vector<T*> free_;
  size_t limit_;
  size_t payload_;
  size_t made_;
  Make make_;
  Drop drop_;
};

// Record makers for the pools (requests and responses): a payload buffer of
// _payload bytes, freed with the record.
template <class T>
T* QIR_HTTP2_MAKE_RECORD(size_t _payload) {
  T* t = new (std::nothrow) T();
  if (t == nullptr) return nullptr;
  t->payload_.data_ = static_cast<char*>(malloc(_payload > 0 ? _payload : 1));
  if (t->payload_.data_ == nullptr) {
    delete t;
    return nullptr;
  }
  return t;
}

template <class T>
void QIR_HTTP2_DROP_RECORD(T* _t) {
  free(_t->payload_.data_);
  delete _t;
}

#endif  // QIR_NET_CQIRHTTP2SESSION_H
