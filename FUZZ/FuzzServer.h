#ifndef QIR_FUZZ_FUZZSERVER_H
#define QIR_FUZZ_FUZZSERVER_H

// Drives a server engine the way a worker does (read, hand over each
// complete request, answer it, submit and flush) while the peer's bytes are
// fed in and everything the engine writes is read away.

#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "CQIRHttp2Response.h"
#include "FuzzUtil.h"

namespace qirfuzz {

// Options from one input byte: small pools and bodies reach the limits.
inline QIR_ST_HTTP2_OPTIONS ServerOptions(uint8_t _b) {
  QIR_ST_HTTP2_OPTIONS o;
  // Pools are built per engine: a hundred streams would cost each input
  // several times more than the frames it carries.
  static const uint32_t kStreams[4] = {1, 2, 8, 16};
  static const uint32_t kPayload[4] = {16, 1024, 16384, 70000};
  o.nMaxConcurrentStream_ = kStreams[_b & 3];
  o.nMaxPayloadSize_ = kPayload[(_b >> 2) & 3];
  o.nDefaultFrameSize_ = (_b & 0x10) != 0 ? 16384 : 0;
  o.nLocalWindowSize_ = (_b & 0x20) != 0 ? 1 << 20 : 0;
  return o;
}

// Answers every handed-over request: echoes its body with one extra header;
// the request's first body byte 0 asks for a reset ("000") instead.
inline void AnswerAll(CQIRHttp2Response& _e) {
  QIR_ST_HTTP2_REQUEST_RECV req;
  for (int i = 0; i < 256 && _e.Request(&req) == 1; ++i) {
    QIR_ST_HTTP2_RESPONSE res;
    res.streamId_ = req.streamId_;
    bool reset = req.size_ > 0 && req.data_[0] == '\0';
    strcpy(res.rs_, reset ? "000" : "200");
    std::string body(req.data_ != nullptr ? req.data_ : "", req.size_);
    std::string path;
    if (req.hdr_ != nullptr) {
      for (auto& f : *req.hdr_)
        if (f.first == ":path") path = f.second;
    }
    res.hdr_.emplace_back("x-path", path);
    res.payload_.data_ = &body[0];
    res.payload_.size_ = body.size();
    if (getenv("QIR_FUZZ_TRACE") != nullptr)
      fprintf(stderr, "answer stream %d (%zu bytes)%s\n", req.streamId_, req.size_, reset ? " reset" : "");
    _e.Response(&res, false);
  }
}

// Feeds _bytes into _peer in pieces as the socket takes them; at most a
// fixed number of rounds, so that every input ends.
inline void Serve(CQIRHttp2Response& _e, int _peer, const std::string& _bytes) {
  size_t off = 0;
  for (int round = 0; round < 32; ++round) {
    if (off < _bytes.size())
      off += WriteSome(_peer, reinterpret_cast<const uint8_t*>(_bytes.data()) + off,
                       _bytes.size() - off);
    bool alive = _e.ProcEvent();
    AnswerAll(_e);
    for (int k = 0; k < 8 && alive; ++k) {
      int r = _e.ProcEventPre();
      if (r < 0) alive = false;
      if (r <= 0) break;
      Drain(_peer);
    }
    Drain(_peer);
    if (getenv("QIR_FUZZ_TRACE") != nullptr)
      fprintf(stderr, "round %d: fed %zu/%zu, state %d cause %d\n", round, off, _bytes.size(),
              _e.GetState(), _e.GetStateCause());
    if (!alive) break;
    if (off == _bytes.size() && !_e.IsSendDataExist() && round > 2) break;
  }
}

}  // namespace qirfuzz

#endif  // QIR_FUZZ_FUZZSERVER_H
