#ifndef QIR_TEST_NET_QIRHTTP2TESTPEER_H
#define QIR_TEST_NET_QIRHTTP2TESTPEER_H

// The real peer of the server engine tests: a libnghttp2 client session on
// one end of a socketpair.

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CQIRHttp2Response.h"
#include "SAMPLE/H2SrvTestUtil.h"

namespace qirtest {

struct H2Frame {
  uint8_t type, flags;
  int32_t id;
  uint32_t code;  // of RST_STREAM or GOAWAY
  size_t length;
};

inline std::string Field(const QIR_HTTP2_HEADER* _h, const char* _name) {
  for (const auto& f : *_h) if (f.first == _name) return f.second;
  return "";
}

struct H2Stream { QIR_HTTP2_HEADER hdr; std::string body; bool closed = false; };

// Client side of a socketpair; records everything it receives.
class H2Peer {
 public:
  explicit H2Peer(int _fd) : fd_(_fd) {
    nghttp2_session_callbacks* cb;
    nghttp2_session_callbacks_new(&cb);
    nghttp2_session_callbacks_set_on_frame_recv_callback(cb, OnFrame);
    nghttp2_session_callbacks_set_on_header_callback(cb, OnHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, OnData);
    nghttp2_session_callbacks_set_on_stream_close_callback(cb, OnClose);
    nghttp2_session_client_new(&session, cb, this);
    nghttp2_session_callbacks_del(cb);
    fcntl(fd_, F_SETFL, O_NONBLOCK);
  }
  ~H2Peer() { nghttp2_session_del(session); }

  void Preface() { nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0); }
  // After a 101 answer; stream 1 waits for the answer to the upgrade request.
  void Upgrade(const std::string& _settings) {
    nghttp2_session_upgrade2(session, (const uint8_t*)_settings.data(), _settings.size(), 0,
                             nullptr);
  }

  void Submit(const char* _method, const char* _path, const std::string& _body = "",
              QIR_HTTP2_HEADER _extra = {}) {
    QIR_HTTP2_HEADER f = {{":method", _method}, {":path", _path}, {":scheme", "http"},
                          {":authority", "localhost"}};
    f.insert(f.end(), _extra.begin(), _extra.end());
    std::vector<nghttp2_nv> nv;  // nghttp2 copies the bytes
    for (auto& p : f)
      nv.push_back({(uint8_t*)p.first.data(), (uint8_t*)p.second.data(), p.first.size(),
                    p.second.size(), NGHTTP2_NV_FLAG_NONE});
    bodies_.emplace_back(new std::pair<std::string, size_t>(_body, 0));
    nghttp2_data_provider prd;
    prd.source.ptr = bodies_.back().get();
    prd.read_callback = ReadBody;
    nghttp2_submit_request(session, nullptr, nv.data(), nv.size(), _body.empty() ? nullptr : &prd,
                           nullptr);
  }

  // Writes what the session has to send; with _engine, one byte at a time,
  // the engine reading after every byte.
  void Flush(CQIRHttp2Response* _engine = nullptr) {
    const uint8_t* data;
    for (ssize_t n; (n = nghttp2_session_mem_send(session, &data)) > 0;) {
      for (ssize_t off = 0, w = 0; off < n; off += w > 0 ? w : 0) {
        w = ::write(fd_, data + off, _engine != nullptr ? 1 : n - off);
        if (w > 0 && _engine != nullptr) _engine->ProcEvent();
        if (w <= 0) usleep(1000);
      }
    }
  }

  // Feeds what has arrived to the session, whole or one byte at a time.
  void Drain(bool _oneByte = false) {
    uint8_t buf[65536];
    for (ssize_t n; (n = ::read(fd_, buf, sizeof(buf))) > 0;) {
      for (ssize_t i = 0; i < n; i += _oneByte ? 1 : n)
        nghttp2_session_mem_recv(session, buf + i, _oneByte ? 1 : (size_t)n);
    }
  }

  // Bytes straight onto the wire, behind the session's back (frames the
  // library would refuse to build).
  void Raw(const std::string& _bytes) {
    Flush();
    ASSERT_EQ((ssize_t)_bytes.size(), ::write(fd_, _bytes.data(), _bytes.size()));
  }

