#include "CQIRHttp2StreamData.h"

#include <stdlib.h>
#include <string.h>

#include "CQIRServiceLog.h"

CQIRHttp2StreamData::CQIRHttp2StreamData()
    : stream_id_(-1),
      reqPayload_(nullptr),
      reqPayloadSize_(0),
      payloadSize_(0),
      allocated_(0),
      startT_(),
      error_(0),
      complete_(false),
      begun_() {}

CQIRHttp2StreamData::~CQIRHttp2StreamData() { free(reqPayload_); }

namespace {
const size_t kFirstAllocation = 256;  // most bodies of a busy service are small
}  // namespace

bool CQIRHttp2StreamData::Initialize(size_t _size) {
  free(reqPayload_);
  reqPayloadSize_ = 0;
  payloadSize_ = 0;
  allocated_ = (_size < kFirstAllocation ? _size : kFirstAllocation) + 1;
  reqPayload_ = static_cast<char*>(malloc(allocated_));
  if (reqPayload_ == nullptr) return false;
  reqPayload_[0] = '\0';
  payloadSize_ = _size;
  return true;
}

void CQIRHttp2StreamData::New(int32_t _streamId) {
  stream_id_ = _streamId;
  reqHdr_.clear();
  reqPayloadSize_ = 0;
  error_ = 0;
  complete_ = false;
  begun_ = std::chrono::steady_clock::now();
}

void CQIRHttp2StreamData::Reset() { reqHdr_.clear(); }

void CQIRHttp2StreamData::AddRequestHeader(const std::string& _name, const std::string& _value) {
  reqHdr_.emplace_back(_name, _value);
}

void CQIRHttp2StreamData::AddRequestHeader(const char* _name, size_t _nameLen,
                                           const char* _value, size_t _valueLen) {
  reqHdr_.emplace_back(std::string(_name, _nameLen), std::string(_value, _valueLen));
}

bool CQIRHttp2StreamData::SetRequestPayload(const char* _data, size_t _len) {
  // Once a chunk was dropped nothing is appended: the body stays a prefix.
  if (error_ != 0) return false;
  // Compared by subtraction: reqPayloadSize_ never exceeds payloadSize_, and
  // a sum could wrap for a huge _len.
  if (reqPayload_ == nullptr || _len > payloadSize_ - reqPayloadSize_) {
    QIR_LOG_I("SET PAYLOAD FAIL %lu,%lu", static_cast<unsigned long>(reqPayloadSize_),
              static_cast<unsigned long>(_len));
    error_ = 1;
    return false;
  }
  size_t need = reqPayloadSize_ + _len + 1;
  if (need > allocated_) {
    size_t grown = allocated_ * 2 > need ? allocated_ * 2 : need;
    if (grown > payloadSize_ + 1) grown = payloadSize_ + 1;
    char* p = static_cast<char*>(realloc(reqPayload_, grown));
    if (p == nullptr) {
      error_ = 1;
      return false;
    }
    reqPayload_ = p;
    allocated_ = grown;
  }
  if (_len > 0) memcpy(reqPayload_ + reqPayloadSize_, _data, _len);
  reqPayloadSize_ += _len;
  return true;
}

size_t CQIRHttp2StreamData::GetRequestPayload(char** _out) const {
  *_out = reqPayload_;
  return reqPayloadSize_;
}
