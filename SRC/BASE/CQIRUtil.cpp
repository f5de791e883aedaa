#include "CQIRUtil.h"

#include "CQIRServiceLog.h"

#include <lz4.h>

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

// Splits at one separator, dropping every double quote and cutting fields at
// _fieldMax characters; _store(field) returns false to stop the split.
// Returns the fields stored, or -1 when _store refused one.
template <typename Store>
int SplitFields(const char* _buffer, char _spChar, size_t _fieldMax, Store _store) {
  std::string field;
  int count = 0;
  for (const char* p = _buffer; *p != '\0'; ++p) {
    if (*p == '"') continue;
    if (*p == _spChar) {
      if (!_store(count, field)) return -1;
      ++count;
      field.clear();
    } else if (field.size() < _fieldMax) {
      field.push_back(*p);
    }
  }
  if (!field.empty()) {
    if (!_store(count, field)) return -1;
    ++count;
  }
  return count;
}

}  // namespace

size_t CQIRUtil::GetFileSize(const char* _fileNm) {
  struct stat st;
  if (stat(_fileNm, &st) != 0) {
    QIR_LOG_I("[%d-%s]stat(%s) failed...", errno, strerror(errno), _fileNm);
    return static_cast<size_t>(-1);
  }
  return static_cast<size_t>(st.st_size);
}

bool CQIRUtil::LoadFile(const char* _fileNm, char* _memory, long _fileSize) {
  // A negative size would become a huge fread count.
  if (_fileSize < 0) {
    QIR_LOG_I("[%d-%s]fread() failed...", EINVAL, strerror(EINVAL));
    return false;
  }
  FILE* fp = fopen(_fileNm, "rb");
  if (fp == nullptr) {
    QIR_LOG_I("[%d-%s]fopen(%s) failed...", errno, strerror(errno), _fileNm);
    return false;
  }
  size_t want = static_cast<size_t>(_fileSize);
  errno = 0;
  size_t got = fread(_memory, 1, want, fp);
  int err = errno;
  fclose(fp);
  if (got != want) {
    QIR_LOG_I("[%d-%s]fread() failed...", err, strerror(err));
    return false;
  }
  return true;
}

char* CQIRUtil::LoadFile(const char* _fileNm) {
  size_t size = GetFileSize(_fileNm);
  if (size == 0 || size == static_cast<size_t>(-1)) return nullptr;
  char* memory = static_cast<char*>(malloc(size));
  if (memory == nullptr) return nullptr;
  if (!LoadFile(_fileNm, memory, static_cast<long>(size))) {
    free(memory);
    return nullptr;
  }
  return memory;
}

int CQIRUtil::Hash(const char* s, int _len, int _size) {
  // Modulo by zero or a negative size has no meaningful bucket.
  if (_size <= 0) return -1;
  uint32_t h = 0;
  for (int i = 0; i < _len; ++i) {
    h = h * 101u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(s[i])));
  }
  return static_cast<int>(h % static_cast<uint32_t>(_size));
}

int CQIRUtil::Hash(const char* s, int _size) {
  return Hash(s, static_cast<int>(strlen(s)), _size);
}

int CQIRUtil::ParseCSV(const char* _buffer, char _spChar, char** _result) {
  return ParseCSV(_buffer, _spChar, _result, INT_MAX);
}

int CQIRUtil::ParseCSV(const char* _buffer, char _spChar, char** _result, int _maxFields) {
  return SplitFields(_buffer, _spChar, CSV_FIELD_MAX,
                     [&](int _index, const std::string& _field) {
                       if (_index >= _maxFields) return false;
                       memcpy(_result[_index], _field.c_str(), _field.size() + 1);
                       return true;
                     });
}

int CQIRUtil::ParseCSV(const char* _buffer, char _spChar, std::vector<std::string>* _result) {
  _result->clear();
  return SplitFields(_buffer, _spChar, CSV_VECTOR_FIELD_MAX,
                     [&](int, const std::string& _field) {
                       _result->push_back(_field);
                       return true;
                     });
}