  const H2Frame* Find(uint8_t _type, int32_t _id) const {
    for (const auto& f : frames) if (f.type == _type && f.id == _id) return &f;
    return nullptr;
  }
  std::string Status(int32_t _id) { return Field(&streams[_id].hdr, ":status"); }

  nghttp2_session* session = nullptr;
  std::vector<H2Frame> frames;
  std::map<int32_t, H2Stream> streams;

 private:
  static H2Peer* Self(void* _p) { return static_cast<H2Peer*>(_p); }
  static ssize_t ReadBody(nghttp2_session*, int32_t, uint8_t* _buf, size_t _len, uint32_t* _flags,
                          nghttp2_data_source* _src, void*) {
    auto* b = static_cast<std::pair<std::string, size_t>*>(_src->ptr);
    size_t n = std::min(_len, b->first.size() - b->second);
    memcpy(_buf, b->first.data() + b->second, n);
    if ((b->second += n) == b->first.size()) *_flags |= NGHTTP2_DATA_FLAG_EOF;
    return (ssize_t)n;
  }
  static int OnFrame(nghttp2_session*, const nghttp2_frame* _f, void* _p) {
    H2Peer* p = Self(_p);
    uint32_t code = _f->hd.type == NGHTTP2_RST_STREAM ? _f->rst_stream.error_code
                    : _f->hd.type == NGHTTP2_GOAWAY   ? _f->goaway.error_code : 0;
    p->frames.push_back({_f->hd.type, _f->hd.flags, _f->hd.stream_id, code, _f->hd.length});
    return 0;
  }
  static int OnHeader(nghttp2_session*, const nghttp2_frame* _f, const uint8_t* _n, size_t _nl,
                      const uint8_t* _v, size_t _vl, uint8_t, void* _p) {
    Self(_p)->streams[_f->hd.stream_id].hdr.emplace_back(std::string((const char*)_n, _nl),
                                                          std::string((const char*)_v, _vl));
    return 0;
  }
  static int OnData(nghttp2_session*, uint8_t, int32_t _id, const uint8_t* _d, size_t _l,
                    void* _p) {
    Self(_p)->streams[_id].body.append((const char*)_d, _l);
    return 0;
  }
  static int OnClose(nghttp2_session*, int32_t _id, uint32_t, void* _p) {
    Self(_p)->streams[_id].closed = true;
    return 0;
  }

  int fd_;
  std::vector<std::unique_ptr<std::pair<std::string, size_t>>> bodies_;
};

// One turn of the engine in the caller's event mode: the peer's output in
// (whole or byte by byte), the engine's output back to the peer.
inline void Turn(CQIRHttp2Response& _e, H2Peer& _p, bool _oneByte = false) {
  _p.Flush(_oneByte ? &_e : nullptr);
  if (_e.GetState() == QIR_HTTP2_CONN_STATE_OPEN) _e.ProcEvent();
  if (_e.GetState() == QIR_HTTP2_CONN_STATE_OPEN) _e.ProcEventPre();
  _p.Drain(_oneByte);
}

template <class Pred>
bool PumpUntil(CQIRHttp2Response& _e, H2Peer& _p, Pred _done, bool _oneByte = false) {
  for (int i = 0; i < 500; ++i, usleep(1000)) {
    Turn(_e, _p, _oneByte);
    if (_done()) return true;
  }
  return false;
}

// Hands the engine an answer for stream _id; the engine copies the body.
inline int Reply(CQIRHttp2Response& _e, int32_t _id, const char* _status, std::string _body,
                 QIR_HTTP2_HEADER _hdr = {}) {
  QIR_ST_HTTP2_RESPONSE res;
  res.streamId_ = _id;
  snprintf(res.rs_, sizeof(res.rs_), "%s", _status);
  res.hdr_ = std::move(_hdr);
  res.payload_.data_ = &_body[0];
  res.payload_.size_ = _body.size();
  return _e.Response(&res, false);
}

// Echo answer: the body when there is one, else the path.
inline void Echo(CQIRHttp2Response& _e, const QIR_ST_HTTP2_REQUEST_RECV& _req) {
  Reply(_e, _req.streamId_, "200",
        _req.size_ > 0 ? std::string(_req.data_, _req.size_) : Field(_req.hdr_, ":path"),
        {{"x-method", Field(_req.hdr_, ":method")}});
}

}  // namespace qirtest

#endif  // QIR_TEST_NET_QIRHTTP2TESTPEER_H
