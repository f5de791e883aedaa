#include "QIRHttp2Upgrade.h"

#include <gtest/gtest.h>

#include <thread>

#include "CQIRHttp2Request.h"
#include "NET/QIRHttp2TestPeer.h"

using namespace qirtest;

namespace {

// Packed SETTINGS payload of the entries.
std::string Pack(std::vector<nghttp2_settings_entry> _iv) {
  uint8_t buf[128];
  ssize_t n = nghttp2_pack_settings_payload(buf, sizeof(buf), _iv.data(), _iv.size());
  return std::string(reinterpret_cast<char*>(buf), n > 0 ? static_cast<size_t>(n) : 0);
}

std::string Token68(const std::string& _bytes) {
  std::string t = base64_encode(reinterpret_cast<const uint8_t*>(_bytes.data()), _bytes.size());
  to_token68(t);
  return t;
}

// A window of 16 bytes, which the answer's DATA frames show.
const std::string kSettings = Pack({{NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 16}});

}  // namespace

TEST(QIRHttp2Upgrade, MalformedBase64DecodesToNothing) {
  for (const char* text : {"Zm8", "Zg=A", "Z===", "Zg==Zg==", "Zm9v!A==", "Zm 9"}) {
    BlockAllocator balloc;
    EXPECT_TRUE(base64_decode(balloc, StringRef(text, strlen(text))).empty()) << text;
  }
}

// The engine taking an upgrade on one end of a socketpair.
class Http2Upgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_));
    QIR_ST_HTTP2_OPTIONS o;
    o.nMaxConcurrentStream_ = 4;
    ASSERT_TRUE(e_.Initialize("upgrade", &o));
  }
  void TearDown() override {
    EXPECT_EQ(0, e_.GetIncompleteCount());
    e_.Disconnect();
    EXPECT_EQ(4u, e_.GetRequestPoolSize());
    EXPECT_EQ(4u, e_.GetResponsePoolSize());
    close(fds_[1]);
  }
  bool Accept(const std::string& _bytes) {
    EXPECT_EQ(static_cast<ssize_t>(_bytes.size()), write(fds_[1], _bytes.data(), _bytes.size()));
    return e_.Accept(fds_[0], "127.0.0.1", 0, true);
  }
  std::string Sent() {
    fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    char buf[4096];
    ssize_t n = read(fds_[1], buf, sizeof(buf));
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  // The handed-over stream 1 as "name=value;" pairs, then its body.
  std::string Stream1() {
    QIR_ST_HTTP2_REQUEST_RECV req;
    if (e_.Request(&req) != 1 || req.streamId_ != 1) return "none";
    std::string s;
    for (auto& f : *req.hdr_) s += f.first + "=" + f.second + ";";
    return s + "|" + std::string(req.data_, req.size_);
  }

  CQIRHttp2Response e_;
  int fds_[2] = {-1, -1};
};

// RFC 7540 section 3.2 (deprecated by RFC 9113): the upgrade request is
// answered on stream 1, the path "/" included; the HTTP2-Settings payload
// governs that answer.
TEST_F(Http2Upgrade, RequestForRootIsAnsweredOnStream1) {
  ASSERT_TRUE(Accept("GET / HTTP/1.1\r\nHost: example\r\nConnection: Upgrade, HTTP2-Settings\r\n"
                     "Upgrade: h2c\r\nHTTP2-Settings: " + Token68(kSettings) + "\r\n\r\n"));
  EXPECT_EQ(HTTP2_UPGRADE_RESPONSE, Sent());
  EXPECT_EQ(":method=GET;:path=/;:scheme=http;:authority=example;"
            "connection=Upgrade, HTTP2-Settings;|",
            Stream1());
  const std::string body = "0123456789abcdefghijklmnopqrstuvwxyz";
  ASSERT_EQ(1, Reply(e_, 1, "200", body));

  H2Peer peer(fds_[1]);
  peer.Upgrade(kSettings);
  ASSERT_TRUE(PumpUntil(e_, peer, [&] { return peer.streams[1].closed; }));
  EXPECT_EQ("200", peer.Status(1));
  EXPECT_EQ(body, peer.streams[1].body);
  const H2Frame* data = peer.Find(NGHTTP2_DATA, 1);
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(16u, data->length);
}

// A head arriving in pieces is completed within the one second; names match
// without regard to case (nghttp sends them in lower case), a value need not
// follow a blank, and the body follows the head.
TEST_F(Http2Upgrade, HeadSplitAcrossPacketsIsCompleted) {
  std::thread late([this] {
    usleep(100000);
    const std::string rest = "GRADE:H2C\r\nhttp2-settings:" + Token68(kSettings) + "\r\n\r\nhel";
    EXPECT_EQ(static_cast<ssize_t>(rest.size()), write(fds_[1], rest.data(), rest.size()));
    usleep(100000);
    EXPECT_EQ(2, write(fds_[1], "lo", 2));
  });
  bool ok = Accept("PUT /x HTTP/1.1\r\nhost:h\r\nContent-Length: 5\r\nUp");
  late.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(":method=PUT;:path=/x;:scheme=http;:authority=h;content-length=5;|hello", Stream1());
}