int CQIRUtil::ParseCSV(const std::string& _source, const char* _separators,
                       std::vector<std::string>& _dest) {
  size_t start = _source.find_first_not_of(_separators);
  while (start != std::string::npos) {
    size_t end = _source.find_first_of(_separators, start);
    _dest.push_back(_source.substr(start, end == std::string::npos ? end : end - start));
    start = (end == std::string::npos) ? end : _source.find_first_not_of(_separators, end);
  }
  return static_cast<int>(_dest.size());
}

int CQIRUtil::LZ4_GetCompressBoundSize(int _src_size) { return LZ4_compressBound(_src_size); }

int CQIRUtil::LZ4_Compress(const char* _src, int _src_size, char** _dest) {
  int bound = LZ4_compressBound(_src_size);
  // Bound 0 means a size liblz4 cannot take; compressing would report 0,
  // which must not pass for an empty success.
  if (bound <= 0) {
    QIR_LOG_E("LZ4_compress_default() failed!..(%d)", bound);
    return -2;
  }
  char* buffer = static_cast<char*>(malloc(static_cast<size_t>(bound)));
  if (buffer == nullptr) {
    QIR_LOG_E("memory allocate(%d bytes) failed!...", bound);
    return -1;
  }
  int n = LZ4_compress_default(_src, buffer, _src_size, bound);
  if (n <= 0) {
    free(buffer);
    QIR_LOG_E("LZ4_compress_default() failed!..(%d)", n);
    return -2;
  }
  *_dest = buffer;
  return n;
}

int CQIRUtil::LZ4_Compress(const char* _src, int _src_size, char* _dest, int _destSize) {
  int bound = LZ4_compressBound(_src_size);
  if (_destSize < bound) {
    QIR_LOG_E("dest buffer size overflow!...(%d,%d)", bound, _destSize);
    return -1;
  }
  // liblz4 signals failure with 0, never with a negative count.
  int n = bound > 0 ? LZ4_compress_default(_src, _dest, _src_size, bound) : 0;
  if (n <= 0) {
    QIR_LOG_E("LZ4_compress_default() failed!..(%d)", n);
    return -2;
  }
  return n;
}

int CQIRUtil::LZ4_Decompress(const char* _src, int _src_size, char** _dest, int _dest_size) {
  // malloc would read a negative size as a huge one; the spare byte keeps an
  // empty result from looking like a failed allocation.
  char* buffer = _dest_size >= 0 ? static_cast<char*>(malloc(static_cast<size_t>(_dest_size) + 1))
                                 : nullptr;
  if (buffer == nullptr) {
    QIR_LOG_E("memory allocate(%d bytes) failed!...", _dest_size);
    return -1;
  }
  int n = LZ4_decompress_safe(_src, buffer, _src_size, _dest_size);
  if (n < 0) {
    free(buffer);
    QIR_LOG_E("LZ4_decompress_safe () failed!..(%d)", n);
    return -2;
  }
  *_dest = buffer;
  return n;
}

int CQIRUtil::LZ4_Decompress(const char* _src, int _src_size, char* _dest, int _dest_size) {
  int n = LZ4_decompress_safe(_src, _dest, _src_size, _dest_size);
  if (n < 0) {
    QIR_LOG_E("LZ4_decompress_safe () failed!..(%d)", n);
    return -2;
  }
  return n;
}

void CQIRUtil::JSONPrettyFormatting(const char* _json, std::string& _result) {
  int level = 0;
  int ends = -1;  // line break owed before the next kept character
  bool inQuotes = false;
  bool inEscape = false;
  for (const char* c = _json; *c != '\0'; ++c) {
    bool keep = true;
    const char* suffix = "";
    int nl = -1;
    if (ends >= 0) {
      nl = ends;
      ends = -1;
    }
    if (inEscape) {
      inEscape = false;
    } else if (*c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes) {
      switch (*c) {
        case '{': case '[': ends = ++level; break;
        case ',': ends = level; break;
        case '}': case ']': nl = --level; ends = -1; break;
        case ':': suffix = " "; break;
        case ' ': case '\t': case '\n': case '\r':
          // Dropped; its pending line break waits for the next character.
          keep = false;
          ends = nl;
          nl = -1;
          break;
        default: break;
      }
    } else if (*c == '\\') {
      inEscape = true;
    }
    if (nl >= 0) {
      _result += '\n';
      _result.append(static_cast<size_t>(nl), '\t');
    }
    if (keep) {
      _result += *c;
      _result += suffix;
    }
  }
}
