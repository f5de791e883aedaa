#ifndef QIR_BASE_CQIRPCAPDUMP_H
#define QIR_BASE_CQIRPCAPDUMP_H

#include <stdio.h>

// Capture files in the classic pcap format (microsecond stamps, Ethernet):
// each message becomes one UDP packet between two fixed IPv4 addresses, port
// 3868 on both sides, so a packet analyser can show the application traffic.
// Files are "<path>/<name>.<CCYYMMDDhhmmss>.pcap"; a new one starts when the
// message bytes of the current one pass the size limit. Owned and written by
// one thread at a time (the socket that enabled the capture); no lock.
class CQIRPCAPDump {
 public:
  enum {
    QIR_PCAP_PATH_SIZE = 4096,
    QIR_PCAP_IP_SIZE = 64,
    QIR_PCAP_FILE_HEADER = 24,
    QIR_PCAP_RECORD_HEADER = 16,
    QIR_PCAP_PACKET_HEADER = 42  // Ethernet 14 + IPv4 20 + UDP 8
  };

  CQIRPCAPDump();
  ~CQIRPCAPDump();
  CQIRPCAPDump(const CQIRPCAPDump&) = delete;
  CQIRPCAPDump& operator=(const CQIRPCAPDump&) = delete;

  // 1 when the first file is open; 0 when a value does not fit its buffer
  // (path and name 4095 characters, addresses 63) or the file fails.
  int Initialize(const char* _path, const char* _name, int _maxFileSize, const char* _srcIP,
                 const char* _destIP);
  int Open();  // closes the current file, starts a new one; 1/0
  bool Write(const char* _rawMessage, int _messageSize);
  void Finalize();  // harmless to call twice

  const char* GetFileName() const { return fileName_; }

 private:
  bool MakeFileName(char* _dest, size_t _size);

  char path_[QIR_PCAP_PATH_SIZE];
  char name_[QIR_PCAP_PATH_SIZE];
  char srcIP_[QIR_PCAP_IP_SIZE];
  char destIP_[QIR_PCAP_IP_SIZE];
  FILE* fp_;
  int maxFileSize_;
  int curSize_;                        // 24 header bytes plus the message bytes written
  char fileName_[QIR_PCAP_PATH_SIZE];  // the open file's name
};

#endif  // QIR_BASE_CQIRPCAPDUMP_H
