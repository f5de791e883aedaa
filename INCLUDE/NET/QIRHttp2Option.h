#ifndef QIR_NET_QIRHTTP2OPTION_H
#define QIR_NET_QIRHTTP2OPTION_H

#include "defHttp2.h"

// Start-up of the HTTP/2 layer: logs the nghttp2 version and switches the
// detail log on when "QIR_HTTP2_DETAIL_LOG" is "true" in any letter case.
// Call once, before any engine runs; cannot fail.
void QIR_HTTP2_INIT();

// Text of a close cause; "unknown..." outside 0..9. Never null.
const char* QIR_HTTP2_GET_ERROR_MSG(int _cause);
// Short text of a close cause for the client's close line; "unknown" outside.
const char* QIR_HTTP2_GET_CLOSE_TEXT(int _cause);

// Replaces fields left 0 by their defaults: 100 streams, 1024-byte payloads,
// 4096-byte header table, 65536 window, 16384-byte frames, time-out 1 s,
// header lists of 65536 bytes and 256 fields. The local window, push flag,
// PING thresholds and send stall time-out keep their values.
void QIR_HTTP2_SET_DEFAULT_OPTIONS(QIR_ST_HTTP2_OPTIONS* _options);

#endif  // QIR_NET_QIRHTTP2OPTION_H
