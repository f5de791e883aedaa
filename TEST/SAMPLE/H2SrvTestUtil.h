#ifndef QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
#define QIR_TEST_SAMPLE_H2SRVTESTUTIL_H

// Helpers of the server runtime's tests: temp directories, free loopback
// ports, and peers (curl, nghttp, h2load, python h2) run with a time bound.

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BASE/QIRLogTestUtil.h"

namespace h2srv_test {

using qirtest::HaveCommand;
using qirtest::ReadAll;
using qirtest::RunCmd;
using qirtest::TempDir;
using qirtest::WriteAll;

const char* const kSampleBinary = QIR_BINARY_DIR "/h2srv-sample";
const char* const kClientBinary = QIR_BINARY_DIR "/h2sync-client";

inline size_t Count(const std::string& _text, const std::string& _what) {
  size_t n = 0;
  for (size_t p = _text.find(_what); p != std::string::npos; p = _text.find(_what, p + 1)) ++n;
  return n;
}

// Connects to 127.0.0.1:_port (_port 0: binds instead and reports the port
// the kernel chose). Returns the socket, -1 on failure.
inline int Loopback(int* _port, bool _connect = true) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(*_port));
  socklen_t len = sizeof(a);
  sockaddr* sa = reinterpret_cast<sockaddr*>(&a);
  if (_connect ? connect(fd, sa, len) == 0
               : bind(fd, sa, len) == 0 && getsockname(fd, sa, &len) == 0) {
    *_port = ntohs(a.sin_port);
    return fd;
  }
  close(fd);
  return -1;
}

// All a socket receives until the peer closes (10 s at most); closes it.
inline std::string ReadToClose(int _fd) {
  timeval limit{10, 0};
  setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  std::string all;
  char buf[4096];
  for (ssize_t n; (n = recv(_fd, buf, sizeof(buf), 0)) > 0;) all.append(buf, static_cast<size_t>(n));
  close(_fd);
  return all;
}

inline int FreePort() {
  int port = 0;
  int fd = Loopback(&port, false);
  if (fd >= 0) close(fd);
  return fd >= 0 ? port : -1;
}

// A self-signed key and certificate for CN=localhost in _dir.
inline bool MakeCert(const std::string& _dir, std::string* _key, std::string* _crt) {
  *_key = _dir + "/localhost.key";
  *_crt = _dir + "/localhost.pem";
  return qirtest::MakeCert(_dir, "localhost");
}

inline bool CurlHasHttp2() {
  std::string out;
  return RunCmd("curl --version", &out, 5) == 0 && out.find("HTTP2") != std::string::npos;
}

inline bool PythonHasH2() { return RunCmd("/usr/bin/python3 -c 'import h2.connection'") == 0; }

// Runs a python h2 script (text) with the given arguments; its output.
inline std::string Python(const std::string& _dir, const std::string& _script,
                          const std::string& _args) {
  WriteAll(_dir + "/peer.py", _script);
  std::string out;
  RunCmd("/usr/bin/python3 " + _dir + "/peer.py " + _args, &out, 30, true);
  return out;
}

