#ifndef QIR_NET_CQIRSOCKETNEW_H
#define QIR_NET_CQIRSOCKETNEW_H

#include <stddef.h>

#include <mutex>

#include <netinet/in.h>
#include <openssl/ssl.h>

class CQIRPCAPDump;

// Kept for callers that serialise their own address work; CONNECT no longer
// takes it.
extern std::mutex G_QIR_SOCKADDR_MUTEX;
// The conventional retry count for CONNECT (10); read by no framework code.
extern int G_QIR_SOCKET_CONNECT_RETRY;
// Upper bound, in milliseconds, of the whole TLS handshake (3000): in SetFD,
// and for the server's accepted sockets in its set-up stage.
extern int G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC;

enum {
  QIR_SOCKET_IP_SIZE = 46,     // ACCEPT's _ip: IPv6 text with its NUL
  QIR_SOCKET_HOST_SIZE = 256,  // ACCEPT's _host: longest name kept, with its NUL
  QIR_SOCKET_NAME_SIZE = 64,
  QIR_SOCKET_COMPRESS_HEADER = 8  // uncompressed and compressed length, host order
};

enum {
  QIR_SOCKET_IO_ONCE = 1,  // one system call per Send/Recv (the default)
  QIR_SOCKET_IO_LOOP = 2   // any other value: move the whole length if possible
};

enum {
  QIR_SSL_MODE_SERVER = 1,  // SetFD runs SSL_accept
  QIR_SSL_MODE_CLIENT = 2   // SetFD runs SSL_connect
};

// The framework's one socket: static operations on bare descriptors, and an
// object that owns one connected descriptor with an optional TLS session.
// An object is used by one thread at a time (its session's thread); it has
// no lock. The static operations are reentrant.
//
// Results of Send, Recv and their halves:
//   > 0  bytes moved (loop mode: possibly fewer than asked)
//     0  Recv: the peer closed. Send in loop mode: nothing could be written
//        before the socket would block. TLS Send: SSL_write returned 0.
//    -1  would block (plain once mode EAGAIN; TLS WANT_READ/WANT_WRITE)
//    -2  hard failure of the connection (a reset peer included: writes never
//        raise SIGPIPE)
//    -3  delimiter Recv only: _maxSize bytes arrived without the delimiter
class CQIRSocketNew {
 public:
  CQIRSocketNew();
  ~CQIRSocketNew();
  CQIRSocketNew(const CQIRSocketNew&) = delete;
  CQIRSocketNew& operator=(const CQIRSocketNew&) = delete;

  // Connected blocking TCP descriptor, or -1. Each resolved address gets a
  // fresh socket and at most _retry attempts; _retry <= 0 makes none.
  static int CONNECT(const char* _ip, int _port, int _retry);
  static int CONNECT(int _protocol, const char* _ip, int _port, int _retry);
  // Connected blocking TCP descriptor, or -1 (errno ETIMEDOUT when the time
  // ran out): name lookup and connect together take at most _timeoutMs.
  static int CONNECT_TIMED(const char* _ip, int _port, int _timeoutMs);
  // Listening blocking descriptor on the wildcard address ("0.0.0.0" for
  // AF_INET, "::" for any other family), or -1. _ifName has no effect.
  // IPPROTO_SCTP as _protocol gives an SCTP socket bound with sctp_bindx.
  static int LISTEN(int _family, int _port, const char* _ifName);
  static int LISTEN(int _family, int _protocol, int _port, const char* _ifName);
  // As LISTEN, the family from the resolver: _family AF_INET or AF_INET6, or
  // -1 to let QIR_SOCKET_DEFAULT_IP_NET decide ("IPV6" or anything else).
  static int LISTEN2(int _port, int _family);
  static int LISTEN2(int _protocol, int _port, int _family);
  // Waits _timeout microseconds (-1: blocks in accept) for a connection.
  // New blocking descriptor (> 0); 0 timed out; -1 failed. _ip receives the
  // peer's address text (QIR_SOCKET_IP_SIZE bytes), _host (null, or
  // QIR_SOCKET_HOST_SIZE bytes) its reverse name or else the address text.
  static int ACCEPT(int _listen_fd, int _timeout, char* _ip, char* _host);
  // Accepts without waiting and without a reverse lookup: new non-blocking
  // descriptor (> 0), 0 when nobody is waiting, -1 failed (logged). _ip
  // (QIR_SOCKET_IP_SIZE bytes) receives the peer's address text.
  static int ACCEPT_NOWAIT(int _listen_fd, char* _ip);
  // The same without a log line: -1 leaves errno for the caller, which
  // decides how often a failure is worth a line.
  static int ACCEPT_QUIET(int _listen_fd, char* _ip);
  static void SET_NODELAY(int _fd);
  static bool SET_NONBLOCK(int _fd);
  // An epoll set with a non-blocking eventfd in it (data.ptr null), so that
  // other threads can wake its waiter. Each descriptor is made only while
  // still -1; false (logged) when a system call fails.
  static bool EPOLL_WITH_WAKEUP(int* _epfd, int* _wakefd);
  // Index of the interface that holds the IPv6 address, 0 when none does.
  static int GET_V6_IFINDEX(struct sockaddr_in6* _addr);
  // > 0 readable; 0 timed out; -1 failed. Any descriptor number works.
  static int SELECT(int _fd, int _sec, int _usec);

