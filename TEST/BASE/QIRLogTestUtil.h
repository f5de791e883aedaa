#ifndef QIR_TEST_BASE_QIRLOGTESTUTIL_H
#define QIR_TEST_BASE_QIRLOGTESTUTIL_H

// Helpers shared by the log, file writer, directory and VNF tests.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
    const char* made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() { RemoveTree(path_); }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& _name) const { return path_ + "/" + _name; }

  static void RemoveTree(const std::string& _path) {
    DIR* dir = opendir(_path.c_str());
    if (dir != nullptr) {
      while (struct dirent* e = readdir(dir)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        std::string full = _path + "/" + e->d_name;
        struct stat st;
        if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          RemoveTree(full);
        } else {
          unlink(full.c_str());
        }
      }
      closedir(dir);
    }
    rmdir(_path.c_str());
  }

 private:
  std::string path_;
};

inline bool Exists(const std::string& _path) {
  struct stat st;
  return lstat(_path.c_str(), &st) == 0;
}

inline std::string ReadAll(const std::string& _path) {
  std::ifstream in(_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteAll(const std::string& _path, const std::string& _text) {
  std::ofstream out(_path, std::ios::binary | std::ios::trunc);
  out << _text;
}

inline std::vector<std::string> Lines(const std::string& _text) {
  std::vector<std::string> lines;
  std::istringstream in(_text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Sorted base names in a directory, "." and ".." left out.
inline std::vector<std::string> ListDir(const std::string& _path) {
  std::vector<std::string> names;
  DIR* dir = opendir(_path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

inline void SetMtime(const std::string& _path, time_t _when) {
  struct timeval tv[2] = {{_when, 0}, {_when, 0}};
  ASSERT_EQ(0, utimes(_path.c_str(), tv)) << _path;
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

class ScopedEnv {
 public:
  ScopedEnv(const char* _name, const char* _value) : name_(_name) {
    const char* old = getenv(_name);
    if (old != nullptr) {
      had_ = true;
      old_ = old;
    }
    if (_value != nullptr) setenv(_name, _value, 1); else unsetenv(_name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// A standard-layout log line "[hh:mm:ss:uuuuuu][Level  ]text": true when
// _line has that prefix with _level (padded to 7), and *_text is the rest.
inline bool StandardLine(const std::string& _line, const char* _level, std::string* _text) {
  const std::string pattern =
      "\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[0-9][0-9][0-9][0-9][0-9][0-9]\\]\\[" +
      std::string(_level) + "\\]*";
  if (fnmatch(pattern.c_str(), _line.c_str(), 0) != 0) return false;
  *_text = _line.substr(19 + strlen(_level));
  return true;
}

// Waits, at most about five seconds, for _done to hold. No timing is
// asserted: a false result only reports that the state never came.
template <typename F>
bool Eventually(F _done) {
  for (int i = 0; i < 5000; ++i) {
    if (_done()) return true;
    usleep(1000);
  }
  return _done();
}

}  // namespace qirtest

#endif  // QIR_TEST_BASE_QIRLOGTESTUTIL_H
