#ifndef QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
#define QIR_TEST_SAMPLE_H2SRVTESTUTIL_H

// Helpers shared by the server runtime's tests: temp directories, free
// loopback ports, a self-signed certificate from the openssl CLI, and
// running peers (curl, nghttp, h2load, python h2) with a time bound.

#include <arpa/inet.h>
#include <netinet/in.h>
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
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qir_h2srv_XXXXXX";
  char* made = mkdtemp(&tmpl[0]);
  return made != nullptr ? std::string(made) : std::string();
}

inline void RemoveTree(const std::string& _path) {
  std::error_code ec;
  if (!_path.empty()) std::filesystem::remove_all(_path, ec);
}

inline void WriteFile(const std::string& _path, const std::string& _text) {
  std::ofstream out(_path, std::ios::binary | std::ios::trunc);
  out << _text;
}

inline std::string ReadFile(const std::string& _path) {
  std::ifstream in(_path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A port the kernel just handed out on loopback; free again when returned.
inline int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof(a);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

// Runs a shell command under `timeout`, returns its exit status (-1 when it
// could not run) and its standard output (standard error too when asked).
inline int RunCmd(const std::string& _cmd, std::string* _out = nullptr, int _limitSec = 30,
               bool _withStderr = false) {
  std::string cmd = "timeout -k 2 " + std::to_string(_limitSec) + " " + _cmd +
                    (_withStderr ? " 2>&1" : " 2>/dev/null");
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (_out != nullptr) *_out = out;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline bool HaveCommand(const std::string& _name) {
  return RunCmd("sh -c 'command -v " + _name + "' >/dev/null", nullptr, 5) == 0;
}

inline bool CurlHasHttp2() {
  std::string out;
  return RunCmd("curl --version", &out, 5) == 0 && out.find("HTTP2") != std::string::npos;
}

inline bool PythonHasH2() {
  return RunCmd("/usr/bin/python3 -c 'import h2.connection'", nullptr, 10) == 0;
}

// Self-signed key and certificate for localhost in _dir.
inline bool MakeCert(const std::string& _dir, std::string* _key, std::string* _crt) {
  *_key = _dir + "/server.key";
  *_crt = _dir + "/server.crt";
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost"
                    " -keyout " + *_key + " -out " + *_crt;
  return RunCmd(cmd, nullptr, 30) == 0;
}

// A body of _size bytes with every byte value, so that any change shows.
inline std::string PatternBody(size_t _size) {
  std::string s(_size, '\0');
  for (size_t i = 0; i < _size; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return s;
}

}  // namespace h2srv_test

#endif  // QIR_TEST_SAMPLE_H2SRVTESTUTIL_H
