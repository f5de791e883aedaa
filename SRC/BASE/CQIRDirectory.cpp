#include "CQIRDirectory.h"

#include "CQIRServiceLog.h"

#include <dirent.h>
#include <errno.h>
#include <fnmatch.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

bool SORT_FUNC(const std::string& _a, const std::string& _b) { return _a.compare(_b) < 0; }

bool SORT_FUNC2(const std::pair<std::string, unsigned long>& _a,
                const std::pair<std::string, unsigned long>& _b) {
  return _a.first.compare(_b.first) < 0;
}

CQIRDirectory::CQIRDirectory() : valid_(true) {
  path_[0] = '\0';
  filter_[0] = '\0';
}

bool CQIRDirectory::Set(const char* _path, const char* _filter) {
  valid_ = true;
  if (_path != nullptr) {
    if (strlen(_path) >= sizeof(path_)) {
      QIR_LOG_I("directory path too long(%zu bytes)...", strlen(_path));
      path_[0] = '\0';
      valid_ = false;
    } else {
      strcpy(path_, _path);
    }
  }
  if (_filter != nullptr) {
    if (strlen(_filter) >= sizeof(filter_)) {
      QIR_LOG_I("directory filter too long(%zu bytes)...", strlen(_filter));
      filter_[0] = '\0';
      valid_ = false;
    } else {
      strcpy(filter_, _filter);
    }
  }
  return valid_;
}

bool CQIRDirectory::Filtering(const char* _fileName) const {
  if (filter_[0] == '\0' || strcmp(filter_, "*") == 0) return true;
  return fnmatch(filter_, _fileName, FNM_NOESCAPE) == 0;
}

bool CQIRDirectory::Walk(e4entryKind _kind,
                         std::vector<std::pair<std::string, unsigned long>>& _out) {
  _out.clear();
  if (!valid_ || path_[0] == '\0') {
    QIR_LOG_I("directory not set...");
    return false;
  }
  std::string dirName = std::string(path_) + "/.";
  DIR* dir = opendir(dirName.c_str());
  if (dir == nullptr) {
    QIR_LOG_I("[%d-%s]opendir(%s) failed...", errno, strerror(errno), dirName.c_str());
    return false;
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    if (!Filtering(entry->d_name)) continue;
    std::string full = std::string(path_) + "/" + entry->d_name;
    struct stat st;
    if (stat(full.c_str(), &st) != 0) {
      // Removed between readdir and stat, or a link to nothing: not an entry
      // to list, and no reason to fail the scan (a failed scan stops the
      // log writer's clean-up and its suffix search).
      if (errno == ENOENT) continue;
      QIR_LOG_I("[%d-%s]stat(%s) failed...", errno, strerror(errno), full.c_str());
      closedir(dir);
      _out.clear();
      return false;
    }
    bool wanted = (_kind == QIR_DIR_REGULAR_FILE) ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode);
    if (wanted) _out.emplace_back(std::move(full), static_cast<unsigned long>(st.st_size));
  }
  closedir(dir);
  return true;
}

bool CQIRDirectory::Scan(std::vector<std::pair<std::string, unsigned long>>& _fileList,
                         bool _doSort) {
  bool ok = Walk(QIR_DIR_REGULAR_FILE, _fileList);
  if (ok && _doSort && _fileList.size() > 1) {
    std::sort(_fileList.begin(), _fileList.end(), SORT_FUNC2);
  }
  return ok;
}

bool CQIRDirectory::Scan(std::vector<std::string>& _fileList, bool _doSort) {
  std::vector<std::pair<std::string, unsigned long>> found;
  _fileList.clear();
  bool ok = Walk(QIR_DIR_REGULAR_FILE, found);
  for (auto& f : found) _fileList.push_back(std::move(f.first));
  if (ok && _doSort && _fileList.size() > 1) {
    std::sort(_fileList.begin(), _fileList.end(), SORT_FUNC);
  }
  return ok;
}

bool CQIRDirectory::DirScan(std::vector<std::string>& _dirList, int _doSort) {
  std::vector<std::pair<std::string, unsigned long>> found;
  _dirList.clear();
  bool ok = Walk(QIR_DIR_DIRECTORY, found);
  for (auto& f : found) _dirList.push_back(std::move(f.first));
  if (ok && _doSort == 1 && _dirList.size() > 1) {
    std::sort(_dirList.begin(), _dirList.end(), SORT_FUNC);
  }
  return ok;
}