  // Closes TLS (close_notify, not waiting for the peer's) and the descriptor,
  // frees the compression buffer. Name, I/O method and capture stay.
  void Clear();
  void SetName(const char* _name);  // kept to 63 characters
  const char* GetName() const { return name_; }
  int GetSocket() const { return fd_; }
  void SetIOMethod(int _ioMethod) { ioMethod_ = _ioMethod; }
  bool UsesTLS() const { return ssl_ != nullptr; }
  // TLS bytes read from the socket and not yet taken: epoll no longer
  // reports them.
  bool HasBufferedInput() const { return ssl_ != nullptr && SSL_has_pending(ssl_) == 1; }

  // Takes ownership of _fd (a cleared object is expected). With a context,
  // runs the TLS handshake (_sslMode QIR_SSL_MODE_SERVER or _CLIENT), bounded
  // by _handshakeMs (0: G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC), and requires "h2"
  // to be agreed. The descriptor's blocking mode is the same afterwards. On
  // false the descriptor stays owned; Clear releases it.
  bool SetFD(int _fd, SSL_CTX* _ssl_ctx, int _sslMode, int _handshakeMs = 0);
  // The server handshake in steps, for an event loop that watches the
  // non-blocking descriptor itself. BeginAccept takes _fd as SetFD does and
  // creates the TLS session (false: logged as SetFD does). StepAccept: 1
  // handshake done and "h2" agreed; 0 blocked, wait for *_events (POLLIN or
  // POLLOUT); -1 failed (logged as SetFD's "SSL_accept() failed!..").
  bool BeginAccept(int _fd, SSL_CTX* _ssl_ctx);
  int StepAccept(short* _events);
  // Hands the descriptor and its established TLS session over (AdoptSSL of
  // another object); this object is left cleared.
  void Release(int* _fd, SSL** _ssl);
  // Takes ownership of _fd and of _ssl, a server session whose handshake is
  // complete. True when "h2" was agreed; on false both stay owned.
  bool AdoptSSL(int _fd, SSL* _ssl);

  int Send(const char* _data, size_t _length);
  int Recv(char* _data, size_t _length);
  int SendOnce(const char* _data, size_t _length);
  int SendLoop(const char* _data, size_t _length);
  int RecvOnce(char* _data, size_t _length);
  int RecvLoop(char* _data, size_t _length);  // waits at most 0.1 s for data
  // Reads one byte per call until _data ends with _endMark; the count with
  // the delimiter, 0 peer closed, the count so far on EAGAIN, -2 failure or
  // TLS connection, -3 when more than _maxSize bytes would be needed. Never
  // writes past _maxSize bytes; _data is not terminated.
  int Recv(char* _data, const char* _endMark, int _maxSize);
  int Select(int _sec, int _usec) { return SELECT(fd_, _sec, _usec); }

  // PCAP capture of plain traffic, both directions in one file series.
  bool EnableDump(const char* _path, const char* _name, int _maxFileSize, const char* _srcIP,
                  const char* _destIP);
  void DisableDump();

  // Compressed frames: 4-byte uncompressed length, 4-byte compressed length,
  // one raw LZ4 block. InitCompress sizes the work buffer for messages up to
  // about _bufferSize bytes (a message must compress within it).
  bool InitCompress(size_t _bufferSize);
  int CompressSend(const char* _data, size_t _length);  // _length or -1
  int DecompressRecv(char* _data, size_t _buffSize);    // length or -1

 private:
  static int Connect(int _fd, const struct sockaddr* _addr, socklen_t _addrLen, int _retry);
  static int Listen1(int _family, int _protocol, int _port);
  static int Listen2(int _protocol, int _port, int _family);
  static int ListenOn(const char* _node, int _family, int _protocol, int _port,
                      const char* _notFound);
  bool Handshake(int _sslMode, int _boundMs);

  char name_[QIR_SOCKET_NAME_SIZE];
  int fd_;
  SSL* ssl_;
  int ioMethod_;
  char* compressBuffer_;
  int compressBufferSize_;
  CQIRPCAPDump* pcap_;
};

#endif  // QIR_NET_CQIRSOCKETNEW_H
