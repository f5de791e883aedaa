#include "QIRHttp2Option.h"

#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"
#include "defHttp2.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>
#include <stdlib.h>

#include <string>

namespace {

const uint8_t kNoCopy = NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE;

std::string NvName(const nghttp2_nv& _nv) {
  return std::string(reinterpret_cast<const char*>(_nv.name), _nv.namelen);
}
std::string NvValue(const nghttp2_nv& _nv) {
  return std::string(reinterpret_cast<const char*>(_nv.value), _nv.valuelen);
}

// Runs QIR_HTTP2_INIT with the variable set (or unset for null) from a
// cleared flag and returns what it logged and the flag it left.
std::string RunInit(const char* _value, int* _flag) {
  const char* old = getenv("QIR_HTTP2_DETAIL_LOG");
  std::string saved = old ? old : "";
  if (_value) setenv("QIR_HTTP2_DETAIL_LOG", _value, 1); else unsetenv("QIR_HTTP2_DETAIL_LOG");
  G_QIR_HTTP2_DETAIL_LOG = 0;
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  testing::internal::CaptureStdout();
  QIR_HTTP2_INIT();
  std::string out = testing::internal::GetCapturedStdout();
  *_flag = G_QIR_HTTP2_DETAIL_LOG;
  G_QIR_HTTP2_DETAIL_LOG = 0;
  if (old) setenv("QIR_HTTP2_DETAIL_LOG", saved.c_str(), 1); else unsetenv("QIR_HTTP2_DETAIL_LOG");
  return out;
}

}  // namespace

TEST(QIRHttp2OptionTest, ZeroOptionsTakeDefaultsOthersKept) {
  QIR_ST_HTTP2_OPTIONS opt;  // all fields start 0
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&opt);
  EXPECT_EQ(100u, opt.nMaxConcurrentStream_);
  EXPECT_EQ(1024u, opt.nMaxPayloadSize_);
  EXPECT_EQ(64u, opt.nMaxHeaderTableSize_);
  EXPECT_EQ(65536u, opt.nDefaultWindowSize_);
  EXPECT_EQ(16384u, opt.nDefaultFrameSize_);
  EXPECT_EQ(1u, opt.nTimeout_);
  // No defaults: PING logic stays off, nghttp2's own window, no push.
  EXPECT_EQ(0u, opt.nLocalWindowSize_);
  EXPECT_EQ(0u, opt.nPushEnable_);
  EXPECT_EQ(0u, opt.nPingSendThreshold_);
  EXPECT_EQ(0u, opt.nPingTimeoutThreshold_);

  QIR_ST_HTTP2_OPTIONS set = {7, 65536, 4096, 1, 2, 3, 4, 5, 6, 9};
  QIR_ST_HTTP2_OPTIONS copy = set;
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&copy);
  EXPECT_EQ(0, memcmp(&set, &copy, sizeof(set)));
}

TEST(QIRHttp2OptionTest, ErrorTextForEveryCause) {
  const struct { int cause; const char* text; } cases[] = {
      {QIR_HTTP2_CONN_CLOSE_CAUSE_NONE, "none"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_SELF, "normal closed."},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_PEER, "receive GOAWAY!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR, "http/2 engine error!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT, "receive timeout!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL, "stream_id full!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT, "ping timeout!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR, "event error dispatch!"},
      {QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR, "internal error!"},
      {QIR_HTTP2_CONN_ERROR_CAUSE_STREAM_ALREADY_CLOSED, "stream already closed!"},
      {-1, "unknown..."}, {10, "unknown..."}, {-2147483647 - 1, "unknown..."},
      {2147483647, "unknown..."}};
  for (const auto& c : cases) EXPECT_STREQ(c.text, QIR_HTTP2_GET_ERROR_MSG(c.cause)) << c.cause;
}

TEST(QIRHttp2OptionTest, SettingsIdNames) {
  const struct { int id; const char* name; } cases[] = {
      {1, "SETTINGS_HEADER_TABLE_SIZE"},      {2, "SETTINGS_ENABLE_PUSH"},
      {3, "SETTINGS_MAX_CONCURRENT_STREAMS"}, {4, "SETTINGS_INITIAL_WINDOW_SIZE"},
      {5, "SETTINGS_MAX_FRAME_SIZE"},         {6, "SETTINGS_MAX_HEADER_LIST_SIZE"},
      {0, "UNKNOWN"}, {7, "UNKNOWN"}, {8, "UNKNOWN"}, {-1, "UNKNOWN"}};
  for (const auto& c : cases) EXPECT_STREQ(c.name, strsettingsid(c.id)) << c.id;
}

