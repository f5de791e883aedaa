#ifndef QIR_NET_CQIRHTTP2SRVLISTENER_H
#define QIR_NET_CQIRHTTP2SRVLISTENER_H

#include <openssl/ssl.h>

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CQIRHTTP2SRVSetupThread.h"
#include "CQIRMutex.h"

class CQIRHTTP2SRVConnectionInfo;
class CQIRHTTP2SRVConnectionManager;

// The listening sockets and the accept side of the facade's loop. Records
// are added during the facade's Initialize; their sockets are opened by the
// first accept pass (and retried by later ones). Accept passes run on the
// loop thread; Finalize may come from the stopping thread at any time.
//
// Nothing in an accept pass waits for a peer: sockets are accepted without
// a name lookup, and those that need a TLS handshake or an HTTP/1.1 upgrade
// request go to a set-up stage (its own thread; one per worker, taken in
// turn, so that handshakes use as many cores as the workers do) and come
// back through its ready descriptor, in this same epoll set, once that is
// done. onConnect_ and the connection's creation stay on the loop thread.
// Past maxConnections_ (live and in set-up) a new socket is closed at once.
// Out of descriptors (EMFILE, ENFILE) the listening sockets are left alone
// for 100 ms, doubling up to 500 ms while the shortage lasts, with at most
// one log line a second that counts the failures.
//
// Locking: passMutex_ is held for a whole accept pass and by Clear and
// Finalize, so the records and the epoll instance stay valid until the loop
// thread has left its pass; mutex_ guards listeners_. Order: passMutex_ ->
// mutex_, and passMutex_ -> connection manager (accepts run inside a pass).
// Hence Stop must not be called from onConnect_.
class CQIRHTTP2SRVListener {
 public:
  CQIRHTTP2SRVListener();
  ~CQIRHTTP2SRVListener();
  CQIRHTTP2SRVListener(const CQIRHTTP2SRVListener&) = delete;
  CQIRHTTP2SRVListener& operator=(const CQIRHTTP2SRVListener&) = delete;

  // _setupThreads: set-up stages to run (at least 1; fixed by the first call).
  bool Initialize(CQIRHTTP2SRVConnectionManager* _cmgr, SSL_CTX* _ctx, bool _isUpgrade,
                  int _setupThreads = 1);
  // Registers a port: "https" gets the TLS context, anything else cleartext
  // with the upgrade flag. False (logged) for a port outside 1..65535, a
  // port already registered for the other family, or "https" without TLS.
  bool AddListener(const std::string& _protocol, int _family, int _port);
  bool DoEvent();  // one accept pass with a 100 ms wait
  // Opens pending sockets, waits up to _timeout ms, accepts one connection
  // per ready socket. False when a socket cannot be opened, the wait fails,
  // or the listener has been finalized.
  bool Accept(int _timeout);
  void Clear();     // closes and destroys every record
  void Finalize();  // Clear, then closes the epoll instance; harmless twice
  int GetListenerCount();
  void SetMaxConnections(int _limit) { maxConnections_ = _limit; }  // before the first pass
  // Loop thread, inside onConnect_: the verified client certificate of the
  // connection being made (QIR_SSL_PEER_IDENTITY's text), else "none".
  std::string GetSettingUpPeer() const {
    return settingUpPeer_ != nullptr ? *settingUpPeer_ : std::string("none");
  }
  int GetMaxConnections() const { return maxConnections_; }

 private:
  bool Set();  // with passMutex_ held
  bool DoEventAccept(CQIRHTTP2SRVConnectionInfo* _info);
  void DoEventReady();  // builds the connections whose set-up is complete
  void ClearRecords();  // with passMutex_ held
  void PauseAccepts(int _errno);   // with passMutex_ held
  void ResumeAccepts();            // with passMutex_ held; once the pause is over
  void SetListenEvents(uint32_t _events);
  int GetPendingCount() const;  // sockets in set-up, on every stage

  typedef std::chrono::steady_clock Clock;

  CQIRMutex mutex_;
  CQIRMutex passMutex_;
  SSL_CTX* ssl_ctx_;  // not owned
  std::vector<CQIRHTTP2SRVConnectionInfo*> listeners_;  // owned, guarded by mutex_
  int epfd_;
  bool isUpgrade_;
  CQIRHTTP2SRVConnectionManager* cmgr_;
  // TLS handshakes and upgrade requests; sockets are handed out in turn.
  std::vector<std::unique_ptr<CQIRHTTP2SRVSetupThread>> setups_;
  size_t nextSetup_;   // loop thread, in a pass
  bool setupWatched_;  // their ready descriptors are in epfd_
  int maxConnections_;
  const std::string* settingUpPeer_ = nullptr;  // loop thread, during CreateConnection
  // Accept pause while descriptors are short; loop thread, in a pass.
  bool paused_;
  int pauseMs_;  // the next pause
  int refusals_;  // failures since the last log line
  Clock::time_point pausedUntil_;
  Clock::time_point lastRefusalLog_;
};

#endif  // QIR_NET_CQIRHTTP2SRVLISTENER_H
