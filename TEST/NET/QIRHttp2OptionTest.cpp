#include "QIRHttp2Option.h"

#include "CQIRServiceLog.h"
#include "QIRHttp2Nv.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>
#include <stdlib.h>

#include <string>

namespace {

// QIR_HTTP2_INIT's log output with the variable set to _value (unset for
// null), starting from _flag; leaves the resulting flag in _flag.
std::string RunInit(const char* _value, int* _flag) {
  if (_value) setenv("QIR_HTTP2_DETAIL_LOG", _value, 1); else unsetenv("QIR_HTTP2_DETAIL_LOG");
  G_QIR_HTTP2_DETAIL_LOG = *_flag;
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  testing::internal::CaptureStdout();
  QIR_HTTP2_INIT();
  std::string out = testing::internal::GetCapturedStdout();
  *_flag = G_QIR_HTTP2_DETAIL_LOG;
  G_QIR_HTTP2_DETAIL_LOG = 0;
  unsetenv("QIR_HTTP2_DETAIL_LOG");
  return out;
}

}  // namespace

TEST(QIRHttp2OptionTest, ZeroOptionsTakeDefaultsOthersKept) {
  QIR_ST_HTTP2_OPTIONS opt;  // all fields start 0
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&opt);
  QIR_ST_HTTP2_OPTIONS expect = {100, 1024, 64, 65536, 16384, 0, 0, 0, 0, 1};
  EXPECT_EQ(0, memcmp(&expect, &opt, sizeof(opt)));  // PING logic stays off

  QIR_ST_HTTP2_OPTIONS set = {7, 65536, 4096, 1, 2, 3, 4, 5, 6, 9};
  opt = set;
  QIR_HTTP2_SET_DEFAULT_OPTIONS(&opt);
  EXPECT_EQ(0, memcmp(&set, &opt, sizeof(opt)));
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
      {-1, "unknown..."}, {10, "unknown..."}, {-2147483647 - 1, "unknown..."}};
  for (const auto& c : cases) EXPECT_STREQ(c.text, QIR_HTTP2_GET_ERROR_MSG(c.cause)) << c.cause;
}

TEST(QIRHttp2OptionTest, SettingsIdNames) {
  const char* const names[] = {"UNKNOWN", "SETTINGS_HEADER_TABLE_SIZE", "SETTINGS_ENABLE_PUSH",
                               "SETTINGS_MAX_CONCURRENT_STREAMS", "SETTINGS_INITIAL_WINDOW_SIZE",
                               "SETTINGS_MAX_FRAME_SIZE", "SETTINGS_MAX_HEADER_LIST_SIZE",
                               "UNKNOWN", "UNKNOWN"};
  for (int id = 0; id < 9; ++id) EXPECT_STREQ(names[id], strsettingsid(id)) << id;
  EXPECT_STREQ("UNKNOWN", strsettingsid(-1));
}

TEST(QIRHttp2OptionTest, NvBuildersPointIntoTheirStringsWithoutCopy) {
  std::string name = "content-type", value("a\0b", 3);  // length is the string's, not strlen
  char rs[4] = "429";
  const nghttp2_nv nvs[] = {make_nv(name, value), make_nv_lc_nocopy(":status", rs),
                            make_nv_ls_nocopy(":authority", name),
                            make_nv_lc_nocopy(":path", static_cast<const char*>(nullptr))};
  const struct { const char* n; size_t nlen; const void* v; size_t vlen; } expect[] = {
      {"content-type", 12, value.data(), 3}, {":status", 7, rs, 3},
      {":authority", 10, name.data(), 12}, {":path", 5, nullptr, 0}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(std::string(expect[i].n), std::string((const char*)nvs[i].name, nvs[i].namelen));
    if (expect[i].v) { EXPECT_EQ(expect[i].v, nvs[i].value) << i; }
    EXPECT_EQ(expect[i].vlen, nvs[i].valuelen) << i;
    EXPECT_EQ(NGHTTP2_NV_FLAG_NO_COPY_NAME | NGHTTP2_NV_FLAG_NO_COPY_VALUE, nvs[i].flags) << i;
  }
  EXPECT_EQ(reinterpret_cast<uint8_t*>(&name[0]), nvs[0].name);
}

TEST(QIRHttp2OptionTest, InitLogsVersionAndDetailSwitch) {
  const struct { const char* value; int before; int after; } cases[] = {
      {nullptr, 0, 0}, {"true", 0, 1}, {"TRUE", 0, 1}, {"tRuE", 0, 1}, {"1", 0, 0},
      {"yes", 0, 0}, {"", 0, 0}, {"true ", 0, 0}, {"false", 0, 0},
      {nullptr, 1, 1}};  // never cleared once on
  for (const auto& c : cases) {
    int flag = c.before;
    std::string out = RunInit(c.value, &flag);
    EXPECT_EQ(c.after, flag) << (c.value ? c.value : "(unset)");
    EXPECT_NE(std::string::npos,
              out.find(std::string("nghttp2 version        : ") + nghttp2_version(0)->version_str + "\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("][Info   ]")) << out;
    std::string line = std::string("nghttp2 detail-logging : ") + (c.after ? "true" : "false") + "\n";
    EXPECT_NE(std::string::npos, out.find(line)) << out;
  }
}

TEST(QIRHttp2OptionTest, RecordsNeverFreeTheBody) {
  char body[8] = "keep me";
  {
    QIR_ST_HTTP2_RESPONSE res;
    EXPECT_TRUE(res.hdr_.empty());
    res.payload_.data_ = body;  // ASan would report a free of this stack buffer
    res.payload_.size_ = 7;
    res.hdr_.emplace_back("x-a", "1");
  }
  EXPECT_STREQ("keep me", body);
  QIR_ST_HTTP2_REQUEST req;
  EXPECT_EQ(0, req.startT_.time_since_epoch().count());
  EXPECT_EQ(-1, QIR_ST_HTTP2_REQUEST_RECV().streamId_);
}
