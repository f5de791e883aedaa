#include "CQIRHttp2Response.h"

#include <gtest/gtest.h>

#include "NET/QIRHttp2TestPeer.h"

using namespace qirtest;

namespace {

struct Event { int event, stream, code; };
void Record(int _event, int _stream, int _code, void*, void* _args) {
  static_cast<std::vector<Event>*>(_args)->push_back({_event, _stream, _code});
}

QIR_ST_HTTP2_OPTIONS Streams(uint32_t _n, uint32_t _payload = 0) {
  QIR_ST_HTTP2_OPTIONS o;
  o.nMaxConcurrentStream_ = _n;
  o.nMaxPayloadSize_ = _payload;
  return o;
}

}  // namespace

// The engine on one end of a socketpair (preface form, caller's event mode),
// a libnghttp2 client on the other.
class Http2Engine : public ::testing::Test {
 protected:
  void Open(QIR_ST_HTTP2_OPTIONS _opt = {}) {
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds_));
    ASSERT_TRUE(e_.Initialize("pair", &_opt));
    ASSERT_TRUE(e_.Accept(fds_[0], "127.0.0.1", 0, nullptr, true));
    e_.SetUserCallback(Record, &events_);
    peer_.reset(new H2Peer(fds_[1]));
    peer_->Preface();
    n_ = _opt.nMaxConcurrentStream_ != 0 ? _opt.nMaxConcurrentStream_ : 100;
  }
  void TearDown() override {
    if (!peer_) return;
    if (e_.GetState() == QIR_HTTP2_CONN_STATE_OPEN) {
      PumpUntil(e_, *peer_, [this] {
        if (e_.IsSendDataExist()) return false;
        for (auto& s : peer_->streams) if (!s.second.closed) return false;
        return true;
      });
    }
    EXPECT_EQ(0, e_.GetIncompleteCount());
    e_.Disconnect();
    EXPECT_GE(e_.GetRequestPoolSize(), n_);
    EXPECT_EQ(n_, e_.GetResponsePoolSize());
    peer_.reset();
    close(fds_[1]);
  }
  // Handed-over stream ids, after the peer's requests were fed in.
  std::vector<int32_t> Take() {
    std::vector<int32_t> ids;
    QIR_ST_HTTP2_REQUEST_RECV req;
    while (e_.Request(&req) == 1) ids.push_back(req.streamId_);
    return ids;
  }
  void Answer(int32_t _id, const char* _status, const std::string& _body = "") {
    ASSERT_EQ(1, Reply(e_, _id, _status, _body));
  }
  bool Closed(int32_t _id) {
    return PumpUntil(e_, *peer_, [&] { return peer_->streams[_id].closed; });
  }

  CQIRHttp2Response e_;
  std::unique_ptr<H2Peer> peer_;
  int fds_[2] = {-1, -1};
  size_t n_ = 0;
  std::vector<Event> events_;
};

// Requests completing in one read are handed over one per call, in order;
// the engine is fed in bulk and one byte at a time.
class Http2EngineFeed : public Http2Engine, public ::testing::WithParamInterface<bool> {};

TEST_P(Http2EngineFeed, EchoesRequestsHandedOverOnePerCall) {
  bool oneByte = GetParam();
  Open(Streams(8));
  peer_->Submit("GET", "/a");
  peer_->Submit("POST", "/b", "hello", {{"x-note", "n"}});
  peer_->Submit("GET", "/c");
  peer_->Flush(oneByte ? &e_ : nullptr);
  if (!oneByte) e_.ProcEvent();

  std::vector<std::string> got;
  QIR_ST_HTTP2_REQUEST_RECV req;
  while (e_.Request(&req) == 1) {
    got.push_back(std::to_string(req.streamId_) + Field(req.hdr_, ":path") + Field(req.hdr_, "x-note") +
                  std::string(req.data_, req.size_));
    Echo(e_, req);
  }
  EXPECT_EQ(-1, req.streamId_);
  // The POST completes with its DATA frame, after the third HEADERS.
  EXPECT_EQ((std::vector<std::string>{"1/a", "5/c", "3/bnhello"}), got);

  ASSERT_TRUE(PumpUntil(e_, *peer_, [&] { return peer_->streams[3].closed; }, oneByte));
  EXPECT_EQ("200", peer_->Status(3));
  EXPECT_EQ("POST", Field(&peer_->streams[3].hdr, "x-method"));
  EXPECT_EQ("/a", peer_->streams[1].body);
  EXPECT_EQ("hello", peer_->streams[3].body);
}
INSTANTIATE_TEST_SUITE_P(BulkAndByteByByte, Http2EngineFeed, ::testing::Bool());