struct Refusal { const char* what; std::string request; };
void PrintTo(const Refusal& _r, std::ostream* _os) { *_os << _r.what; }
class Http2UpgradeRefusal : public Http2Upgrade, public ::testing::WithParamInterface<Refusal> {};

// Every refusal sends nothing and never writes past a receive buffer.
TEST_P(Http2UpgradeRefusal, SendsNothing) {
  EXPECT_FALSE(Accept(GetParam().request));
  EXPECT_EQ("", Sent());
}

const std::string kHead = "GET / HTTP/1.1\r\nHost: h\r\nUpgrade: h2c\r\n";
std::string BigLines(int _n, size_t _len) {
  std::string s;
  for (int i = 0; i < _n; ++i) s += "x" + std::to_string(i) + ": " + std::string(_len, 'v') + "\r\n";
  return s;
}
INSTANTIATE_TEST_SUITE_P(
    Requests, Http2UpgradeRefusal,
    ::testing::Values(
        Refusal{"NotHttp", "GET / SIP/2.0\r\nHost: h\r\n\r\n"},
        Refusal{"Preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"},
        Refusal{"ShortRequestLine", "GET /\r\nUpgrade: h2c\r\n\r\n"},
        Refusal{"LineWithoutColon", kHead + "oops\r\n\r\n"},
        Refusal{"HeadOver4095Bytes", kHead + BigLines(5, 900) + "\r\n"},
        Refusal{"LineOver1023Bytes", kHead + "x: " + std::string(1100, 'v') + "\r\n\r\n"},
        Refusal{"SettingsOver255Bytes", kHead + "HTTP2-Settings: " + std::string(300, 'A') +
                                            "\r\n\r\n"},
        Refusal{"ContentLengthBeyondLimit", kHead + "Content-Length: 100000\r\n\r\nabc"},
        Refusal{"ContentLengthNotANumber", kHead + "Content-Length: 5x\r\n\r\nabc"},
        Refusal{"BodyShorterThanAnnounced", kHead + "Content-Length: 5\r\n\r\nhe"},
        Refusal{"NothingWithinASecond", ""}),
    [](const ::testing::TestParamInfo<Refusal>& i) { return std::string(i.param.what); });

// The engine in its own event mode on a loopback connection from curl
// --http2: the upgrade request for "/" gets its answer (it hung when "/"
// made no stream 1).
TEST(Http2UpgradePeers, OwnEventModeAnswersCurl) {
  if (!h2srv_test::CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  int port = 0, lfd = h2srv_test::Loopback(&port, false);
  ASSERT_EQ(0, listen(lfd, 1));
  std::string out;
  std::thread curl([&] {
    h2srv_test::RunCmd("curl -sS --http2 -d hello http://127.0.0.1:" + std::to_string(port) + "/",
                       &out, 10);
  });
  CQIRHttp2Response e;
  QIR_ST_HTTP2_OPTIONS o;
  EXPECT_TRUE(e.Initialize("own", &o) && e.Accept(accept(lfd, nullptr, nullptr), "127.0.0.1", 0, false));
  QIR_ST_HTTP2_REQUEST_RECV req;
  for (int i = 0, r = 0; i < 1000 && r >= 0; ++i) {  // until curl has gone
    if ((r = e.Request(&req)) == 1) Echo(e, req);
  }
  curl.join();
  close(lfd);
  EXPECT_EQ("hello", out);
}

// Client half: the exact request it sends, and a server that answers 200.
TEST(Http2ClientUpgrade, SendsTheTemplateAndRefusesA200Answer) {
  int port = 0, lfd = h2srv_test::Loopback(&port, false);
  ASSERT_EQ(0, listen(lfd, 1));
  std::string head;
  std::thread server([&] {
    int fd = accept(lfd, nullptr, nullptr);
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1) head += c;
    const char ok[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ((ssize_t)strlen(ok), write(fd, ok, strlen(ok)));
    usleep(100000);
    close(fd);
  });
  CQIRHttp2Request client;
  QIR_ST_HTTP2_OPTIONS o;
  ASSERT_TRUE(client.Initialize("client", &o));
  EXPECT_FALSE(client.Connect("127.0.0.1", port, false));
  server.join();
  close(lfd);
  std::string settings = Pack({{NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, 100},
                               {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 65536},
                               {NGHTTP2_SETTINGS_MAX_FRAME_SIZE, 16384},
                               {NGHTTP2_SETTINGS_HEADER_TABLE_SIZE, 4096},
                               {NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                               {NGHTTP2_SETTINGS_NO_RFC7540_PRIORITIES, 1}});
  EXPECT_EQ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade, HTTP2-Settings\r\n"
            "Upgrade: h2c\r\nHTTP2-Settings: " + Token68(settings) + "\r\n\r\n",
            head);
}
