#ifndef QIR_NET_CQIRHTTP2SRVMETRICSLISTENER_H
#define QIR_NET_CQIRHTTP2SRVMETRICSLISTENER_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "CQIRThread.h"

// The metrics port: answers "GET /metrics" over HTTP/1.1 with what the
// render function writes (Prometheus's text exposition format) and 404 to
// anything else, one answer per connection. Runs on its own thread, never
// on a worker: a scrape costs the workers nothing but the reads of their
// counters. A few scrapers are served at once, each within a time-out; a
// scraper that is slow, silent or sends too much is closed at its deadline
// or at once, and when all slots are taken the oldest socket gives way.
//
// Owned by the server facade: Initialize and Activate on its loop thread,
// Finalize on the thread that stops it; the render function runs on this
// thread and must stay callable until Finalize has returned.
class CQIRHTTP2SRVMetricsListener : public CQIRThread {
 public:
  CQIRHTTP2SRVMetricsListener();
  ~CQIRHTTP2SRVMetricsListener() override;

  // Binds _host (numeric address; empty: the loopback of _family) and
  // _port; false with an Error naming the port and the system's reason.
  bool Initialize(const std::string& _host, int _family, int _port,
                  std::function<void(std::string&)> _render);
  bool Activate();   // starts the thread; true when bound and running
  void Finalize();   // stops the thread, closes every socket; harmless twice
  int GetPort() const { return port_; }  // the bound port (0 asks the kernel)

  static constexpr int kMaxClients = 8;
  static constexpr int kClientTimeoutMs = 5000;

 protected:
  void Initial() override {}
  void Run() override;
  void Final() override {}

 private:
  typedef std::chrono::steady_clock Clock;
  struct Client {
    int fd_ = -1;
    std::string in_;
    std::string out_;
    size_t sent_ = 0;
    Clock::time_point deadline_;
  };

  void AcceptAll();
  void Read(Client& _c);   // closes it or makes its answer
  void Write(Client& _c);  // closes it when sent or failed
  void Answer(Client& _c);
  void Close(Client& _c);

  std::function<void(std::string&)> render_;  // this thread, once Activated
  Client clients_[kMaxClients];               // this thread only
  int listenFd_;
  int wakeFd_;  // eventfd: Finalize wakes the thread
  int port_;
  std::atomic<bool> doExit_;
};

#endif  // QIR_NET_CQIRHTTP2SRVMETRICSLISTENER_H