TEST_F(Http2Engine, Status000ResetsItsStreamAndLateAnswersAreDropped) {
  Open(Streams(4));
  peer_->Submit("GET", "/1");
  peer_->Submit("GET", "/3");
  Turn(e_, *peer_);
  ASSERT_EQ((std::vector<int32_t>{1, 3}), Take());
  nghttp2_submit_rst_stream(peer_->session, NGHTTP2_FLAG_NONE, 1, NGHTTP2_CANCEL);
  ASSERT_TRUE(PumpUntil(e_, *peer_, [&] { return !events_.empty(); }));
  Answer(1, "200", "late");  // dropped; its record back in the pool (TearDown)
  Answer(3, "000");
  ASSERT_TRUE(Closed(3));
  EXPECT_TRUE(peer_->streams[1].hdr.empty() && peer_->streams[3].hdr.empty());
  const H2Frame* rst = peer_->Find(NGHTTP2_RST_STREAM, 3);
  ASSERT_NE(nullptr, rst);
  EXPECT_EQ(static_cast<uint32_t>(NGHTTP2_INTERNAL_ERROR), rst->code);
  EXPECT_EQ(QIR_HTTP2_CONN_STATE_OPEN, e_.GetState());
}

// A stream reset while its complete request waited in the list is never
// handed over: its buffer may already carry another stream. The stream that
// brings the open streams to the advertised limit is served, not answered
// 429 (StreamAtTheLimitIsServedNot429).
TEST_F(Http2Engine, ListedResetIsWithdrawnAndTheStreamAtTheLimitIsServed) {
  Open(Streams(2));
  peer_->Submit("GET", "/1");
  Turn(e_, *peer_);
  nghttp2_submit_rst_stream(peer_->session, NGHTTP2_FLAG_NONE, 1, NGHTTP2_CANCEL);
  Turn(e_, *peer_);
  peer_->Submit("GET", "/3");
  peer_->Submit("GET", "/5");  // takes the reset stream's buffer; open streams at the limit
  Turn(e_, *peer_);
  EXPECT_EQ((std::vector<int32_t>{3, 5}), Take());
  Answer(3, "200");
  Answer(5, "200");
  ASSERT_TRUE(Closed(5));
  EXPECT_EQ("200", peer_->Status(5));
  EXPECT_EQ(0, e_.Get429ResponseCount());
  EXPECT_EQ(1, e_.GetCancelCount());
  EXPECT_EQ(0, e_.GetCancelCount());
  ASSERT_EQ(1u, events_.size());
  EXPECT_EQ((std::vector<int>{2, 1, NGHTTP2_CANCEL}),
            (std::vector<int>{events_[0].event, events_[0].stream, events_[0].code}));
}

TEST_F(Http2Engine, ResponseBodyBeyondTheRecordBufferIsNeverCopied) {
  Open(Streams(2, 16));
  peer_->Submit("GET", "/1");
  Turn(e_, *peer_);
  ASSERT_EQ(std::vector<int32_t>{1}, Take());
  Answer(1, "200", std::string(4096, 'z'));
  EXPECT_EQ(-1, e_.ProcEventPre());
  EXPECT_EQ(QIR_HTTP2_CONN_STATE_CLOSE, e_.GetState());
  EXPECT_EQ(QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR, e_.GetStateCause());
}

// A second answer while the first one's body still waits for window must not
// go out as a stray HEADERS frame, nor leave its record outside the pool.
TEST_F(Http2Engine, DuplicateResponseForOneStreamKeepsItsRecordPooled) {
  Open(Streams(2));
  nghttp2_settings_entry window = {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, 16};
  nghttp2_submit_settings(peer_->session, NGHTTP2_FLAG_NONE, &window, 1);
  peer_->Submit("GET", "/1");
  Turn(e_, *peer_);
  ASSERT_EQ(std::vector<int32_t>{1}, Take());
  std::string first(40, 'f');
  Answer(1, "200", first);
  Answer(1, "200", "second");
  ASSERT_TRUE(Closed(1));
  EXPECT_EQ(first, peer_->streams[1].body);
  EXPECT_EQ(1u, peer_->streams[1].hdr.size());
}

