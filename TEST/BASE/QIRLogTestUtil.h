#ifndef QIR_TEST_BASE_QIRLOGTESTUTIL_H
#define QIR_TEST_BASE_QIRLOGTESTUTIL_H

// Helpers shared by the log, file writer, directory and VNF tests.

#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qirtest {

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with its content at scope end.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qir-test-XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& _name) const { return path_ + "/" + _name; }

 private:
  std::string path_;
};

inline bool Exists(const std::string& _path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(_path, ec));
}

inline std::string ReadAll(const std::string& _path) {
  std::ifstream in(_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
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
  struct tm t;
  memset(&t, 0, sizeof(t));
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
  const std::string pattern = "\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[0-9][0-9][0-9][0-9][0-9][0-9]\\]\\[" +
                              std::string(_level) + "\\]*";
  if (fnmatch(pattern.c_str(), _line.c_str(), 0) != 0) return false;
  *_text = _line.substr(19 + strlen(_level));
  return true;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* _name, const char* _value) : name_(_name) {
    const char* old = getenv(_name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (_value != nullptr) setenv(_name, _value, 1); else unsetenv(_name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

}  // namespace qirtest

#endif  // QIR_TEST_BASE_QIRLOGTESTUTIL_H
