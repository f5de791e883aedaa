#include "CQIRSocketNew.h"

#include "CQIRPCAPDump.h"
#include "CQIRServiceLog.h"
#include "CQIRUtil.h"
#include "QIRCommonOpenSSL.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/sctp.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

std::mutex G_QIR_SOCKADDR_MUTEX;
int G_QIR_SOCKET_CONNECT_RETRY = 10;
int G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC = 3000;

namespace {

// The kernel caps a listen backlog at net.core.somaxconn: asking for the
// largest it allows lets a burst of clients connecting at once wait in the
// queue instead of losing their SYNs (and retrying only a second later).
int ListenBacklog() {
  int backlog = SOMAXCONN;
  FILE* f = fopen("/proc/sys/net/core/somaxconn", "re");
  if (f != nullptr) {
    int configured = 0;
    if (fscanf(f, "%d", &configured) == 1 && configured > backlog) backlog = configured;
    fclose(f);
  }
  return backlog;
}
const int kAcceptAddrSize = 128;
const int kResolverBufferSize = 2048;
const int kIPv4TextSize = 16;
const long kRecvLoopBudgetUsec = 100000;
const int kRecvLoopPollUsec = 100;
const int kConnectInProgressUsec = 10000;

int64_t MonotonicUsec() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits up to _usec microseconds (negative: no limit) for _events on _fd,
// resuming with the time that remains after a signal. poll has no
// FD_SETSIZE limit, so any descriptor number is safe. Result as poll's.
int WaitFor(int _fd, short _events, int64_t _usec) {
  pollfd p{_fd, _events, 0};
  const int64_t deadline = _usec < 0 ? 0 : MonotonicUsec() + _usec;
  for (;;) {
    int64_t left = _usec < 0 ? -1 : deadline - MonotonicUsec();
    if (_usec >= 0 && left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    int rc = ppoll(&p, 1, left < 0 ? nullptr : &ts, nullptr);
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

int ClampToInt(size_t _length) {
  return _length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(_length);
}

// The socket BIO writes with write(), which raises SIGPIPE on a reset peer
// and ends a process that has not ignored it. This method is the socket BIO
// with send(MSG_NOSIGNAL) for writes, so such a write fails with EPIPE.
int NoSigpipeWrite(BIO* _bio, const char* _data, int _length) {
  int fd = static_cast<int>(BIO_get_fd(_bio, nullptr));
  errno = 0;
  int rc = static_cast<int>(send(fd, _data, static_cast<size_t>(_length), MSG_NOSIGNAL));
  BIO_clear_retry_flags(_bio);
  if (rc <= 0 && BIO_sock_should_retry(rc)) BIO_set_retry_write(_bio);
  return rc;
}

int NoSigpipePuts(BIO* _bio, const char* _text) {
  return NoSigpipeWrite(_bio, _text, static_cast<int>(strlen(_text)));
}

std::once_flag g_bioOnce;
BIO_METHOD* g_bioMethod = nullptr;  // lives as long as the process

const BIO_METHOD* NoSigpipeSocketMethod() {
  std::call_once(g_bioOnce, [] {
    const BIO_METHOD* base = BIO_s_socket();
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "qir socket");
    if (m == nullptr) return;
    BIO_meth_set_write(m, NoSigpipeWrite);
    BIO_meth_set_puts(m, NoSigpipePuts);
    BIO_meth_set_read(m, BIO_meth_get_read(base));
    BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
    BIO_meth_set_create(m, BIO_meth_get_create(base));
    BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
    g_bioMethod = m;
  });
  return g_bioMethod;
}

// SSL_set_fd with the SIGPIPE-free socket BIO.
bool AttachSocket(SSL* _ssl, int _fd) {
  const BIO_METHOD* method = NoSigpipeSocketMethod();
  BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) return false;
  BIO_set_fd(bio, _fd, BIO_NOCLOSE);
  SSL_set_bio(_ssl, bio, bio);
  return true;
}

const char* SslErrorText() {
  static thread_local char text[256];
  ERR_error_string_n(ERR_peek_error(), text, sizeof(text));
  return text;
}

// The name the latest CONNECT of this thread was given, and the descriptor
// it answered: SetFD checks the server's certificate against that name and
// sends it as SNI, since callers hand SetFD the bare descriptor.
struct ConnectTarget {
  int fd = -1;
  char host[QIR_SOCKET_HOST_SIZE] = "";
};
thread_local ConnectTarget t_connectTarget;

void NoteConnectTarget(int _fd, const char* _host) {
  t_connectTarget.fd = _fd;
  snprintf(t_connectTarget.host, sizeof(t_connectTarget.host), "%s", _host != nullptr ? _host : "");
}

// The address text of an IPv4 or IPv6 peer; empty for any other family.
void AddressText(const sockaddr_storage& _peer, char* _out, size_t _size) {
  _out[0] = '\0';
  if (_peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&_peer)->sin_addr, _out,
              static_cast<socklen_t>(_size));
  } else if (_peer.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&_peer)->sin6_addr, _out,
              static_cast<socklen_t>(_size));
  }
}