inline bool PortOpen(int _port) {
  int fd = Loopback(&_port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// A program run by fork and exec, ended by its pid: standard output and
// error go to one file, standard input comes from a pipe that Enter() feeds
// one line and closes.
class Proc {
 public:
  Proc() = default;
  Proc(const std::vector<std::string>& _argv, const std::string& _log) { Run(_argv, _log); }
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;
  ~Proc() { Stop(SIGKILL); }

  bool Run(const std::vector<std::string>& _argv, const std::string& _log) {
    log_ = _log;
    int in[2];
    if (pipe(in) != 0) return false;
    if ((pid_ = fork()) == 0) {
      dup2(in[0], 0);
      close(in[0]);
      close(in[1]);
      int fd = open(_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> args;
      for (const std::string& a : _argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    in_ = in[1];
    return pid_ > 0;
  }

  void Enter() {
    if (in_ < 0) return;
    if (write(in_, "\n", 1) != 1) {}
    close(in_);
    in_ = -1;
  }

  // The exit status (128 + signal when killed) once the program has ended
  // within _ms, else -1.
  int Wait(int _ms) {
    for (int waited = 0; pid_ > 0; waited += 10) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (waited >= _ms) {
        return -1;
      } else {
        usleep(10000);
      }
    }
    return status_;
  }

  // _sig, then SIGKILL when the program has not ended after a deadline.
  int Stop(int _sig = SIGTERM) {
    Enter();
    if (pid_ <= 0) return status_;  // never kill(-1)
    kill(pid_, _sig);
    if (Wait(15000) < 0) kill(pid_, SIGKILL);
    return Wait(5000);
  }

  // Polls _ready every 10 ms for up to _ms while the program runs.
  template <class F>
  bool Until(F _ready, int _ms = 15000) {
    for (int waited = 0; waited < _ms && Wait(0) < 0; waited += 10) {
      if (_ready()) return true;
      usleep(10000);
    }
    return false;
  }

  bool Listening(const std::vector<int>& _ports) {
    return Until([&] {
      for (int p : _ports) {
        if (!PortOpen(p)) return false;
      }
      return true;
    });
  }

  // Bounded wait until _text shows _times times in the output.
  bool Shows(const std::string& _text, size_t _times = 1, int _ms = 15000) {
    return Until([&] { return Count(Output(), _text) >= _times; }, _ms);
  }

  pid_t Pid() const { return pid_; }
  std::string Output() const { return ReadAll(log_); }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int status_ = -1;
  std::string log_;
};

// A client program run to its end with a minute to finish (its prompt, if
// any, answered at once): exit status and output.
inline int RunToEnd(const std::string& _bin, std::vector<std::string> _args, const std::string& _dir,
                    std::string* _out) {
  _args.insert(_args.begin(), _bin);
  Proc c(_args, _dir + "/client.out");
  c.Enter();
  int rc = c.Wait(60000);
  *_out = c.Output();
  return rc < 0 ? c.Stop(SIGKILL) : rc;
}

// h2srv-sample (or another server program) on a written configuration; its
// output in _dir/server.out.
class SampleServer : public Proc {
 public:
  // Writes _ini (none when empty) and starts the program on it; true once
  // every port of _ports listens by the program's own line (a probe would
  // show as a connection), false when it ended first.
  bool Start(const std::string& _dir, const std::string& _ini, const std::vector<int>& _ports,
             const std::string& _bin = kSampleBinary) {
    std::string cfg = _dir + (_ini.empty() ? "/none.ini" : "/server.ini");
    if (!_ini.empty()) WriteAll(cfg, _ini);
    if (!Run({_bin, cfg}, _dir + "/server.out")) return false;
    return Until([&] {
      std::string out = Output();
      bool all = !_ports.empty();
      for (int p : _ports) {
        char mark[64];
        snprintf(mark, sizeof(mark), "Start listening...(port=%5d,", p);
        all = all && out.find(mark) != std::string::npos;
      }
      return all;
    });
  }
};

inline std::string Ini(const std::string& _ssl, int _pool, const std::string& _listener,
                       const std::string& _options = "") {
  return "[SSL/TLS]\n" + _ssl + "\n[THREAD]\nPOOL_SIZE = " + std::to_string(_pool) +
         "\n[LISTENER]\n" + _listener + "\n[HTTP2_OPTIONS]\n" + _options + "\n";
}

inline std::string Ports(int _http, int _https) {
  std::string s;
  if (_http > 0) s += "HTTP_PORT = " + std::to_string(_http) + "\nHTTP_IPNET = v4\n";
  if (_https > 0) s += "HTTPS_PORT = " + std::to_string(_https) + "\nHTTPS_IPNET = v4\n";
  return s;
}

const std::string kPlain = "HTTP1X_UPGRADE = false\nUSE_SSL = false\n";

inline std::string TlsLines(const std::string& _key, const std::string& _crt, const std::string& _ca = "n/a") {
  return "USE_SSL = true\nSSL_KEY_FILE = " + _key + "\nSSL_CRT_FILE = " + _crt + "\nSSL_CA_FILE = " + _ca + "\n";
}

}  // namespace h2srv_test

#endif  // QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