TEST(QIRHttp2OptionTest, NvBuildersPointIntoTheirStringsWithoutCopy) {
  std::string name = "content-type", value = "text/plain";
  nghttp2_nv nv = make_nv(name, value);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(name.data()), nv.name);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(value.data()), nv.value);
  EXPECT_EQ(12u, nv.namelen);
  EXPECT_EQ(10u, nv.valuelen);
  EXPECT_EQ(kNoCopy, nv.flags);
  EXPECT_EQ(6, nv.flags);

  // Embedded NULs count: the length is the string's, not strlen.
  std::string bin("a\0b", 3);
  EXPECT_EQ(3u, make_nv(bin, bin).valuelen);

  char rs[4] = "429";
  nv = make_nv_lc_nocopy(":status", rs);
  EXPECT_EQ(":status", NvName(nv));
  EXPECT_EQ("429", NvValue(nv));
  EXPECT_EQ(7u, nv.namelen);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(rs), nv.value);
  EXPECT_EQ(kNoCopy, nv.flags);
  nv = make_nv_lc_nocopy(":path", static_cast<const char*>(nullptr));
  EXPECT_EQ(0u, nv.valuelen);

  std::string authority = "127.0.0.1:8080";
  nv = make_nv_ls_nocopy(":authority", authority);
  EXPECT_EQ(":authority", NvName(nv));
  EXPECT_EQ(authority, NvValue(nv));
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(authority.data()), nv.value);
  EXPECT_EQ(kNoCopy, nv.flags);
  EXPECT_EQ(0u, make_nv_ls_nocopy(":scheme", std::string()).valuelen);
}

TEST(QIRHttp2OptionTest, InitLogsVersionAndDetailSwitch) {
  int flag = -1;
  std::string out = RunInit(nullptr, &flag);
  EXPECT_EQ(0, flag);
  std::string version = std::string("nghttp2 version        : ") + nghttp2_version(0)->version_str;
  EXPECT_NE(std::string::npos, out.find(version + "\n")) << out;
  EXPECT_NE(std::string::npos, out.find("[Info   ]")) << out;
  EXPECT_NE(std::string::npos, out.find("nghttp2 detail-logging : false\n")) << out;

  const struct { const char* value; int on; } cases[] = {
      {"true", 1}, {"TRUE", 1}, {"True", 1}, {"tRuE", 1},
      {"1", 0}, {"yes", 0}, {"", 0}, {"true ", 0}, {"truex", 0}, {"false", 0}};
  for (const auto& c : cases) {
    out = RunInit(c.value, &flag);
    EXPECT_EQ(c.on, flag) << "'" << c.value << "'";
    std::string line = std::string("nghttp2 detail-logging : ") + (c.on ? "true" : "false") + "\n";
    EXPECT_NE(std::string::npos, out.find(line)) << out;
  }
}

TEST(QIRHttp2OptionTest, InitNeverClearsTheDetailFlag) {
  unsetenv("QIR_HTTP2_DETAIL_LOG");
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  G_QIR_HTTP2_DETAIL_LOG = 1;
  testing::internal::CaptureStdout();
  QIR_HTTP2_INIT();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(1, G_QIR_HTTP2_DETAIL_LOG);
  EXPECT_NE(std::string::npos, out.find("detail-logging : true")) << out;
  G_QIR_HTTP2_DETAIL_LOG = 0;
}

TEST(QIRHttp2OptionTest, RecordsStartEmptyAndNeverFreeTheBody) {
  char body[8] = "keep me";
  {
    QIR_ST_HTTP2_RESPONSE res;
    EXPECT_TRUE(res.hdr_.empty());
    EXPECT_EQ(nullptr, res.payload_.data_);
    EXPECT_EQ(0u, res.payload_.size_);
    res.payload_.data_ = body;
    res.payload_.size_ = 7;
    res.hdr_.emplace_back("x-a", "1");
  }  // leak checker and ASan would report a free of the stack buffer
  EXPECT_STREQ("keep me", body);

  QIR_ST_HTTP2_REQUEST req;
  EXPECT_EQ(0, req.startT_.time_since_epoch().count());
  EXPECT_TRUE(req.hdr_.empty());
  EXPECT_EQ('\0', req.authority_[0]);
  EXPECT_EQ(64u, sizeof(req.hdrs_) / sizeof(req.hdrs_[0]));
  EXPECT_EQ(128u, sizeof(req.authority_));
  EXPECT_EQ(16u, sizeof(req.method_));
  EXPECT_EQ(512u, sizeof(req.path_));

  QIR_ST_HTTP2_REQUEST_RECV recv;
  EXPECT_EQ(-1, recv.streamId_);
  EXPECT_EQ(nullptr, recv.hdr_);
}
