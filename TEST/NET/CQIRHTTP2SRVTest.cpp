#include "CQIRHTTP2SRV.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

// An asynchronous application: requests are queued here and answered by
// the test's own thread through AsyncResponse.
struct AsyncApp {
  struct Pending {
    int32_t connId;
    int32_t streamId;
    std::string body;
  };

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

  bool WaitRequest(Pending* _out) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [this] { return !pending.empty(); })) {
      return false;
    }
    *_out = pending.front();
    pending.pop_front();
    return true;
  }

  QIR_HTTP2SRV_CALLBACKS callbacks;
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<Pending> pending;
  std::atomic<int> requests{0};
  std::atomic<int> disconnects{0};
};

bool PortRefuses(int _port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(_port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool refused = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0;
  close(fd);
  return refused;
}

template <typename F>
bool WaitFor(F _done) {
  for (int i = 0; i < 2000; ++i) {
    if (_done()) return true;
    usleep(5000);
  }
  return _done();
}

class CQIRHTTP2SRVTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    port_ = FreePort();
    ASSERT_FALSE(dir_.empty());
    WriteFile(dir_ + "/srv.ini",
              "[SSL/TLS]\nHTTP1X_UPGRADE = false\nUSE_SSL = false\n[THREAD]\nPOOL_SIZE = 2\n"
              "[LISTENER]\nHTTP_PORT = " +
                  std::to_string(port_) + "\n[HTTP2_OPTIONS]\nPING_PERIOD = 0\n");
  }
  void TearDown() override { RemoveTree(dir_); }

  bool StartServer(CQIRHTTP2SRV& _srv, AsyncApp& _app) {
    if (!_srv.Initialize((dir_ + "/srv.ini").c_str(), &_app.callbacks)) return false;
    if (!_srv.Start()) return false;
    loop_ = std::thread([this, &_srv] { loopResult_ = _srv.Loop(); });
    return WaitFor([this] { return !PortRefuses(port_); });
  }
  void JoinLoop() {
    if (loop_.joinable()) loop_.join();
  }

  std::string dir_;
  int port_ = -1;
  std::thread loop_;
  std::atomic<bool> loopResult_{false};
};

}  // namespace

// A request answered later from another thread; the monitor sees the
// connection meanwhile; ids that are unknown or removed report 1.
TEST_F(CQIRHTTP2SRVTest, AsyncResponseFromAnyThreadAndMonitor) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  AsyncApp app;
  CQIRHTTP2SRV srv;
  ASSERT_TRUE(StartServer(srv, app));
  // The readiness probe above was connection 0; it is gone by now or soon.
  ASSERT_TRUE(WaitFor([&] { return app.disconnects.load() == 1; }));

  std::string out;
  std::thread client([&] {
    RunCmd("curl -sS --http2-prior-knowledge -d question http://127.0.0.1:" +
            std::to_string(port_) + "/ask",
        &out, 20);
  });
  AsyncApp::Pending req;
  ASSERT_TRUE(app.WaitRequest(&req));
  EXPECT_EQ(1, req.connId);
  EXPECT_EQ("question", req.body);

  std::string report = "head\n";
  srv.GetMonitor(report);
  EXPECT_EQ(0u, report.find("head\n\tThread Index :   0 \tConnections : 0\n"
                            "\tThread Index :   1 \tConnections : 1\n"
                            "\tName : http://127.0.0.1:" +
                            std::to_string(port_) + ":1"))
      << report;

  QIR_ST_HTTP2_RESPONSE res;
  char body[] = "answer";
  res.messageId_ = 0;
  res.streamId_ = req.streamId;
  snprintf(res.rs_, sizeof(res.rs_), "%s", "200");
  res.payload_.data_ = body;
  res.payload_.size_ = strlen(body);
  res.payload_.rSize_ = 0;
  res.error_ = 0;
  EXPECT_EQ(0, srv.AsyncResponse(req.connId, &res));
  client.join();
  EXPECT_EQ("answer", out);

  EXPECT_EQ(1, srv.AsyncResponse(999, &res));
  ASSERT_TRUE(WaitFor([&] { return app.disconnects.load() == 2; }));
  EXPECT_EQ(1, srv.AsyncResponse(req.connId, &res));

  srv.Stop();
  JoinLoop();
  EXPECT_TRUE(loopResult_.load());
  EXPECT_FALSE(srv.LoopOnce());  // "already stopped..."
  srv.Stop();                    // harmless again
}

