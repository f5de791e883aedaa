#ifndef QIR_BASE_CQIRDIRECTORY_H
#define QIR_BASE_CQIRDIRECTORY_H

#include <string>
#include <utility>
#include <vector>

// Lists the regular files or the subdirectories of one directory whose names
// match a shell wildcard pattern, optionally sorted by full name. Keeps no
// state between calls besides the directory and the pattern; one thread at a
// time per object.
class CQIRDirectory {
 public:
  CQIRDirectory();

  // Each text is copied when not null. false (with a log line) when a text
  // does not fit its field: the object then scans nothing until set again.
  bool Set(const char* _path, const char* _filter);

  // true when the pattern is empty, is "*", or matches _fileName (fnmatch,
  // a backslash is an ordinary character).
  bool Filtering(const char* _fileName) const;

  // Full names ("path/name") of the matching regular files, with their sizes
  // in bytes in the second form. false when the directory cannot be read or
  // an entry's status cannot (an entry that vanished meanwhile is skipped).
  bool Scan(std::vector<std::string>& _fileList, bool _doSort);
  bool Scan(std::vector<std::pair<std::string, unsigned long>>& _fileList, bool _doSort);
  // Full names of the matching directories, "." and ".." included when the
  // pattern accepts them; sorted only when _doSort is 1.
  bool DirScan(std::vector<std::string>& _dirList, int _doSort);

 private:
  enum e4entryKind { QIR_DIR_REGULAR_FILE, QIR_DIR_DIRECTORY };
  bool Walk(e4entryKind _kind, std::vector<std::pair<std::string, unsigned long>>& _out);

  char path_[4096];
  char filter_[4096];
  bool valid_;  // false after a Set whose texts did not fit
};

// Ascending byte-wise order of full names.
bool SORT_FUNC(const std::string& _a, const std::string& _b);
bool SORT_FUNC2(const std::pair<std::string, unsigned long>& _a,
                const std::pair<std::string, unsigned long>& _b);

#endif  // QIR_BASE_CQIRDIRECTORY_H