TEST_F(Http2Engine, PingAfterSilenceThenPingTimeout) {
  QIR_ST_HTTP2_OPTIONS o = Streams(2);
  o.nPingSendThreshold_ = 1;
  o.nPingTimeoutThreshold_ = 1;
  Open(o);
  auto pings = [&] {
    int n = 0;
    for (auto& f : peer_->frames) n += f.type == NGHTTP2_PING && !(f.flags & NGHTTP2_FLAG_ACK);
    return n;
  };
  EXPECT_LE(e_.NextDue(), std::chrono::steady_clock::now() + std::chrono::seconds(1));
  // Answered: the session stays open.
  ASSERT_TRUE(PumpUntil(e_, *peer_, [&] { usleep(10000); return pings() == 1; }));
  for (int i = 0; i < 20; ++i) Turn(e_, *peer_);
  EXPECT_EQ(QIR_HTTP2_CONN_STATE_OPEN, e_.GetState());
  // Unanswered: the next PING times out.
  int r = 0;
  for (int i = 0; i < 500 && r != -1; ++i) r = e_.ProcEventPre(), usleep(10000);
  EXPECT_EQ(-1, r);
  EXPECT_EQ(QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT, e_.GetStateCause());
  peer_->Drain();
  EXPECT_EQ(2, pings());
}

// REQUEST_TIMEOUT counts from a request's first HEADERS to its END_STREAM:
// one still arriving after it is reset (CANCEL) and its buffer comes back;
// one complete but still unanswered is the application's and stays.
TEST_F(Http2Engine, RequestTimeoutResetsOnlyRequestsStillArriving) {
  QIR_ST_HTTP2_OPTIONS o = Streams(2, 1024);
  o.nRequestTimeout_ = 1;
  Open(o);
  typedef std::chrono::steady_clock Clock;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(Clock::time_point::max(), e_.NextDue());  // no PING, nothing open
  // HEADERS without END_STREAM, and no body after it.
  const char* f[][2] = {{":method", "POST"}, {":path", "/"}, {":scheme", "http"}, {":authority", "t"}};
  nghttp2_nv nv[4];
  for (int i = 0; i < 4; ++i) {
    nv[i] = {(uint8_t*)f[i][0], (uint8_t*)f[i][1], strlen(f[i][0]), strlen(f[i][1]), NGHTTP2_NV_FLAG_NONE};
  }
  nghttp2_submit_headers(peer_->session, NGHTTP2_FLAG_NONE, -1, nullptr, nv, 4, nullptr);
  peer_->Submit("GET", "/done");
  Turn(e_, *peer_);
  EXPECT_EQ(std::vector<int32_t>{3}, Take());
  EXPECT_LE(e_.NextDue(), start + std::chrono::milliseconds(1100));
  ASSERT_TRUE(PumpUntil(e_, *peer_, [&] { usleep(5000); return peer_->Find(NGHTTP2_RST_STREAM, 1); }));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));
  EXPECT_EQ(NGHTTP2_CANCEL, peer_->Find(NGHTTP2_RST_STREAM, 1)->code);
  EXPECT_EQ(n_ - 1, e_.GetRequestPoolSize());  // only stream 3 holds one
  Answer(3, "200");
  EXPECT_TRUE(Closed(3));
  EXPECT_EQ("200", peer_->Status(3));
  EXPECT_EQ(nullptr, peer_->Find(NGHTTP2_RST_STREAM, 3));
}

// One frame as raw bytes: 9-byte header and payload.
std::string Frame(uint8_t _type, uint8_t _flags, int32_t _id, const std::string& _payload) {
  size_t n = _payload.size();
  std::string f = {(char)(n >> 16), (char)(n >> 8), (char)n, (char)_type, (char)_flags,
                   (char)(_id >> 24), (char)(_id >> 16), (char)(_id >> 8), (char)_id};
  return f + _payload;
}

