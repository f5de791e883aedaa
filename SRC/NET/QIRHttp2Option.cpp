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

namespace {

// Every close cause with its two texts: the one QIR_HTTP2_GET_ERROR_MSG
// reports, and the short one of the client's close log line.
const struct {
  const char* report;
  const char* brief;
} kCloseText[] = {
    {"none", "normal"},                             // QIR_HTTP2_CONN_CLOSE_CAUSE_NONE
    {"normal closed.", "normal"},                   // QIR_HTTP2_CONN_CLOSE_CAUSE_SELF
    {"receive GOAWAY!", "by peer"},                 // QIR_HTTP2_CONN_CLOSE_CAUSE_PEER
    {"http/2 engine error!", "transport error"},    // QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR
    {"receive timeout!", "timeout"},                // QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT
    {"stream_id full!", "stream full"},             // QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL
    {"ping timeout!", "ping timeout"},              // QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT
    {"event error dispatch!", "event error"},       // QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR
    {"internal error!", "internal error"},          // QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR
    {"stream already closed!", "already closed"},   // ..._ERROR_CAUSE_STREAM_ALREADY_CLOSED
};

bool KnownCause(int _cause) {
  return _cause >= 0 && _cause < static_cast<int>(sizeof(kCloseText) / sizeof(kCloseText[0]));
}

}  // namespace

const char* QIR_HTTP2_GET_ERROR_MSG(int _cause) {
  return KnownCause(_cause) ? kCloseText[_cause].report : "unknown...";
}

const char* QIR_HTTP2_GET_CLOSE_TEXT(int _cause) {
  return KnownCause(_cause) ? kCloseText[_cause].brief : "unknown";
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
  if (_options->nMaxHeaderListSize_ == 0) {
    _options->nMaxHeaderListSize_ = QIR_HTTP2_DEFAULT_MAX_HEADER_LIST_SIZE;
  }
  if (_options->nMaxHeaderFields_ == 0) {
    _options->nMaxHeaderFields_ = QIR_HTTP2_DEFAULT_MAX_HEADER_FIELDS;
  }
}