// While Stop drains (a response the peer's zero window holds back), a new
// request of the asynchronous application is answered 503 by the runtime.
TEST_F(CQIRHTTP2SRVTest, StopAnswers503WhileDraining) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  AsyncApp app;
  CQIRHTTP2SRV srv;
  ASSERT_TRUE(StartServer(srv, app));
  std::string script = dir_ + "/drain.py";
  WriteFile(script, R"PY(
import os, socket, sys, time, h2.connection, h2.config, h2.events, h2.settings
port, marker, go = int(sys.argv[1]), sys.argv[2], sys.argv[3]
s = socket.create_connection(("127.0.0.1", port), timeout=10)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.local_settings = h2.settings.Settings(client=True,
    initial_values={h2.settings.SettingCodes.INITIAL_WINDOW_SIZE: 0})
c.initiate_connection()
hdrs = [(":method", "POST"), (":scheme", "http"), (":authority", "t"), (":path", "/a")]
c.send_headers(1, hdrs)
c.send_data(1, b"first", end_stream=True)
s.sendall(c.data_to_send())
status = {}
def pump():
    data = s.recv(65536)
    if not data:
        return False
    for e in c.receive_data(data):
        if isinstance(e, h2.events.ResponseReceived):
            status[e.stream_id] = dict(e.headers)[b":status"].decode()
    s.sendall(c.data_to_send())
    return True
while 1 not in status and pump():
    pass
open(marker, "w").close()
while not os.path.exists(go):
    time.sleep(0.01)
c.send_headers(3, hdrs)
c.send_data(3, b"second", end_stream=True)
s.sendall(c.data_to_send())
while 3 not in status and pump():
    pass
print(status.get(1), status.get(3))
)PY");
  std::string marker = dir_ + "/first-answered", go = dir_ + "/go", out;
  std::thread client([&] {
    RunCmd("/usr/bin/python3 " + script + " " + std::to_string(port_) + " " + marker + " " + go,
        &out, 30, true);
  });
  AsyncApp::Pending req;
  ASSERT_TRUE(app.WaitRequest(&req));
  QIR_ST_HTTP2_RESPONSE res;
  char body[] = "held back by the window";
  res.messageId_ = 0;
  res.error_ = 0;
  res.streamId_ = req.streamId;
  snprintf(res.rs_, sizeof(res.rs_), "%s", "200");
  res.payload_.data_ = body;
  res.payload_.size_ = strlen(body);
  res.payload_.rSize_ = 0;
  EXPECT_EQ(0, srv.AsyncResponse(req.connId, &res));
  ASSERT_TRUE(WaitFor([&] { return access(marker.c_str(), F_OK) == 0; }));

  std::thread stopper([&] { srv.Stop(); });
  // The listener closes first, the exit reservation follows at once.
  ASSERT_TRUE(WaitFor([&] { return PortRefuses(port_); }));
  usleep(20000);
  WriteFile(go, "");
  stopper.join();
  client.join();
  JoinLoop();
  EXPECT_EQ("200 503\n", out);
  EXPECT_EQ(1, app.requests.load());  // the second never reached the application
}

// Stop from another thread while the loop thread waits in (or runs) an
// accept pass, with clients connecting all the while: the pass must end
// before the listener's records and epoll instance go away.
TEST_F(CQIRHTTP2SRVTest, StopWhileLoopThreadInAccept) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    port_ = FreePort();
    WriteFile(dir_ + "/srv.ini",
              "[SSL/TLS]\nUSE_SSL = false\nHTTP1X_UPGRADE = false\n[THREAD]\nPOOL_SIZE = 1\n"
              "[LISTENER]\nHTTP_PORT = " +
                  std::to_string(port_) + "\n");
    AsyncApp app;
    CQIRHTTP2SRV srv;
    ASSERT_TRUE(StartServer(srv, app));
    std::atomic<bool> done{false};
    std::thread knocker([&] {
      while (!done.load()) {
        PortRefuses(port_);
        usleep(1000);
      }
    });
    usleep(30000 * (round + 1));
    srv.Stop();
    JoinLoop();
    done.store(true);
    knocker.join();
    EXPECT_TRUE(loopResult_.load());
    EXPECT_EQ(0, srv.GetConnectionCount());
  }
}
