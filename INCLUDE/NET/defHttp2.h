#ifndef QIR_NET_DEFHTTP2_H
#define QIR_NET_DEFHTTP2_H

// Plain records handed between the application, the server runtime and the
// two HTTP/2 session engines. No record carries a lock: each is owned by one
// thread at a time. Body buffers are never owned by the record that points to
// them; whoever allocated a buffer frees it.

#include <nghttp2/nghttp2.h>
#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// Header fields in order of arrival; duplicates allowed, nothing folded or
// lower-cased. Received pseudo-headers (":method", ":status", ...) are
// ordinary entries.
typedef std::vector<std::pair<std::string, std::string> > QIR_HTTP2_HEADER;

// Room for the header block an engine builds for one HEADERS frame.
enum { QIR_HTTP2_MAX_NV = 64 };

// Values an engine's Initialize puts into option fields left 0.
enum {
  QIR_HTTP2_DEFAULT_MAX_CONCURRENT_STREAM = 100,
  QIR_HTTP2_DEFAULT_MAX_PAYLOAD_SIZE = 1024,
  QIR_HTTP2_DEFAULT_MAX_HEADER_TABLE_SIZE = 4096,  // the HPACK default every peer assumes
  QIR_HTTP2_DEFAULT_MAX_HEADER_LIST_SIZE = 65536,
  QIR_HTTP2_DEFAULT_MAX_HEADER_FIELDS = 256,
  QIR_HTTP2_DEFAULT_SEND_STALL_TIMEOUT = 30,
  QIR_HTTP2_DEFAULT_REQUEST_TIMEOUT = 60,
  QIR_HTTP2_DEFAULT_WINDOW_SIZE = 65536,
  QIR_HTTP2_DEFAULT_FRAME_SIZE = 16384,
  QIR_HTTP2_DEFAULT_TIMEOUT = 1
};

// Session options. Fields left 0 take the defaults above when an engine
// copies the record (QIR_HTTP2_SET_DEFAULT_OPTIONS); the local window, push
// flag and PING thresholds have none. nSendStallTimeout_ and nRequestTimeout_
// start at their defaults and keep 0, which switches the check off.
struct QIR_ST_HTTP2_OPTIONS {
  uint32_t nMaxConcurrentStream_ = 0;   // SETTINGS_MAX_CONCURRENT_STREAMS; pool size
  uint32_t nMaxPayloadSize_ = 0;        // largest body of one message, bytes
  uint32_t nMaxHeaderTableSize_ = 0;    // SETTINGS_HEADER_TABLE_SIZE
  uint32_t nDefaultWindowSize_ = 0;     // SETTINGS_INITIAL_WINDOW_SIZE
  uint32_t nDefaultFrameSize_ = 0;      // SETTINGS_MAX_FRAME_SIZE
  uint32_t nLocalWindowSize_ = 0;       // connection receive window; 0 = nghttp2's
  uint32_t nPushEnable_ = 0;            // SETTINGS_ENABLE_PUSH (client only)
  uint32_t nPingTimeoutThreshold_ = 0;  // seconds a PING may stay unanswered
  uint32_t nPingSendThreshold_ = 0;     // seconds of silence before a PING; 0 = no PING
  uint32_t nTimeout_ = 0;               // response time-out, seconds
  uint32_t nMaxHeaderListSize_ = 0;     // decoded bytes of one header list (+32 per field)
  uint32_t nMaxHeaderFields_ = 0;       // fields of one header list
  // Seconds a response body may wait for the peer's flow-control window
  // before its stream is reset; 0 = never.
  uint32_t nSendStallTimeout_ = QIR_HTTP2_DEFAULT_SEND_STALL_TIMEOUT;
  // Client: milliseconds for the whole connect (name lookup, TCP, TLS
  // handshake, upgrade); 0 = QIR_HTTP2_DEFAULT_CONNECT_TIMEOUT_MSEC.
  uint32_t nConnectTimeoutMs_ = 0;
  // Server: seconds a request's header block and body may take to arrive
  // before its stream is reset (CANCEL); 0 = never.
  uint32_t nRequestTimeout_ = QIR_HTTP2_DEFAULT_REQUEST_TIMEOUT;
  // Server: seconds a connection may stay without an open stream before it
  // gets GOAWAY (NO_ERROR) and is closed; 0 = never.
  uint32_t nIdleTimeout_ = 0;
};

