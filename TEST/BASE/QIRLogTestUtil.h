#ifndef QIR_TEST_BASE_QIRLOGTESTUTIL_H
#define QIR_TEST_BASE_QIRLOGTESTUTIL_H

// Helpers shared by the base and network tests.

#include <gtest/gtest.h>

#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qirtest {

// A fresh directory under /tmp, removed with its content at scope end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qir-test-XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(path_, ec); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& _name) const { return path_ + "/" + _name; }

 private:
  std::string path_;
};

// Sets (with null, unsets) a variable for one scope; _then runs after each change.
class ScopedEnv {
 public:
  ScopedEnv(const char* _name, const char* _value, void (*_then)() = nullptr)
      : name_(_name), had_(getenv(_name) != nullptr), then_(_then) {
    if (had_) old_ = getenv(_name);
    Set(_value);
  }
  ~ScopedEnv() { Set(had_ ? old_.c_str() : nullptr); }

 private:
  void Set(const char* _value) {
    if (_value != nullptr) setenv(name_, _value, 1); else unsetenv(name_);
    if (then_ != nullptr) then_();
  }
  const char* name_;
  bool had_;
  void (*then_)();
  std::string old_;
};

// Sets the time zone for one scope.
struct ScopedTZ : ScopedEnv {
  explicit ScopedTZ(const char* _tz) : ScopedEnv("TZ", _tz, tzset) {}
};

// Central European time with its summer rule, spelled out so that no zone
// database is needed.
#define QIR_TEST_TZ_CET "CET-1CEST,M3.5.0,M10.5.0/3"

// What _fn printed on standard output (the console log).
template <typename F>
std::string Captured(F _fn) {
  testing::internal::CaptureStdout();
  _fn();
  return testing::internal::GetCapturedStdout();
}

// Polls _done every 5 ms, for 10 s at most.
template <typename F>
bool WaitFor(F _done) {
  for (int i = 0; i < 2000; ++i, usleep(5000)) if (_done()) return true;
  return false;
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

// _dir/_name.key and _dir/_name.pem: a P-256 key and a certificate for
// CN=_name, valid two days, self-signed or signed by _dir/_ca.key and .pem.
inline bool MakeCert(const std::string& _dir, const std::string& _name, const std::string& _ca = "") {
  const std::string b = _dir + "/" + _name, c = _dir + "/" + _ca, quiet = " >/dev/null 2>&1 </dev/null";
  const std::string req = "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                          "-days 2 -subj /CN=" + _name + " -keyout " + b + ".key -out " + b;
  if (_ca.empty()) return system((req + ".pem -x509" + quiet).c_str()) == 0;
  return system((req + ".csr" + quiet).c_str()) == 0 &&
         system(("openssl x509 -req -in " + b + ".csr -CA " + c + ".pem -CAkey " + c +
                 ".key -CAcreateserial -days 2 -out " + b + ".pem" + quiet).c_str()) == 0;
}

inline bool Has(const std::string& _text, const std::string& _piece) {
  return _text.find(_piece) != std::string::npos;
}

inline bool Exists(const std::string& _path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(_path, ec));
}

inline std::string ReadAll(const std::string& _path) {
  std::ostringstream out;
  out << std::ifstream(_path, std::ios::binary).rdbuf();
  return out.str();
}

inline void WriteAll(const std::string& _path, const std::string& _text) {
  std::ofstream(_path, std::ios::binary | std::ios::trunc) << _text;
}

inline std::vector<std::string> Lines(const std::string& _text) {
  std::vector<std::string> lines;
  std::istringstream in(_text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool SetMtime(const std::string& _path, time_t _when) {
  struct timeval tv[2] = {{_when, 0}, {_when, 0}};
  return utimes(_path.c_str(), tv) == 0;
}

// Local noon of a calendar day: the same date in any time zone.
inline time_t LocalNoon(int _year, int _month, int _day) {
  struct tm t = {};
  t.tm_year = _year - 1900;
  t.tm_mon = _month - 1;
  t.tm_mday = _day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return mktime(&t);
}

// A standard-layout log line "[hh:mm:ss:uuuuuu][Level  ]text" with _level
// (padded to 7): true, and *_text is what follows the prefix.
inline bool StandardLine(const std::string& _line, const char* _level, std::string* _text) {
  const std::string d = "[0-9][0-9]", pattern = "\\[" + d + ":" + d + ":" + d + ":" + d + d + d +
                                                "\\]\\[" + _level + "\\]*";
  if (fnmatch(pattern.c_str(), _line.c_str(), 0) != 0) return false;
  *_text = _line.substr(19 + strlen(_level));
  return true;
}

}  // namespace qirtest

#endif  // QIR_TEST_BASE_QIRLOGTESTUTIL_H
