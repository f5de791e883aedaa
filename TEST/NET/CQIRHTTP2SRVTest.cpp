#include "CQIRHTTP2SRV.h"
#include "CQIRHTTP2SRVMetrics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "NET/QIRHttp2TestPeer.h"
#include "SAMPLE/H2SrvTestUtil.h"

#include <stdlib.h>
#include <sys/socket.h>

using namespace h2srv_test;
using qirtest::WaitFor;

namespace {

// An asynchronous application: requests wait here until the test's own
// thread answers them through AsyncResponse.
struct AsyncApp {
  struct Pending { int32_t connId, streamId; std::string body; };
  AsyncApp() {
    callbacks.onConnect_ = [](int32_t, const char*, const char*, int) { return true; };
    callbacks.onDisconnect_ = [this](int32_t) { ++disconnects; };
    callbacks.onAsyncRequest_ = [this](int32_t _conn, int, int, QIR_ST_HTTP2_REQUEST_RECV* _req) {
      std::lock_guard<std::mutex> lock(mutex);
      pending.push_back({_conn, _req->streamId_, std::string(_req->data_, _req->size_)});
      ++requests;
      cv.notify_all();
    };
  }
  bool Next(Pending* _out, int _waitMs = 20000) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::milliseconds(_waitMs), [this] { return !pending.empty(); }))
      return false;
    *_out = pending.front();
    pending.pop_front();
    return true;
  }
  QIR_HTTP2SRV_CALLBACKS callbacks;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Pending> pending;
  std::atomic<int> requests{0}, disconnects{0};
};

QIR_ST_HTTP2_RESPONSE Answer(int32_t _streamId, char* _body) {
  QIR_ST_HTTP2_RESPONSE res;
  res.streamId_ = _streamId;
  snprintf(res.rs_, sizeof(res.rs_), "%s", "200");
  res.payload_.data_ = _body;
  res.payload_.size_ = strlen(_body);
  return res;
}

// A server on a free cleartext port (connection preface, two workers) run
// by Loop on its own thread.
class CQIRHTTP2SRVTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (loop_.joinable()) loop_.join();
  }
  bool StartServer(CQIRHTTP2SRV& _srv, AsyncApp& _app) {
    port_ = FreePort();
    WriteAll(dir_ + "/srv.ini", Ini(kPlain, 2, Ports(port_, 0), "PING_PERIOD = 0"));
    if (!_srv.Initialize((dir_ + "/srv.ini").c_str(), &_app.callbacks) || !_srv.Start()) return false;
    loop_ = std::thread([this, &_srv] { loopResult_ = _srv.Loop(); });
    // The probe that finds the port open is connection 0 and goes away.
    return WaitFor([this] { return PortOpen(port_); }) &&
           WaitFor([&_app] { return _app.disconnects.load() == 1; });
  }

  TempDir tmp_;
  const std::string dir_ = tmp_.path();
  int port_ = -1;
  std::thread loop_;
  std::atomic<bool> loopResult_{false};
};

// One series of the process's counters as a scrape shows it; 0 when absent.
unsigned long long Counter(const std::string& _series) {
  std::string text;
  CQIRHTTP2SRVMetrics::Render(text);
  const size_t at = text.find("\n" + _series + " ");
  return at == std::string::npos ? 0 : strtoull(text.c_str() + at + _series.size() + 2, nullptr, 10);
}

}  // namespace

