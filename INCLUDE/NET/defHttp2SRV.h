#ifndef QIR_NET_DEFHTTP2SRV_H
#define QIR_NET_DEFHTTP2SRV_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "defHttp2.h"

class CQIRHTTP2SRVConnection;

// The application's side of the server runtime.
//   onConnect_       loop thread, once per set-up connection, before it is
//                    registered: true keeps it, false closes it. Required.
//   onDisconnect_    the connection's worker (or the stopping thread) when it
//                    is removed, with no runtime lock held (AsyncResponse
//                    for it reports 1 from then on). Required.
//   onRequest_       worker thread, synchronous mode: fill res (status,
//                    headers, body of at most nMaxPayloadSize_ bytes into
//                    res->payload_.data_); it is sent when the call returns.
//   onAsyncRequest_  worker thread, asynchronous mode: answer later from any
//                    thread with CQIRHTTP2SRV::AsyncResponse. The counts are
//                    automatic 429 answers and peer cancellations since the
//                    previous call.
typedef std::function<bool(int32_t connId, const char* scheme, const char* ip, int port)>
    QIR_HTTP2SRV_CONNECT_CALLBACK;
typedef std::function<void(int32_t connId)> QIR_HTTP2SRV_DISCONNECT_CALLBACK;
typedef std::function<void(int32_t connId, QIR_ST_HTTP2_REQUEST_RECV* req,
                           QIR_ST_HTTP2_RESPONSE* res)>
    QIR_HTTP2SRV_REQUEST_CALLBACK;
typedef std::function<void(int32_t connId, int count429, int cancelCount,
                           QIR_ST_HTTP2_REQUEST_RECV* req)>
    QIR_HTTP2SRV_ASYNC_REQUEST_CALLBACK;

struct QIR_HTTP2SRV_CALLBACKS {
  QIR_HTTP2SRV_CONNECT_CALLBACK onConnect_;
  QIR_HTTP2SRV_DISCONNECT_CALLBACK onDisconnect_;
  QIR_HTTP2SRV_REQUEST_CALLBACK onRequest_;
  QIR_HTTP2SRV_ASYNC_REQUEST_CALLBACK onAsyncRequest_;
};

typedef std::unordered_map<int32_t, CQIRHTTP2SRVConnection*> QIR_HTTP2SRV_CONNID_MAP;

#endif  // QIR_NET_DEFHTTP2SRV_H