// The name CONNECT used for _fd, else the peer's address text.
void ConnectTargetOf(int _fd, char* _host, size_t _size) {
  _host[0] = '\0';
  if (t_connectTarget.fd == _fd && t_connectTarget.host[0] != '\0') {
    snprintf(_host, _size, "%s", t_connectTarget.host);
    return;
  }
  sockaddr_storage peer{};
  socklen_t len = sizeof(peer);
  if (getpeername(_fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) AddressText(peer, _host, _size);
}

bool EnvIsTrue(const char* _name) {
  const char* v = getenv(_name);
  return v != nullptr &&
         (strcasecmp(v, "yes") == 0 || strcasecmp(v, "on") == 0 || strcasecmp(v, "true") == 0);
}

// Peer address text into _ip and its reverse name (or the text) into _host.
void DescribePeer(const sockaddr_storage& _peer, char* _ip, char* _host) {
  const void* addr = nullptr;
  socklen_t addrLen = 0;
  int textSize = 0;
  const char* label = nullptr;
  if (_peer.ss_family == AF_INET) {
    addr = &reinterpret_cast<const sockaddr_in*>(&_peer)->sin_addr;
    addrLen = sizeof(in_addr);
    textSize = kIPv4TextSize;
    label = "IPv4";
  } else if (_peer.ss_family == AF_INET6) {
    addr = &reinterpret_cast<const sockaddr_in6*>(&_peer)->sin6_addr;
    addrLen = sizeof(in6_addr);
    textSize = QIR_SOCKET_IP_SIZE;
    label = "IPv6";
  } else {
    QIR_LOG_W("connected client has invalid ip family!...");
    return;
  }
  inet_ntop(_peer.ss_family, addr, _ip, static_cast<socklen_t>(textSize));
  hostent entry;
  hostent* found = nullptr;
  char work[kResolverBufferSize];
  int herr = 0;
  int rc =
      gethostbyaddr_r(addr, addrLen, _peer.ss_family, &entry, work, sizeof(work), &found, &herr);
  if (rc == 0 && herr == 0 && found != nullptr && found->h_name != nullptr) {
    if (_host != nullptr) snprintf(_host, QIR_SOCKET_HOST_SIZE, "%s", found->h_name);
    QIR_LOG_I("%s(%s) Host(%s) connected...", label, _ip, found->h_name);
  } else {
    if (_host != nullptr) snprintf(_host, QIR_SOCKET_HOST_SIZE, "%s", _ip);
    QIR_LOG_W("gethostbyaddr_r(%s) failed!..(err=%d)", _ip, herr);
  }
}

}  // namespace

CQIRSocketNew::CQIRSocketNew()
    : fd_(-1),
      ssl_(nullptr),
      ioMethod_(QIR_SOCKET_IO_ONCE),
      compressBuffer_(nullptr),
      compressBufferSize_(0),
      pcap_(nullptr) {
  snprintf(name_, sizeof(name_), "%s", "unknown");
}

CQIRSocketNew::~CQIRSocketNew() {
  Clear();
  DisableDump();
}

void CQIRSocketNew::SetName(const char* _name) {
  snprintf(name_, sizeof(name_), "%s", _name != nullptr ? _name : "");
}

// ---- outgoing connections ----

int CQIRSocketNew::CONNECT(const char* _ip, int _port, int _retry) {
  return CONNECT(IPPROTO_TCP, _ip, _port, _retry);
}

