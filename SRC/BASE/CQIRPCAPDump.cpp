#include "CQIRPCAPDump.h"

#include "CQIRServiceLog.h"
#include "CQIRTime.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/time.h>

namespace {

const uint32_t kMagic = 0xA1B2C3D4;  // microsecond time stamps
const uint16_t kVersionMajor = 2;
const uint16_t kVersionMinor = 4;
const uint32_t kSnapLen = 80;
const uint32_t kLinkEthernet = 1;
const uint16_t kPort = 3868;  // both ends of every packet
const int kIPv4Header = 20;
const int kUdpHeader = 8;
// Analysers reject a whole file, not just the record, when one record holds
// more than this; longer messages keep their original length in orig_len and
// are cut, as a capture with a snap length would cut them.
const int kMaxCaptured = 262144;

void Put16(unsigned char* _p, uint16_t _v) { memcpy(_p, &_v, sizeof(_v)); }
void Put32(unsigned char* _p, uint32_t _v) { memcpy(_p, &_v, sizeof(_v)); }

// Length fields of the synthetic headers are 16 bits wide; a larger message
// shows as a maximal datagram rather than a wrapped, too-short one.
uint16_t Length16(int _value, int _max) {
  return htons(static_cast<uint16_t>(_value > _max ? _max : _value));
}

bool Copy(char* _dest, size_t _size, const char* _src) {
  if (_src == nullptr || strlen(_src) >= _size) return false;
  memcpy(_dest, _src, strlen(_src) + 1);
  return true;
}

}  // namespace

CQIRPCAPDump::CQIRPCAPDump() : fp_(nullptr), maxFileSize_(0), curSize_(0) {
  path_[0] = name_[0] = srcIP_[0] = destIP_[0] = fileName_[0] = '\0';
}

CQIRPCAPDump::~CQIRPCAPDump() { Finalize(); }

int CQIRPCAPDump::Initialize(const char* _path, const char* _name, int _maxFileSize,
                             const char* _srcIP, const char* _destIP) {
  if (!Copy(path_, sizeof(path_), _path) || !Copy(name_, sizeof(name_), _name) ||
      !Copy(srcIP_, sizeof(srcIP_), _srcIP) || !Copy(destIP_, sizeof(destIP_), _destIP)) {
    QIR_LOG_W("invalid arguments...(too long or missing)");
    path_[0] = name_[0] = srcIP_[0] = destIP_[0] = '\0';
    return 0;
  }
  maxFileSize_ = _maxFileSize;
  return Open();
}

bool CQIRPCAPDump::MakeFileName(char* _dest, size_t _size) {
  char picture[] = "CCYYMMDDhhmmss";
  CQIRTime now;
  const char* stamp = now.AscTime(picture);
  if (stamp == nullptr) return false;
  int n = snprintf(_dest, _size, "%s/%s.%s.pcap", path_, name_, stamp);
  if (n < 0 || static_cast<size_t>(n) >= _size) {
    QIR_LOG_W("file name too long...(%s/%s)", path_, name_);
    return false;
  }
  return true;
}

int CQIRPCAPDump::Open() {
  char name[sizeof(fileName_)];
  bool named = MakeFileName(name, sizeof(name));
  Finalize();
  if (!named) return 0;
  fp_ = fopen(name, "w");
  if (fp_ == nullptr) {
    QIR_LOG_I("[%d-%s]fopen(%s) failed...", errno, strerror(errno), name);
    return 0;
  }
  memcpy(fileName_, name, sizeof(name));
  unsigned char header[QIR_PCAP_FILE_HEADER] = {};
  Put32(header, kMagic);
  Put16(header + 4, kVersionMajor);
  Put16(header + 6, kVersionMinor);
  Put32(header + 16, kSnapLen);  // thiszone and sigfigs stay 0
  Put32(header + 20, kLinkEthernet);
  if (fwrite(header, sizeof(header), 1, fp_) != 1) {
    QIR_LOG_I("[%d-%s]fwrite() failed...", errno, strerror(errno));
    Finalize();  // records behind a broken header would be unreadable
    return 0;
  }
  curSize_ = QIR_PCAP_FILE_HEADER;
  return 1;
}

bool CQIRPCAPDump::Write(const char* _rawMessage, int _messageSize) {
  if (_messageSize < 0 || (_messageSize > 0 && _rawMessage == nullptr)) return false;
  if (curSize_ > maxFileSize_) {
    // Names have a resolution of one second: rolling over within the same
    // second would reopen, and so truncate, the file just written. The
    // current file then takes the record instead.
    char next[sizeof(fileName_)];
    if (fp_ == nullptr || !MakeFileName(next, sizeof(next)) || strcmp(next, fileName_) != 0) {
      if (Open() != 1) return false;
    }
  }
  if (fp_ == nullptr) return false;

  timeval now;
  gettimeofday(&now, nullptr);
  unsigned char h[QIR_PCAP_RECORD_HEADER + QIR_PCAP_PACKET_HEADER] = {};
  const int kept = _messageSize > kMaxCaptured - QIR_PCAP_PACKET_HEADER
                       ? kMaxCaptured - QIR_PCAP_PACKET_HEADER
                       : _messageSize;
  Put32(h, static_cast<uint32_t>(now.tv_sec));
  Put32(h + 4, static_cast<uint32_t>(now.tv_usec));
  Put32(h + 8, static_cast<uint32_t>(kept) + QIR_PCAP_PACKET_HEADER);
  Put32(h + 12, static_cast<uint32_t>(_messageSize) + QIR_PCAP_PACKET_HEADER);
  unsigned char* eth = h + QIR_PCAP_RECORD_HEADER;
  const unsigned char dst[6] = {0x00, 0x01, 0x01, 0x00, 0x00, 0x02};
  const unsigned char src[6] = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01};
  memcpy(eth, dst, 6);
  memcpy(eth + 6, src, 6);
  Put16(eth + 12, htons(0x0800));
  unsigned char* ip = eth + 14;
  ip[0] = 0x45;
  ip[1] = 0x02;
  Put16(ip + 2, Length16(_messageSize + kIPv4Header + kUdpHeader, 0xFFFF));
  Put16(ip + 6, htons(0x4000));  // don't fragment; identification stays 0
  ip[8] = 64;
  ip[9] = 17;  // UDP; the header checksum is left 0
  Put32(ip + 12, inet_addr(srcIP_));
  Put32(ip + 16, inet_addr(destIP_));
  unsigned char* udp = ip + kIPv4Header;
  Put16(udp, htons(kPort));
  Put16(udp + 2, htons(kPort));
  Put16(udp + 4, Length16(_messageSize + kUdpHeader, 0xFFFF - kIPv4Header));
  if (fwrite(h, sizeof(h), 1, fp_) != 1 ||
      (kept > 0 && fwrite(_rawMessage, static_cast<size_t>(kept), 1, fp_) != 1)) {
    QIR_LOG_I("[%d-%s]fwrite() failed...", errno, strerror(errno));
    return false;
  }
  curSize_ = curSize_ > INT_MAX - kept ? INT_MAX : curSize_ + kept;
  return true;
}

void CQIRPCAPDump::Finalize() {
  if (fp_ != nullptr) {
    fclose(fp_);
    fp_ = nullptr;
  }
}