// A request answered later from the test's thread; while Stop drains (the
// peer's zero window holds that answer back), a new request of the
// asynchronous application is answered 503 by the runtime. Ids unknown or
// already removed report 1.
TEST_F(CQIRHTTP2SRVTest, AsyncResponseAndStopAnswers503WhileDraining) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  AsyncApp app;
  CQIRHTTP2SRV srv;
  ASSERT_TRUE(StartServer(srv, app));
  const std::string k503 = "qir_automatic_responses_total{code=\"503\"}";
  const std::string k429 = "qir_automatic_responses_total{code=\"429\"}";
  const unsigned long long before503 = Counter(k503), before429 = Counter(k429);
  std::string marker = dir_ + "/first", go = dir_ + "/go", out;
  std::thread client([&] {
    out = Python(dir_, R"PY(
import os, socket, sys, time, h2.connection, h2.config, h2.events, h2.settings
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.local_settings = h2.settings.Settings(client=True,
    initial_values={h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
c.initiate_connection()
status = {}
def ask(sid):
    c.send_headers(sid, [(":method", "POST"), (":scheme", "http"), (":authority", "t"), (":path", "/")])
    c.send_data(sid, b"body", end_stream=True)
    s.sendall(c.data_to_send())
    while sid not in status:
        data = s.recv(65536)
        if not data: return
        for e in c.receive_data(data):
            if isinstance(e, h2.events.ResponseReceived):
                status[e.stream_id] = dict(e.headers)[b":status"].decode()
        s.sendall(c.data_to_send())
ask(1)
open(sys.argv[2], "w").close()
while not os.path.exists(sys.argv[3]): time.sleep(0.01)
ask(3)
print(status.get(1), status.get(3))
)PY", std::to_string(port_) + " " + marker + " " + go);
  });
  AsyncApp::Pending req;
  ASSERT_TRUE(app.Next(&req));
  EXPECT_EQ(1, req.connId);
  EXPECT_EQ("body", req.body);
  char body[] = "held back by the window";
  QIR_ST_HTTP2_RESPONSE res = Answer(req.streamId, body);
  EXPECT_EQ(0, srv.AsyncResponse(req.connId, &res));
  EXPECT_EQ(1, srv.AsyncResponse(999, &res));
  ASSERT_TRUE(WaitFor([&] { return access(marker.c_str(), F_OK) == 0; }));
  std::thread stopper([&] { srv.Stop(); });
  ASSERT_TRUE(WaitFor([this] { return !PortOpen(port_); }));  // the exit reservation follows at once
  usleep(20000);
  WriteAll(go, "");
  stopper.join();
  client.join();
  EXPECT_EQ("200 503\n", out);
  EXPECT_EQ(1, app.requests.load());  // the second never reached the application
  EXPECT_EQ(before503 + 1, Counter(k503));  // the runtime's own answer is counted, as 503
  EXPECT_EQ(before429, Counter(k429));
  EXPECT_EQ(1, srv.AsyncResponse(req.connId, &res));
  loop_.join();
  EXPECT_TRUE(loopResult_.load());
  EXPECT_FALSE(srv.LoopOnce());  // already stopped
  srv.Stop();                    // harmless again
}

// Stop from another thread while the loop thread waits in, or runs, an
// accept pass with clients arriving: the pass must end before the listener's
// records and epoll instance go away.
TEST_F(CQIRHTTP2SRVTest, StopWhileLoopThreadInAccept) {
  for (int round = 1; round <= 3; ++round) {
    AsyncApp app;
    CQIRHTTP2SRV srv;
    ASSERT_TRUE(StartServer(srv, app));
    std::atomic<bool> done{false};
    std::thread knocker([&] {
      while (!done.load()) PortOpen(port_), usleep(1000);
    });
    usleep(30000 * round);
    srv.Stop();
    loop_.join();
    done.store(true);
    knocker.join();
    EXPECT_TRUE(loopResult_.load());
    EXPECT_EQ(0, srv.GetConnectionCount());
  }
}

// Application threads answer while clients come, ask and reset their
// connections: every answer either reaches a live connection's worker or
// finds the id gone, never a destroyed connection (the sanitizer builds
// report any use after free or race). QIR_STRESS_SECONDS lengthens the run.
TEST_F(CQIRHTTP2SRVTest, AsyncAnswersFromFourThreadsWhileClientsConnectAndReset) {
  const char* env = getenv("QIR_STRESS_SECONDS");
  const int seconds = env != nullptr ? atoi(env) : 2;
  AsyncApp app;
  CQIRHTTP2SRV srv;
  ASSERT_TRUE(StartServer(srv, app));
  std::atomic<bool> stopApp{false}, stopClients{false};
  std::atomic<int> bad{0}, queued{0}, served{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      AsyncApp::Pending job;
      while (!stopApp.load()) {
        if (!app.Next(&job, 50)) continue;
        char body[] = "answer";
        QIR_ST_HTTP2_RESPONSE res = Answer(job.streamId, body);
        int rc = srv.AsyncResponse(job.connId, &res);
        if (rc == 0) ++queued;
        else if (rc != 1 && rc != 2) ++bad;  // 1, 2: the connection is gone
      }
    });
  }
  // A client that asks and resets; every fourth waits for its answers.
  auto client = [&](int _seed) {
    for (int round = _seed; !stopClients.load(); ++round) {
      int port = port_;
      int fd = Loopback(&port);
      if (fd < 0) continue;
      {
        qirtest::H2Peer peer(fd);
        peer.Preface();
        for (int i = 0; i < 5; ++i) peer.Submit("POST", "/", "ask");
        peer.Flush();
        if (round % 4 == 0) {
          WaitFor([&] {
            peer.Drain();
            peer.Flush();
            for (int32_t id = 1; id <= 9; id += 2)
              if (!peer.streams[id].closed) return false;
            return true;
          });
          for (int32_t id = 1; id <= 9; id += 2) served += peer.Status(id) == "200";
        } else {
          usleep(static_cast<useconds_t>(round % 3) * 1000);
        }
      }
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      close(fd);
    }
  };
  std::thread c1(client, 0), c2(client, 1);
  usleep(static_cast<useconds_t>(seconds) * 1000000);
  stopClients.store(true);
  c1.join();
  c2.join();
  EXPECT_TRUE(WaitFor([&] { return srv.GetConnectionCount() == 0; }));
  stopApp.store(true);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_GT(queued.load(), 0);
  EXPECT_GT(served.load(), 0);
  EXPECT_TRUE(srv.IsNoProblem());
  srv.Stop();
  loop_.join();
  EXPECT_TRUE(loopResult_.load());
}
