#ifndef QIR_NET_CQIRHTTP2SRVSETUPTHREAD_H
#define QIR_NET_CQIRHTTP2SRVSETUPTHREAD_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <vector>

#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRMutex.h"
#include "CQIRSocketNew.h"
#include "CQIRThread.h"

// One accepted socket on its way to becoming a connection: the listen
// record's copy (peer address included), the id it was given at accept, and
// for "https" the TLS session being established.
struct QIR_HTTP2SRV_SETUP {
  QIR_HTTP2SRV_SETUP(const CQIRHTTP2SRVConnectionInfo& _info, int _fd, int32_t _connId)
      : info_(_info), fd_(_fd), connId_(_connId), ssl_(nullptr), gotBytes_(false) {}

  CQIRHTTP2SRVConnectionInfo info_;
  int fd_;
  int32_t connId_;
  SSL* ssl_;  // "https", once handed back: the established session
  CQIRSocketNew tls_;  // "https", while handshaking
  std::chrono::steady_clock::time_point deadline_;
  std::multimap<std::chrono::steady_clock::time_point, QIR_HTTP2SRV_SETUP*>::iterator slot_;
  bool gotBytes_;  // upgrade: something of the head has arrived
  uint32_t watched_ = 0;  // the epoll events asked for
  // "https": the handshake has begun (its session exists), holds a slot
  // (started less than kSlotMs ago and not done), or waits for one.
  bool begun_ = false;
  bool slotted_ = false;
  bool waiting_ = false;
  std::chrono::steady_clock::time_point begunAt_;
  std::list<QIR_HTTP2SRV_SETUP*>::iterator queueIt_;  // in slots_ or waiting_
  bool linger_ = false;  // a lingering close: read and drop until the peer is done
  size_t drained_ = 0;   // lingering close: bytes dropped so far
};

// The server's set-up stage: the TLS handshake (G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC)
// and the wait for the whole HTTP/1.1 upgrade request (1 s) run here,
// non-blocking on one epoll loop with per-socket deadlines, so that the
// accepting loop thread never waits for a peer. A socket whose set-up is
// complete goes back to the loop thread (TakeReady, signalled on
// GetReadyFd), which builds the connection without waiting: the handshake
// is done, or the whole upgrade request already sits in the socket. On an
// upgrade port a socket whose first bytes are the HTTP/2 connection preface
// goes back as soon as the preface is in, with its record copy's isUpgrade_
// cleared: the connection then starts HTTP/2 directly.
// A socket that fails or misses its deadline is logged and closed here.
//
// A TLS socket gets its session when its first bytes arrive, and only while
// fewer than kSlots handshakes of this stage began in the last kSlotMs and
// are not done; the others wait, unwatched and without a session, in
// arrival order. A burst of new connections then holds the memory of
// kSlots handshakes instead of one per connection (a thousand at once took
// about 80 KB each, all faulted in afresh), and the stage never idles for
// it: a slot is free again when its handshake ends or kSlotMs after it
// began, so peers that stall cannot hold the slots.
//
// It also closes sockets that have been answered and shut for sending while
// their peer may still be sending (Linger): what arrives is read and dropped
// until the peer closes, for at most kLingerMs and kLingerBytes, so that the
// close does not reset the connection under an answer the peer has not read.
//
// Owned by the listener. Add and TakeReady come from the loop thread, the
// rest of the work runs on this thread; inbox_ and ready_ are handed over
// under mutex_.
class CQIRHTTP2SRVSetupThread : public CQIRThread {
 public:
  CQIRHTTP2SRVSetupThread();
  ~CQIRHTTP2SRVSetupThread() override;

  // Epoll instance and the two wake descriptors; _maxPayload bounds the body
  // an upgrade request may carry. False (logged) when they cannot be made.
  bool Initialize(uint32_t _maxPayload);
  bool Activate();    // starts the thread unless it runs
  void Deactivate();  // stops it and closes every socket still in set-up
  void Finalize();    // Deactivate, then closes the descriptors

  // Loop thread: takes the socket over ("https" or upgrade listen record).
  void Add(QIR_HTTP2SRV_SETUP* _setup);
  // Loop thread: moves the completed set-ups out (the caller owns them).
  void TakeReady(std::vector<QIR_HTTP2SRV_SETUP*>& _out);
  int GetReadyFd() const { return readyfd_; }  // readable while some are ready
  int GetPendingCount() const { return pending_.load(); }  // added, not yet taken
  // Any thread: hands _fd (sending side already shut) to a running stage for
  // a lingering close. False when no stage runs; the caller keeps _fd then.
  static bool Linger(int _fd);

 protected:
  void Initial() override {}
  void Run() override;
  void Final() override {}

 private:
  typedef std::chrono::steady_clock Clock;
  typedef std::multimap<Clock::time_point, QIR_HTTP2SRV_SETUP*> DEADLINES;

  void TakeInbox();
  void Start(QIR_HTTP2SRV_SETUP* _setup);
  void Step(QIR_HTTP2SRV_SETUP* _setup);
  void StepTLS(QIR_HTTP2SRV_SETUP* _setup);
  void StepUpgrade(QIR_HTTP2SRV_SETUP* _setup);
  void StepLinger(QIR_HTTP2SRV_SETUP* _setup);
  void Forget(QIR_HTTP2SRV_SETUP* _setup);  // closes a lingering socket
  bool Watch(QIR_HTTP2SRV_SETUP* _setup, uint32_t _events);
  void Expire(const Clock::time_point& _now);
  void Done(QIR_HTTP2SRV_SETUP* _setup);  // hands it to the loop thread
  void FreeSlot(QIR_HTTP2SRV_SETUP* _setup);  // done, dropped: leaves slots_ or waiting_
  void StartWaiting(const Clock::time_point& _now);
  void Drop(QIR_HTTP2SRV_SETUP* _setup);  // closes and forgets it
  int NextTimeout() const;

  CQIRMutex mutex_;
  std::vector<QIR_HTTP2SRV_SETUP*> inbox_;  // guarded by mutex_
  std::vector<QIR_HTTP2SRV_SETUP*> ready_;  // guarded by mutex_
  DEADLINES deadlines_;  // this thread only: every set-up in progress
  std::list<QIR_HTTP2SRV_SETUP*> slots_;    // this thread only: by begunAt_
  std::list<QIR_HTTP2SRV_SETUP*> waiting_;  // this thread only: arrival order
  std::vector<char> peek_;  // this thread only: the upgrade request so far
  std::atomic<int> pending_;
  uint32_t maxPayload_;
  int epfd_;
  int wakefd_;   // eventfd: Add and Deactivate wake the thread
  int readyfd_;  // eventfd: watched by the loop thread
  std::atomic<bool> doExit_;
};

#endif  // QIR_NET_CQIRHTTP2SRVSETUPTHREAD_H