enum { QIR_HTTP2_DEFAULT_CONNECT_TIMEOUT_MSEC = 3000 };

// A body buffer. data_ is not NUL-terminated.
struct QIR_ST_HTTP2_CHUNK_DATA {
  size_t size_ = 0;   // valid bytes in data_
  size_t rSize_ = 0;  // send cursor of the data provider
  char* data_ = nullptr;
};

// One response: made by the application on the server side, filled by the
// client engine from a received response on the client side. Destruction
// never frees payload_.data_.
struct QIR_ST_HTTP2_RESPONSE {
  int32_t messageId_ = 0;  // caller's correlation number
  int32_t streamId_ = 0;
  char rs_[4] = {0};       // "200"; "000" asks the server engine to reset the stream
  QIR_HTTP2_HEADER hdr_;   // extra fields, sent after ":status"
  QIR_ST_HTTP2_CHUNK_DATA payload_;
  // Client side: 0 complete, RST_STREAM code when reset (rs_ "000"),
  // QIR_HTTP2_RESPONSE_ERROR_OVERFLOW or QIR_HTTP2_RESPONSE_ERROR_TIMEOUT.
  int error_ = 0;
  nghttp2_nv hdrs_[QIR_HTTP2_MAX_NV] = {};  // scratch header block; [0] is ":status"
  // Client side: how the request ended (QIR_HTTP2_OUTCOME_...), and for
  // QIR_HTTP2_OUTCOME_FAILED (or a refusal caused by the close) the
  // connection's close cause.
  int outcome_ = 0;
  int cause_ = 0;
};

enum {
  QIR_HTTP2_RESPONSE_ERROR_OVERFLOW = -9999,  // body did not fit the payload buffer
  QIR_HTTP2_RESPONSE_ERROR_TIMEOUT = -9998,   // no response within the time-out
  QIR_HTTP2_RESPONSE_ERROR_FAILED = -9997     // the connection failed first
};

// The one outcome the client engine hands back for every request it
// accepted.
enum {
  QIR_HTTP2_OUTCOME_ANSWERED = 0,  // a response (error_ -9999 when its body was cut)
  QIR_HTTP2_OUTCOME_TIMEOUT = 1,   // no response within nTimeout_; its stream was cancelled
  // The peer did not process it (above GOAWAY's last-stream-id, REFUSED_STREAM,
  // or never sent before the connection ended): safe to retry.
  QIR_HTTP2_OUTCOME_REFUSED = 2,
  QIR_HTTP2_OUTCOME_RESET = 3,     // the stream was reset; error_ holds the code
  QIR_HTTP2_OUTCOME_FAILED = 4     // the connection ended first; cause_ says why
};

// Results of the client engine's asynchronous Request.
enum {
  QIR_HTTP2_REQUEST_QUEUED = 1,
  QIR_HTTP2_REQUEST_POOL_FULL = 0,       // no free record (no waiting asked)
  QIR_HTTP2_REQUEST_STREAM_FULL = -1,    // stream ids used up
  QIR_HTTP2_REQUEST_POOL_TIMEOUT = -2,   // no free record within 1 s
  QIR_HTTP2_REQUEST_CLOSED = -3,         // closed, or not open while waiting
  QIR_HTTP2_REQUEST_INVALID = -4,        // a field does not fit, or the path lacks "/"
  QIR_HTTP2_REQUEST_TOO_LARGE = -5,      // body larger than nMaxPayloadSize_
  QIR_HTTP2_REQUEST_GOING_AWAY = -6      // the peer sent GOAWAY: retry on a new connection
};

