#include "CQIRHTTP2SRVMetricsListener.h"

#include "CQIRServiceLog.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kStartWaitMs = 5000;
// A scrape request is one short line and a few headers; more is not one.
constexpr size_t kMaxRequest = 8192;

const char kNotFound[] =
    "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
    "Connection: close\r\n\r\nnot found\n";

// "GET /metrics" with an optional query, HTTP/1.x.
bool IsScrape(const std::string& _head) {
  static const char kGet[] = "GET /metrics";
  if (_head.compare(0, sizeof(kGet) - 1, kGet) != 0) return false;
  const char next = _head.size() > sizeof(kGet) - 1 ? _head[sizeof(kGet) - 1] : '\0';
  if (next != ' ' && next != '?') return false;
  size_t eol = _head.find("\r\n");
  size_t sp = _head.rfind(' ', eol);
  return sp != std::string::npos && _head.compare(sp + 1, 7, "HTTP/1.") == 0;
}

}  // namespace

CQIRHTTP2SRVMetricsListener::CQIRHTTP2SRVMetricsListener()
    : listenFd_(-1), wakeFd_(-1), port_(0), doExit_(false) {}

CQIRHTTP2SRVMetricsListener::~CQIRHTTP2SRVMetricsListener() { Finalize(); }

bool CQIRHTTP2SRVMetricsListener::Initialize(const std::string& _host, int _family, int _port,
                                             std::function<void(std::string&)> _render) {
  render_ = std::move(_render);
  const char* host = !_host.empty() ? _host.c_str() : _family == AF_INET6 ? "::1" : "127.0.0.1";
  char port[16];
  snprintf(port, sizeof(port), "%d", _port);
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_family = _family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rv = getaddrinfo(host, port, &hints, &list);
  if (rv != 0) {
    QIR_LOG_E("metrics listen address(%s) port(%d) invalid...%s", host, _port, gai_strerror(rv));
    return false;
  }
  int fd = socket(list->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int err = errno;
  if (fd >= 0) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, list->ai_addr, list->ai_addrlen) != 0 || listen(fd, 16) != 0) {
      err = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) {
    QIR_LOG_E("[%d-%s]listen() failed...(port=%d)", err, strerror(err), _port);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof(bound);
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  listenFd_ = fd;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    QIR_LOG_E("[%d-%s]eventfd() system call error.", errno, strerror(errno));
    Finalize();
    return false;
  }
  QIR_LOG_I("Start metrics listening...(%s port=%5d,fd=%d)", host, port_, fd);
  return true;
}

bool CQIRHTTP2SRVMetricsListener::Activate() {
  if (listenFd_ < 0) return false;
  if (IsActive()) return true;
  doExit_.store(false);
  if (!Execute()) return false;
  for (int waited = 0; GetStatus() == QIR_THREAD_INIT && waited < kStartWaitMs; ++waited) {
    usleep(1000);
  }
  return IsActive();
}

void CQIRHTTP2SRVMetricsListener::Finalize() {
  if (IsActive()) {
    doExit_.store(true);
    uint64_t one = 1;
    ssize_t n = write(wakeFd_, &one, sizeof(one));
    (void)n;  // the counter is far from overflowing
    while (IsActive()) usleep(1000);
  }
  // The thread has ended (or never ran): its sockets are this thread's now.
  for (Client& c : clients_) Close(c);
  for (int* fd : {&listenFd_, &wakeFd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void CQIRHTTP2SRVMetricsListener::Run() {
  while (!doExit_.load()) {
    pollfd fds[kMaxClients + 2];
    Client* owners[kMaxClients + 2];
    nfds_t n = 0;
    fds[n] = {wakeFd_, POLLIN, 0};
    owners[n++] = nullptr;
    fds[n] = {listenFd_, POLLIN, 0};
    owners[n++] = nullptr;
    int timeout = -1;
    const Clock::time_point now = Clock::now();
    for (Client& c : clients_) {
      if (c.fd_ < 0) continue;
      if (c.deadline_ <= now) {
        Close(c);  // slow, silent or stuck: its time is up
        continue;
      }
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline_ - now).count()) + 1;
      if (timeout < 0 || left < timeout) timeout = left;
      fds[n] = {c.fd_, static_cast<short>(c.out_.empty() ? POLLIN : POLLOUT), 0};
      owners[n++] = &c;
    }
    int ready = poll(fds, n, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      QIR_LOG_E("[%d-%s]poll() failed!...metrics listener ends", errno, strerror(errno));
      break;
    }
    for (nfds_t i = 2; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      Client& c = *owners[i];
      if (c.out_.empty()) {
        Read(c);
      } else {
        Write(c);
      }
    }
    if (fds[1].revents != 0) AcceptAll();
  }
}

void CQIRHTTP2SRVMetricsListener::AcceptAll() {
  for (int i = 0; i < 64; ++i) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a failure the next pass sees again
    // Full: the oldest gives way. A real scrape is done in milliseconds, so
    // idle sockets cannot keep one out for their whole time-out.
    Client* slot = &clients_[0];
    for (Client& c : clients_) {
      if (c.fd_ < 0) {
        slot = &c;
        break;
      }
      if (c.deadline_ < slot->deadline_) slot = &c;
    }
    Close(*slot);
    slot->fd_ = fd;
    slot->deadline_ = Clock::now() + std::chrono::milliseconds(kClientTimeoutMs);
  }
}

void CQIRHTTP2SRVMetricsListener::Read(Client& _c) {
  char buf[2048];
  for (;;) {
    ssize_t n = recv(_c.fd_, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Close(_c);
      return;
    }
    _c.in_.append(buf, static_cast<size_t>(n));
    if (_c.in_.find("\r\n\r\n") != std::string::npos) {
      Answer(_c);
      return;
    }
    if (_c.in_.size() > kMaxRequest) {
      Close(_c);
      return;
    }
  }
}

void CQIRHTTP2SRVMetricsListener::Answer(Client& _c) {
  if (!IsScrape(_c.in_)) {
    _c.out_ = kNotFound;
  } else {
    std::string body;
    body.reserve(8192);
    render_(body);
    char head[256];
    snprintf(head, sizeof(head),
             "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
             "Content-Length: %zu\r\nConnection: close\r\n\r\n",
             body.size());
    _c.out_ = head;
    _c.out_ += body;
  }
  _c.sent_ = 0;
  Write(_c);
}

void CQIRHTTP2SRVMetricsListener::Write(Client& _c) {
  while (_c.sent_ < _c.out_.size()) {
    ssize_t n = send(_c.fd_, _c.out_.data() + _c.sent_, _c.out_.size() - _c.sent_, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // on POLLOUT
    if (n <= 0) break;
    _c.sent_ += static_cast<size_t>(n);
  }
  Close(_c);
}

void CQIRHTTP2SRVMetricsListener::Close(Client& _c) {
  if (_c.fd_ >= 0) {
    // What is left of the request must not turn the close into a reset
    // that loses the answer on its way.
    shutdown(_c.fd_, SHUT_WR);
    char sink[512];
    for (int i = 0; i < 16 && recv(_c.fd_, sink, sizeof(sink), MSG_DONTWAIT) > 0; ++i) {
    }
    close(_c.fd_);
  }
  _c.fd_ = -1;
  _c.in_.clear();
  _c.out_.clear();
  _c.sent_ = 0;
}