// Stream errors reset their stream only (RFC 9113 sections 5.1.2, 8.1.1,
// 6.9.1): stream 1 fails one way or another, stream 3 on the same connection
// is served. A header list past either bound is reset before more of it is
// stored; the big one re-references one table entry, as the memory probe
// did (HeaderListIsBounded). A stream window pushed past 2^31-1 gets
// FLOW_CONTROL_ERROR (FlowControlOverflowCodes).
struct StreamErrorCase { const char* what; QIR_HTTP2_HEADER extra; bool windowOverflow; uint32_t code; };
void PrintTo(const StreamErrorCase& _c, std::ostream* _os) { *_os << _c.what; }
class Http2EngineStreamError : public Http2Engine,
                               public ::testing::WithParamInterface<StreamErrorCase> {};

TEST_P(Http2EngineStreamError, ResetsOnlyItsStream) {
  const StreamErrorCase& c = GetParam();
  QIR_ST_HTTP2_OPTIONS o = Streams(4);
  o.nMaxHeaderFields_ = 10;  // 4 pseudo-headers + 6
  o.nMaxHeaderListSize_ = 16384;
  Open(o);
  peer_->Submit("GET", "/1", "", c.extra);
  Turn(e_, *peer_);
  if (c.windowOverflow) {
    EXPECT_EQ(std::vector<int32_t>{1}, Take());
    peer_->Raw(Frame(NGHTTP2_WINDOW_UPDATE, 0, 1, std::string("\x7f\xff\xff\xff", 4)));
  }
  peer_->Submit("GET", "/3");
  Turn(e_, *peer_);
  EXPECT_EQ(std::vector<int32_t>{3}, Take());
  Answer(3, "200");
  ASSERT_TRUE(Closed(3));
  EXPECT_EQ("200", peer_->Status(3));
  const H2Frame* rst = peer_->Find(NGHTTP2_RST_STREAM, 1);
  ASSERT_NE(nullptr, rst);
  EXPECT_EQ(c.code, rst->code);
  EXPECT_EQ(QIR_HTTP2_CONN_STATE_OPEN, e_.GetState());
}
QIR_HTTP2_HEADER Fields(size_t _n, size_t _valueLen) {
  QIR_HTTP2_HEADER h;
  for (size_t i = 0; i < _n; ++i) {
    h.emplace_back(_valueLen > 100 ? "x-big" : "x-" + std::to_string(i),
                   std::string(_valueLen, 'v'));
  }
  return h;
}
INSTANTIATE_TEST_SUITE_P(
    Causes, Http2EngineStreamError,
    ::testing::Values(
        StreamErrorCase{"RejectedName", {{"bad name", "v"}}, false, NGHTTP2_PROTOCOL_ERROR},
        StreamErrorCase{"NoBodyAfterLength", {{"content-length", "5"}}, false,
                        NGHTTP2_PROTOCOL_ERROR},
        StreamErrorCase{"OneFieldTooMany", Fields(7, 10), false, NGHTTP2_INTERNAL_ERROR},
        StreamErrorCase{"BytesPastTheBound", Fields(20, 1000), false, NGHTTP2_INTERNAL_ERROR},
        StreamErrorCase{"WindowPastTheMaximum", {}, true, NGHTTP2_FLOW_CONTROL_ERROR}),
    [](const ::testing::TestParamInfo<StreamErrorCase>& i) { return std::string(i.param.what); });

// The connection window pushed past 2^31-1: GOAWAY with FLOW_CONTROL_ERROR
// leaves before the session closes (FlowControlOverflowCodes).
TEST_F(Http2Engine, ConnectionWindowPastTheMaximumGetsGoawayFlowControlError) {
  Open(Streams(2));
  peer_->Raw(Frame(NGHTTP2_WINDOW_UPDATE, 0, 0, std::string("\x7f\xff\xff\xff", 4)));
  Turn(e_, *peer_);
  const H2Frame* f = peer_->Find(NGHTTP2_GOAWAY, 0);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(static_cast<uint32_t>(NGHTTP2_FLOW_CONTROL_ERROR), f->code);
  EXPECT_EQ(QIR_HTTP2_CONN_STATE_CLOSE, e_.GetState());
  EXPECT_EQ(QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR, e_.GetStateCause());
}
