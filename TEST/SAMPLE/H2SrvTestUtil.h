#ifndef QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
#define QIR_TEST_SAMPLE_H2SRVTESTUTIL_H

// Helpers of the server runtime's tests: temp directories, free loopback
// ports, and peers (curl, nghttp, h2load, python h2) run with a time bound.

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace h2srv_test {

inline std::string MakeTempDir() {
  char tmpl[] = "/tmp/qir_h2srv_XXXXXX";
  return mkdtemp(tmpl) != nullptr ? std::string(tmpl) : std::string();
}

inline void RemoveTree(const std::string& _path) {
  std::error_code ec;
  if (!_path.empty()) std::filesystem::remove_all(_path, ec);
}

inline void WriteFile(const std::string& _path, const std::string& _text) {
  std::ofstream(_path, std::ios::binary | std::ios::trunc) << _text;
}

inline std::string ReadFile(const std::string& _path) {
  std::stringstream ss;
  ss << std::ifstream(_path, std::ios::binary).rdbuf();
  return ss.str();
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

inline int FreePort() {
  int port = 0;
  int fd = Loopback(&port, false);
  if (fd >= 0) close(fd);
  return fd >= 0 ? port : -1;
}

// Runs a shell command under `timeout`; its exit status (-1 when it did not
// end normally) and standard output (with standard error when asked).
inline int RunCmd(const std::string& _cmd, std::string* _out = nullptr, int _limitSec = 30,
                  bool _withStderr = false) {
  std::string cmd = "timeout -k 2 " + std::to_string(_limitSec) + " " + _cmd +
                    (_withStderr ? " 2>&1" : " 2>/dev/null");
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
  int st = pclose(p);
  if (_out != nullptr) *_out = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline bool HaveCommand(const std::string& _name) {
  return RunCmd("sh -c 'command -v " + _name + "' >/dev/null", nullptr, 5) == 0;
}

// A self-signed key and certificate for CN=localhost in _dir.
inline bool MakeCert(const std::string& _dir, std::string* _key, std::string* _crt) {
  *_key = _dir + "/server.key";
  *_crt = _dir + "/server.crt";
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
                    " -keyout " + *_key + " -out " + *_crt + " 2>/dev/null";
  return RunCmd(cmd, nullptr, 30) == 0;
}

inline bool CurlHasHttp2() {
  std::string out;
  return RunCmd("curl --version", &out, 5) == 0 && out.find("HTTP2") != std::string::npos;
}

inline bool PythonHasH2() { return RunCmd("/usr/bin/python3 -c 'import h2.connection'") == 0; }

// Runs a python h2 script (text) with the given arguments; its output.
inline std::string Python(const std::string& _dir, const std::string& _script,
                          const std::string& _args) {
  WriteFile(_dir + "/peer.py", _script);
  std::string out;
  RunCmd("/usr/bin/python3 " + _dir + "/peer.py " + _args, &out, 30, true);
  return out;
}

}  // namespace h2srv_test

#endif  // QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
