#ifndef QIR_NET_CQIRHTTP2STREAMDATA_H
#define QIR_NET_CQIRHTTP2STREAMDATA_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>

#include "defHttp2.h"

// Receive buffer of one request stream of the server engine. Pooled by the
// engine (allocated once by Initialize, reused through New); used only by the
// engine's worker thread.
class CQIRHttp2StreamData {
 public:
  CQIRHttp2StreamData();
  ~CQIRHttp2StreamData();
  CQIRHttp2StreamData(const CQIRHttp2StreamData&) = delete;
  CQIRHttp2StreamData& operator=(const CQIRHttp2StreamData&) = delete;

  // Body capacity _size bytes plus one byte for the receiver's NUL; false
  // when the allocation failed. The buffer starts small and grows with the
  // bodies it receives, up to the capacity.
  bool Initialize(size_t _size);
  // Start a new request: id, no headers, no body, not complete, begun now.
  void New(int32_t _streamId);
  void Reset();                 // drop the headers

  void AddRequestHeader(const std::string& _name, const std::string& _value);
  void AddRequestHeader(const char* _name, size_t _nameLen, const char* _value,
                        size_t _valueLen);
  // Appends when the whole chunk fits and none was dropped before; else
  // stores nothing, marks the error and returns false.
  bool SetRequestPayload(const char* _data, size_t _len);

  int32_t GetStreamID() const { return stream_id_; }
  QIR_HTTP2_HEADER* GetRequestHeader() { return &reqHdr_; }
  size_t GetRequestPayload(char** _out) const;  // the buffer, and the bytes stored
  size_t GetPayloadCapacity() const { return payloadSize_; }
  void SetTimeout() { startT_ = std::chrono::system_clock::now(); }
  int GetError() const { return error_; }
  // The request's header block and body have arrived (END_STREAM); the
  // time is where the answer's latency starts.
  void SetComplete() {
    complete_ = true;
    completeT_ = std::chrono::steady_clock::now();
  }
  std::chrono::steady_clock::time_point GetCompleteTime() const { return completeT_; }
  bool IsComplete() const { return complete_; }
  std::chrono::steady_clock::time_point GetBegun() const { return begun_; }

 private:
  int32_t stream_id_;
  QIR_HTTP2_HEADER reqHdr_;
  char* reqPayload_;
  size_t reqPayloadSize_;
  size_t payloadSize_;  // capacity
  size_t allocated_;    // bytes of reqPayload_, the NUL's included
  std::chrono::system_clock::time_point startT_;  // handed to the application
  std::chrono::steady_clock::time_point completeT_;  // request's last byte
  int error_;                                     // 1: a DATA chunk was dropped
  bool complete_;
  std::chrono::steady_clock::time_point begun_;  // first HEADERS received
};

#endif  // QIR_NET_CQIRHTTP2STREAMDATA_H
