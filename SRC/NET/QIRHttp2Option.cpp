#include "QIRHttp2Option.h"

#include "CQIRServiceLog.h"

#include <nghttp2/nghttp2.h>
#include <stdlib.h>
#include <strings.h>

int G_QIR_HTTP2_DETAIL_LOG = 0;

void QIR_HTTP2_INIT() {
  const nghttp2_info* info = nghttp2_version(0);
  QIR_LOG_I("nghttp2 version        : %s", info->version_str);

  const char* detail = getenv("QIR_HTTP2_DETAIL_LOG");
  if (detail != nullptr && strcasecmp(detail, "true") == 0) G_QIR_HTTP2_DETAIL_LOG = 1;
  QIR_LOG_I("nghttp2 detail-logging : %s", G_QIR_HTTP2_DETAIL_LOG ? "true" : "false");
}

const char* QIR_HTTP2_GET_ERROR_MSG(int _cause) {
  static const char* const kText[] = {
      "none",                    // QIR_HTTP2_CONN_CLOSE_CAUSE_NONE
      "normal closed.",          // QIR_HTTP2_CONN_CLOSE_CAUSE_SELF
      "receive GOAWAY!",         // QIR_HTTP2_CONN_CLOSE_CAUSE_PEER
      "http/2 engine error!",    // QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR
      "receive timeout!",        // QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT
      "stream_id full!",         // QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL
      "ping timeout!",           // QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT
      "event error dispatch!",   // QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR
      "internal error!",         // QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR
      "stream already closed!",  // QIR_HTTP2_CONN_ERROR_CAUSE_STREAM_ALREADY_CLOSED
  };
  if (_cause < 0 || _cause >= static_cast<int>(sizeof(kText) / sizeof(kText[0]))) {
    return "unknown...";
  }
  return kText[_cause];
}

void QIR_HTTP2_SET_DEFAULT_OPTIONS(QIR_ST_HTTP2_OPTIONS* _options) {
  if (_options->nMaxConcurrentStream_ == 0) {
    _options->nMaxConcurrentStream_ = QIR_HTTP2_DEFAULT_MAX_CONCURRENT_STREAM;
  }
  if (_options->nMaxPayloadSize_ == 0) _options->nMaxPayloadSize_ = QIR_HTTP2_DEFAULT_MAX_PAYLOAD_SIZE;
  if (_options->nMaxHeaderTableSize_ == 0) {
    _options->nMaxHeaderTableSize_ = QIR_HTTP2_DEFAULT_MAX_HEADER_TABLE_SIZE;
  }
  if (_options->nDefaultWindowSize_ == 0) _options->nDefaultWindowSize_ = QIR_HTTP2_DEFAULT_WINDOW_SIZE;
  if (_options->nDefaultFrameSize_ == 0) _options->nDefaultFrameSize_ = QIR_HTTP2_DEFAULT_FRAME_SIZE;
  if (_options->nTimeout_ == 0) _options->nTimeout_ = QIR_HTTP2_DEFAULT_TIMEOUT;
}