int CQIRSocketNew::CONNECT(int _protocol, const char* _ip, int _port, int _retry) {
  // getaddrinfo is thread-safe: no lock, so that one slow host does not
  // hold up every other thread's connect.
  char port[16];
  snprintf(port, sizeof(port), "%d", _port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = _protocol;
  addrinfo* list = nullptr;
  int ret = getaddrinfo(_ip, port, &hints, &list);
  if (ret != 0) {
    QIR_LOG_I("[%d-%s]getaddrinfo() failed!..(%s,%s) ret=%d", errno, strerror(errno),
              _ip != nullptr ? _ip : "(null)", port, ret);
    return -1;
  }
  int result = -1;
  for (addrinfo* ai = list; ai != nullptr && result < 0; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    if (Connect(fd, ai->ai_addr, ai->ai_addrlen, _retry) == 1) {
      result = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(list);
  NoteConnectTarget(result, _ip);
  return result;
}

namespace {

// The lookup of _host within the deadline (monotonic microseconds): 0 and
// *_list, or -1 (errno ETIMEDOUT when the time ran out). A numeric address
// needs no lookup. A name is looked up on a thread of its own, which the
// caller stops waiting for at the deadline; a lookup that ends later frees
// its own result.
int ResolveBy(const char* _host, const char* _port, const addrinfo& _hints, int64_t _deadline,
              addrinfo** _list) {
  addrinfo numeric = _hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  if (getaddrinfo(_host, _port, &numeric, _list) == 0) return 0;
  struct Lookup {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool abandoned = false;
    int rc = 0;
    addrinfo* list = nullptr;
  };
  auto l = std::make_shared<Lookup>();
  std::string host = _host, port = _port;
  addrinfo hints = _hints;
  try {
    std::thread([l, host, port, hints] {
      addrinfo* list = nullptr;
      int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
      std::lock_guard<std::mutex> lock(l->m);
      if (l->abandoned) {
        if (rc == 0) freeaddrinfo(list);
        return;
      }
      l->rc = rc;
      l->list = list;
      l->done = true;
      l->cv.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    QIR_LOG_I("getaddrinfo() thread failed!..(%s,%s)", _host, _port);
    return -1;
  }
  std::unique_lock<std::mutex> lock(l->m);
  int64_t left = _deadline - MonotonicUsec();
  if (!l->cv.wait_for(lock, std::chrono::microseconds(left > 0 ? left : 0),
                      [&l] { return l->done; })) {
    l->abandoned = true;
    QIR_LOG_I("getaddrinfo() timeout!..(%s,%s)", _host, _port);
    errno = ETIMEDOUT;
    return -1;
  }
  if (l->rc != 0) {
    QIR_LOG_I("getaddrinfo() failed!..(%s,%s) %s", _host, _port, gai_strerror(l->rc));
    errno = EHOSTUNREACH;
    return -1;
  }
  *_list = l->list;
  return 0;
}

}  // namespace

int CQIRSocketNew::CONNECT_TIMED(const char* _ip, int _port, int _timeoutMs) {
  const int64_t deadline = MonotonicUsec() + static_cast<int64_t>(_timeoutMs > 0 ? _timeoutMs : 1) * 1000;
  char port[16];
  snprintf(port, sizeof(port), "%d", _port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  if (ResolveBy(_ip != nullptr ? _ip : "", port, hints, deadline, &list) != 0) return -1;
  int result = -1;
  bool timedOut = false;
  for (addrinfo* ai = list; ai != nullptr && result < 0 && !timedOut; ai = ai->ai_next) {
    int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) continue;
    int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      int64_t left = deadline - MonotonicUsec();
      rc = left > 0 ? WaitFor(fd, POLLOUT, left) : 0;
      if (rc == 0) {
        timedOut = true;
        rc = -1;
      } else if (rc > 0) {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        errno = err;
        rc = err == 0 ? 0 : -1;
      }
    }
    if (rc == 0) {
      result = fd;
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    } else {
      if (!timedOut) QIR_LOG_I("[%d-%s]connect() failed!..", errno, strerror(errno));
      close(fd);
    }
  }
  freeaddrinfo(list);
  if (timedOut) {
    QIR_LOG_I("connect() timeout!..(%s,%s) %d ms", _ip, port, _timeoutMs);
    errno = ETIMEDOUT;
  }
  NoteConnectTarget(result, _ip);
  return result;
}

// 1 connected, 0 not. A blocking connect interrupted by a signal goes on in
// the background; the next attempt then reports EALREADY or EISCONN.
int CQIRSocketNew::Connect(int _fd, const sockaddr* _addr, socklen_t _addrLen, int _retry) {
  for (int attempt = 0; attempt < _retry; ++attempt) {
    if (connect(_fd, _addr, _addrLen) == 0 || errno == EISCONN) return 1;
    if (errno == EINPROGRESS || errno == EALREADY || errno == EINTR) {
      usleep(kConnectInProgressUsec);
      continue;
    }
    QIR_LOG_I("[%d-%s]connect() failed!..", errno, strerror(errno));
    return 0;
  }
  return 0;
}

// ---- listening sockets ----

int CQIRSocketNew::LISTEN(int _family, int _port, const char* _ifName) {
  return LISTEN(_family, IPPROTO_TCP, _port, _ifName);
}

int CQIRSocketNew::LISTEN(int _family, int _protocol, int _port, const char* /*_ifName*/) {
  return Listen1(_family, _protocol, _port);
}

int CQIRSocketNew::LISTEN2(int _port, int _family) { return Listen2(IPPROTO_TCP, _port, _family); }

int CQIRSocketNew::LISTEN2(int _protocol, int _port, int _family) {
  return Listen2(_protocol, _port, _family);
}

int CQIRSocketNew::Listen1(int _family, int _protocol, int _port) {
  const char* node = _family == AF_INET ? "0.0.0.0" : "::";
  return ListenOn(node, AF_UNSPEC, _protocol, _port, "listen address not found!...");
}

int CQIRSocketNew::Listen2(int _protocol, int _port, int _family) {
  int family = AF_UNSPEC;
  if (_family == -1) {
    const char* net = getenv("QIR_SOCKET_DEFAULT_IP_NET");
    if (net != nullptr) family = strcmp(net, "IPV6") == 0 ? AF_INET6 : AF_INET;
  } else if (_family == AF_INET || _family == AF_INET6) {
    family = _family;
  } else {
    QIR_LOG_W("Invalid IP Address family(%d)..only AF_INET or AF_INET6 allowed..", _family);
  }
  return ListenOn(nullptr, family, _protocol, _port, "getaddrinfo() address not found!...");
}

int CQIRSocketNew::ListenOn(const char* _node, int _family, int _protocol, int _port,
                            const char* _notFound) {
  char port[16];
  snprintf(port, sizeof(port), "%d", _port);
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = _family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = _protocol;
  addrinfo* list = nullptr;
  int ret = getaddrinfo(_node, port, &hints, &list);
  if (ret != 0) {
    QIR_LOG_I("[%d-%s]getaddrinfo() failed!..(%s) ret=%d", errno, strerror(errno), port, ret);
    return -1;
  }
  int fd = -1;
  addrinfo* ai = list;
  for (; ai != nullptr; ai = ai->ai_next) {
    fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd >= 0) break;
    // A kernel without the protocol (SCTP) ends here, for every entry.
    QIR_LOG_I("[%d-%s]socket() failed!..", errno, strerror(errno));
  }
  if (fd < 0) {
    freeaddrinfo(list);
    QIR_LOG_E("%s", _notFound);
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (ai->ai_family == AF_INET6 && EnvIsTrue("QIR_SOCKET_IPV6_ONLY")) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  bool bound;
  if (ai->ai_protocol == IPPROTO_SCTP) {
    bound = sctp_bindx(fd, ai->ai_addr, 1, SCTP_BINDX_ADD_ADDR) == 0;
    if (!bound) QIR_LOG_I("[%d-%s]sctp_bindx() failed!..", errno, strerror(errno));
  } else {
    bound = bind(fd, ai->ai_addr, ai->ai_addrlen) == 0;
    if (!bound) QIR_LOG_I("[%d-%s]bind() failed!..", errno, strerror(errno));
  }
  freeaddrinfo(list);
  if (!bound) {
    close(fd);
    return -1;
  }
  if (listen(fd, ListenBacklog()) != 0) {
    QIR_LOG_I("[%d-%s]listen() failed!..", errno, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// ---- descriptor helpers ----

int CQIRSocketNew::ACCEPT(int _listen_fd, int _timeout, char* _ip, char* _host) {
  if (_timeout != -1) {
    int rc = WaitFor(_listen_fd, POLLIN, _timeout < 0 ? 0 : _timeout);
    if (rc < 0) {
      QIR_LOG_I("[%d-%s]select() failed!..", errno, strerror(errno));
      return -1;
    }
    if (rc == 0) return 0;
  }
  sockaddr_storage peer{};
  static_assert(sizeof(peer) == kAcceptAddrSize, "accept address store");
  socklen_t len = sizeof(peer);
  int fd = accept4(_listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd == 0) {
    // Descriptor 0 (standard input was closed) would read as "timed out".
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    fd = moved;
  }
  if (fd < 1) {
    QIR_LOG_I("[%d-%s]accept() failed!..", errno, strerror(errno));
    return -1;
  }
  char ownIp[QIR_SOCKET_IP_SIZE];
  DescribePeer(peer, _ip != nullptr ? _ip : ownIp, _host);
  return fd;
}

int CQIRSocketNew::ACCEPT_QUIET(int _listen_fd, char* _ip) {
  sockaddr_storage peer{};
  socklen_t len = sizeof(peer);
  int fd;
  do {
    fd = accept4(_listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  if (fd == 0) {  // 0 reads as "none waiting" to every caller
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    int saved = errno;
    close(fd);
    errno = saved;
    if (moved < 0) return -1;
    fd = moved;
  }
  AddressText(peer, _ip, QIR_SOCKET_IP_SIZE);
  return fd;
}

int CQIRSocketNew::ACCEPT_NOWAIT(int _listen_fd, char* _ip) {
  int fd = ACCEPT_QUIET(_listen_fd, _ip);
  if (fd < 0) {
    QIR_LOG_I("[%d-%s]accept() failed!..", errno, strerror(errno));
  } else if (fd > 0 && _ip[0] == '\0') {
    QIR_LOG_W("connected client has invalid ip family!...");
  }
  return fd;
}

bool CQIRSocketNew::SET_NONBLOCK(int _fd) {
  int flags = fcntl(_fd, F_GETFL);
  // Most callers pass a socket that already is: one system call then.
  if (flags >= 0 && (flags & O_NONBLOCK) != 0) return true;
  if (flags < 0 || fcntl(_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    QIR_LOG_I("[%d-%s]fcntl() failed!..", errno, strerror(errno));
    return false;
  }
  return true;
}

void CQIRSocketNew::SET_NODELAY(int _fd) {
  int on = 1;
  setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool CQIRSocketNew::EPOLL_WITH_WAKEUP(int* _epfd, int* _wakefd) {
  if (*_epfd < 0) *_epfd = epoll_create1(EPOLL_CLOEXEC);
  if (*_epfd < 0) {
    QIR_LOG_I("[%d-%s]epoll_create() system call error.", errno, strerror(errno));
    return false;
  }
  if (*_wakefd >= 0) return true;
  *_wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  struct epoll_event ev;
  memset(&ev, 0, sizeof(ev));
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  if (*_wakefd < 0 || epoll_ctl(*_epfd, EPOLL_CTL_ADD, *_wakefd, &ev) < 0) {
    QIR_LOG_I("[%d-%s]epoll_ctl() system call error.", errno, strerror(errno));
    return false;
  }
  return true;
}

int CQIRSocketNew::GET_V6_IFINDEX(sockaddr_in6* _addr) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    QIR_LOG_I("[%d-%s]getifaddrs() failed!..", errno, strerror(errno));
    return 0;
  }
  int index = 0;
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6) continue;
    const sockaddr_in6* a = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
    if (memcmp(&a->sin6_addr, &_addr->sin6_addr, sizeof(in6_addr)) == 0) {
      index = static_cast<int>(if_nametoindex(ifa->ifa_name));
      break;
    }
  }
  freeifaddrs(list);
  if (index == 0) QIR_LOG_W("not found if-index...");
  return index;
}

int CQIRSocketNew::SELECT(int _fd, int _sec, int _usec) {
  int64_t usec = static_cast<int64_t>(_sec) * 1000000 + _usec;
  int rc = WaitFor(_fd, POLLIN, usec < 0 ? 0 : usec);
  if (rc < 0) QIR_LOG_I("[%d-%s]select() failed!..", errno, strerror(errno));
  return rc < 0 ? -1 : rc;
}

// ---- the connection object ----

bool CQIRSocketNew::SetFD(int _fd, SSL_CTX* _ssl_ctx, int _sslMode, int _handshakeMs) {
  fd_ = _fd;
  if (_ssl_ctx == nullptr) return true;
  SSL_CTX* current = QIR_SSL_CTX_ACQUIRE(_ssl_ctx);  // as in BeginAccept
  ssl_ = SSL_new(current);
  SSL_CTX_free(current);
  if (ssl_ == nullptr) {
    QIR_LOG_E("SSL_new() failed!..%s", SslErrorText());
    return false;
  }
  if (!AttachSocket(ssl_, fd_)) {
    QIR_LOG_E("SSL_set_fd() failed!..%s", SslErrorText());
    return false;
  }
  ERR_clear_error();
  if (_sslMode != QIR_SSL_MODE_SERVER && _sslMode != QIR_SSL_MODE_CLIENT) {
    QIR_LOG_E("unknown SSL initail mode(%d)", _sslMode);
    return false;
  }
  if (_sslMode == QIR_SSL_MODE_CLIENT) {
    char host[QIR_SOCKET_HOST_SIZE];
    ConnectTargetOf(fd_, host, sizeof(host));
    if (!QIR_SSL_PREPARE_CLIENT(ssl_, host)) return false;
  }
  if (!Handshake(_sslMode, _handshakeMs > 0 ? _handshakeMs : G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC)) {
    return false;
  }
  return QIR_SSL_SELECT_ALPN(ssl_, nullptr);
}

bool CQIRSocketNew::BeginAccept(int _fd, SSL_CTX* _ssl_ctx) {
  fd_ = _fd;
  // The newest context (certificates reloaded since start-up); the session
  // keeps its own reference, so a later reload does not touch it.
  SSL_CTX* current = QIR_SSL_CTX_ACQUIRE(_ssl_ctx);
  ssl_ = SSL_new(current);
  SSL_CTX_free(current);
  if (ssl_ == nullptr) {
    QIR_LOG_E("SSL_new() failed!..%s", SslErrorText());
    return false;
  }
  if (!AttachSocket(ssl_, fd_)) {
    QIR_LOG_E("SSL_set_fd() failed!..%s", SslErrorText());
    return false;
  }
  SSL_set_accept_state(ssl_);
  // A whole flight in one read instead of a header and a body per record:
  // about seven system calls fewer per handshake. What a read takes beyond
  // the handshake stays in the session (HasBufferedInput).
  SSL_set_read_ahead(ssl_, 1);
  return true;
}

int CQIRSocketNew::StepAccept(short* _events) {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_do_handshake(ssl_);
  if (rc == 1) return QIR_SSL_SELECT_ALPN(ssl_, nullptr) ? 1 : -1;
  int sysErrno = errno;
  int err = SSL_get_error(ssl_, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    *_events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    return 0;
  }
  char reason[256];
  if (ERR_peek_error() != 0) {
    snprintf(reason, sizeof(reason), "%s", SslErrorText());
  } else if (sysErrno != 0) {
    snprintf(reason, sizeof(reason), "[%d-%s]", sysErrno, strerror(sysErrno));
  } else {
    snprintf(reason, sizeof(reason), "peer closed the connection");
  }
  QIR_LOG_E("SSL_accept() failed!..%s", reason);
  ERR_print_errors_fp(stderr);
  ERR_clear_error();
  return -1;
}

void CQIRSocketNew::Release(int* _fd, SSL** _ssl) {
  *_fd = fd_;
  *_ssl = ssl_;
  fd_ = -1;
  ssl_ = nullptr;
}

bool CQIRSocketNew::AdoptSSL(int _fd, SSL* _ssl) {
  fd_ = _fd;
  ssl_ = _ssl;
  return QIR_SSL_SELECT_ALPN(ssl_, nullptr);
}

// Runs the handshake non-blocking against one deadline, whatever the
// descriptor's mode, so a peer that is silent or trickles bytes costs at most
// _boundMs (a client passes what is left of its connect time-out). The
// descriptor's mode is restored.
bool CQIRSocketNew::Handshake(int _sslMode, int _boundMs) {
  const bool client = _sslMode == QIR_SSL_MODE_CLIENT;
  const int flags = fcntl(fd_, F_GETFL);
  const bool wasBlocking = flags >= 0 && (flags & O_NONBLOCK) == 0;
  if (wasBlocking) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  const int bound = _boundMs < 1 ? 1 : _boundMs;
  const int64_t deadline = MonotonicUsec() + static_cast<int64_t>(bound) * 1000;
  bool done = false;
  bool timedOut = false;
  int sysErrno = 0;
  for (;;) {
    int rc = client ? SSL_connect(ssl_) : SSL_accept(ssl_);
    if (rc == 1) {
      done = true;
      break;
    }
    sysErrno = errno;
    int err = SSL_get_error(ssl_, rc);
    short events = err == SSL_ERROR_WANT_READ ? POLLIN : err == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (events == 0) break;
    int64_t left = deadline - MonotonicUsec();
    if (left <= 0 || WaitFor(fd_, events, left) <= 0) {
      timedOut = true;
      break;
    }
  }
  if (wasBlocking) fcntl(fd_, F_SETFL, flags);
  if (done) return true;
  char reason[256];
  if (timedOut) {
    snprintf(reason, sizeof(reason), "handshake not complete within %d ms", bound);
  } else if (ERR_peek_error() != 0) {
    snprintf(reason, sizeof(reason), "%s", SslErrorText());
  } else if (sysErrno != 0) {
    snprintf(reason, sizeof(reason), "[%d-%s]", sysErrno, strerror(sysErrno));
  } else {
    snprintf(reason, sizeof(reason), "peer closed the connection");
  }
  if (client) {
    QIR_LOG_E("SSL_connect() failed!..%s", reason);
  } else {
    QIR_LOG_E("SSL_accept() failed!..%s", reason);
    ERR_print_errors_fp(stderr);
  }
  ERR_clear_error();
  return false;
}

void CQIRSocketNew::Clear() {
  if (ssl_ != nullptr) {
    // close_notify is a courtesy: the descriptor goes non-blocking so that a
    // peer that stopped reading cannot hold this call.
    if (fd_ >= 0) SET_NONBLOCK(fd_);
    SSL_set_shutdown(ssl_, SSL_get_shutdown(ssl_) | SSL_RECEIVED_SHUTDOWN);
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
    ERR_clear_error();
  }
  if (fd_ >= 0) {
    shutdown(fd_, SHUT_WR);
    close(fd_);
    fd_ = -1;
  }
  if (compressBuffer_ != nullptr) {
    free(compressBuffer_);
    compressBuffer_ = nullptr;
    compressBufferSize_ = 0;
  }
}

int CQIRSocketNew::Send(const char* _data, size_t _length) {
  if (ssl_ != nullptr) {
    ERR_clear_error();
    int rc = SSL_write(ssl_, _data, ClampToInt(_length));
    if (rc >= 0) return rc;
    int err = SSL_get_error(ssl_, rc);
    return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) ? -1 : -2;
  }
  int rc = ioMethod_ == QIR_SOCKET_IO_ONCE ? SendOnce(_data, _length) : SendLoop(_data, _length);
  if (rc > 0 && pcap_ != nullptr) pcap_->Write(_data, rc);
  return rc;
}

int CQIRSocketNew::Recv(char* _data, size_t _length) {
  if (ssl_ != nullptr) {
    ERR_clear_error();
    int rc = SSL_read(ssl_, _data, ClampToInt(_length));
    if (rc >= 0) return rc;
    int err = SSL_get_error(ssl_, rc);
    return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) ? -1 : -2;
  }
  int rc = ioMethod_ == QIR_SOCKET_IO_ONCE ? RecvOnce(_data, _length) : RecvLoop(_data, _length);
  if (rc > 0 && pcap_ != nullptr) pcap_->Write(_data, rc);
  return rc;
}

int CQIRSocketNew::SendOnce(const char* _data, size_t _length) {
  for (;;) {
    ssize_t rc = send(fd_, _data, static_cast<size_t>(ClampToInt(_length)), MSG_NOSIGNAL);
    if (rc >= 0) return static_cast<int>(rc);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      QIR_LOG_I("EAGAIN...");
      return -1;
    }
    QIR_LOG_I("[%d-%s]send() failed!..", errno, strerror(errno));
    return -2;
  }
}

int CQIRSocketNew::SendLoop(const char* _data, size_t _length) {
  const int length = ClampToInt(_length);
  int sent = 0;
  while (sent < length) {
    ssize_t rc = send(fd_, _data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
    if (rc > 0) {
      sent += static_cast<int>(rc);
    } else if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return sent;
    } else if (rc < 0 && errno != EINTR) {
      QIR_LOG_I("[%d-%s]send() failed!..", errno, strerror(errno));
      return -2;
    }
  }
  return sent;
}

int CQIRSocketNew::RecvOnce(char* _data, size_t _length) {
  for (;;) {
    ssize_t rc = recv(fd_, _data, static_cast<size_t>(ClampToInt(_length)), 0);
    if (rc >= 0) return static_cast<int>(rc);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    QIR_LOG_I("[%d-%s]recv() failed!..", errno, strerror(errno));
    return -2;
  }
}

int CQIRSocketNew::RecvLoop(char* _data, size_t _length) {
  const int length = ClampToInt(_length);
  const int64_t start = MonotonicUsec();
  int got = 0;
  while (got < length) {
    ssize_t rc = recv(fd_, _data + got, static_cast<size_t>(length - got), 0);
    if (rc > 0) {
      got += static_cast<int>(rc);
    } else if (rc == 0) {
      break;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (MonotonicUsec() - start >= kRecvLoopBudgetUsec) break;
      usleep(kRecvLoopPollUsec);
    } else if (errno != EINTR) {
      QIR_LOG_I("[%d-%s]recv() failed!..", errno, strerror(errno));
      return -2;
    }
  }
  return got;
}

int CQIRSocketNew::Recv(char* _data, const char* _endMark, int _maxSize) {
  if (ssl_ != nullptr) {
    QIR_LOG_E("invalid function call...SSL connection invalid!");
    return -2;
  }
  if (_data == nullptr || _endMark == nullptr || _endMark[0] == '\0') {
    QIR_LOG_W("invalid arguments...");
    return -2;
  }
  const int markLength = static_cast<int>(strlen(_endMark));
  int count = 0;
  for (;;) {
    char byte;
    ssize_t rc = recv(fd_, &byte, 1, 0);
    if (rc == 1) {
      // Checked before storing: the byte past _maxSize is consumed, never kept.
      if (count + 1 > _maxSize) {
        QIR_LOG_W("receive overflow!..%d/%d", count + 1, _maxSize);
        return -3;
      }
      _data[count++] = byte;
      if (count >= markLength && memcmp(_data + count - markLength, _endMark, markLength) == 0) {
        return count;
      }
    } else if (rc == 0) {
      return count;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return count;
    } else if (errno != EINTR) {
      QIR_LOG_I("[%d-%s]recv() failed!..", errno, strerror(errno));
      return -2;
    }
  }
}

// ---- capture ----

bool CQIRSocketNew::EnableDump(const char* _path, const char* _name, int _maxFileSize,
                               const char* _srcIP, const char* _destIP) {
  DisableDump();
  CQIRPCAPDump* dump = new (std::nothrow) CQIRPCAPDump();
  if (dump == nullptr) return false;
  if (dump->Initialize(_path, _name, _maxFileSize, _srcIP, _destIP) != 1) {
    delete dump;
    return false;
  }
  pcap_ = dump;
  return true;
}

void CQIRSocketNew::DisableDump() {
  delete pcap_;
  pcap_ = nullptr;
}

// ---- compressed frames ----

bool CQIRSocketNew::InitCompress(size_t _bufferSize) {
  free(compressBuffer_);
  compressBuffer_ = nullptr;
  compressBufferSize_ = 0;
  if (_bufferSize > static_cast<size_t>(INT_MAX - QIR_SOCKET_COMPRESS_HEADER)) {
    QIR_LOG_E("memory allocate failed!..");
    return false;
  }
  compressBuffer_ = static_cast<char*>(malloc(_bufferSize + QIR_SOCKET_COMPRESS_HEADER));
  if (compressBuffer_ == nullptr) {
    QIR_LOG_E("memory allocate failed!..");
    return false;
  }
  compressBufferSize_ = static_cast<int>(_bufferSize) + QIR_SOCKET_COMPRESS_HEADER;
  return true;
}

int CQIRSocketNew::CompressSend(const char* _data, size_t _length) {
  const int capacity = compressBufferSize_ - QIR_SOCKET_COMPRESS_HEADER;
  if (compressBuffer_ == nullptr || _length > static_cast<size_t>(capacity < 0 ? 0 : capacity)) {
    QIR_LOG_E("compress buffer does not initialized or overflow!..");
    return -1;
  }
  const int32_t original = static_cast<int32_t>(_length);
  int compressed = CQIRUtil::LZ4_Compress(_data, original,
                                          compressBuffer_ + QIR_SOCKET_COMPRESS_HEADER, capacity);
  if (compressed <= 0) {
    QIR_LOG_E("compress failed...");
    return -1;
  }
  const int32_t block = compressed;
  memcpy(compressBuffer_, &original, sizeof(original));
  memcpy(compressBuffer_ + sizeof(original), &block, sizeof(block));
  const int frame = compressed + QIR_SOCKET_COMPRESS_HEADER;
  return Send(compressBuffer_, static_cast<size_t>(frame)) == frame ? original : -1;
}

int CQIRSocketNew::DecompressRecv(char* _data, size_t _buffSize) {
  int32_t original = 0;
  int32_t block = 0;
  if (Recv(reinterpret_cast<char*>(&original), sizeof(original)) != sizeof(original)) return -1;
  if (Recv(reinterpret_cast<char*>(&block), sizeof(block)) != sizeof(block)) return -1;
  // An empty block cannot come from the compressor; it marks a broken frame.
  if (original < 0 || block < 1 || original > ClampToInt(_buffSize) ||
      block > compressBufferSize_) {
    QIR_LOG_E("compress buffer not initialized or overflow!");
    return -1;
  }
  if (Recv(compressBuffer_, static_cast<size_t>(block)) != block) return -1;
  int n = CQIRUtil::LZ4_Decompress(compressBuffer_, block, _data, original);
  if (n != original) {
    QIR_LOG_E("decompress failed...");
    return -1;
  }
  return original;
}