// A received request as the server engine hands it over. The pointers belong
// to the engine and stay valid until the stream closes.
struct QIR_ST_HTTP2_REQUEST_RECV {
  int32_t streamId_ = -1;             // -1 when no request was handed over
  QIR_HTTP2_HEADER* hdr_ = nullptr;   // pseudo-headers included
  size_t size_ = 0;                   // body length
  char* data_ = nullptr;              // one spare byte behind the body for a NUL
  // 1 when a DATA chunk did not fit: the body is what came before it.
  int error_ = 0;
};

// One request of the client engine.
struct QIR_ST_HTTP2_REQUEST {
  int32_t messageId_ = 0;     // caller's correlation number
  char authority_[128] = {0}; // empty: the connection's own authority
  char method_[16] = {0};
  char path_[512] = {0};      // must begin with "/"
  QIR_HTTP2_HEADER hdr_;      // extra fields, sent after the pseudo-headers
  QIR_ST_HTTP2_CHUNK_DATA payload_;
  int32_t streamId_ = 0;      // given by nghttp2 on submission
  std::chrono::system_clock::time_point startT_;  // start of the response time-out; epoch until queued
  nghttp2_nv hdrs_[QIR_HTTP2_MAX_NV] = {};
};

// Server engine events: 1 = automatic 429 answer (stream 0, code 0),
// 2 = peer reset an open request (stream id, RST_STREAM code).
typedef void (*QIR_HTTP2_RESPONSE_USER_CALLBACK)(int _event, int _streamId, int _code,
                                                 void* _engine, void* _args);

enum {
  QIR_HTTP2_USER_EVENT_AUTO_429 = 1,
  QIR_HTTP2_USER_EVENT_STREAM_RESET = 2
};

// Session states kept by both engines; values are fixed.
enum {
  QIR_HTTP2_CONN_STATE_INIT = 0,
  QIR_HTTP2_CONN_STATE_OPEN = 1,
  QIR_HTTP2_CONN_STATE_TRANSPORT = 2,  // never entered
  QIR_HTTP2_CONN_STATE_SLEEP = 3,      // never entered
  QIR_HTTP2_CONN_STATE_CLOSE = 4,
  // Client: a graceful GOAWAY arrived; the streams it covers still run.
  QIR_HTTP2_CONN_STATE_CLOSING = 5
};

// Why a session closed; recorded with QIR_HTTP2_CONN_STATE_CLOSE. The text of
// each is QIR_HTTP2_GET_ERROR_MSG(cause).
enum {
  QIR_HTTP2_CONN_CLOSE_CAUSE_NONE = 0,
  QIR_HTTP2_CONN_CLOSE_CAUSE_SELF = 1,
  QIR_HTTP2_CONN_CLOSE_CAUSE_PEER = 2,
  QIR_HTTP2_CONN_CLOSE_CAUSE_ERROR = 3,
  QIR_HTTP2_CONN_CLOSE_CAUSE_TIMEOUT = 4,
  QIR_HTTP2_CONN_CLOSE_CAUSE_STREAM_FULL = 5,
  QIR_HTTP2_CONN_CLOSE_CAUSE_PING_TIMEOUT = 6,
  QIR_HTTP2_CONN_CLOSE_CAUSE_EVENT_ERROR = 7,
  QIR_HTTP2_CONN_CLOSE_CAUSE_INTERNAL_ERROR = 8,
  QIR_HTTP2_CONN_ERROR_CAUSE_STREAM_ALREADY_CLOSED = 9
};

// 1 enables the engines' detail log lines (option dump, SETTINGS, PING).
// Written once by QIR_HTTP2_INIT before any worker runs; only read afterwards.
extern int G_QIR_HTTP2_DETAIL_LOG;

#endif  // QIR_NET_DEFHTTP2_H
