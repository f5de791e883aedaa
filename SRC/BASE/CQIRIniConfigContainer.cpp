#include "CQIRIniConfigContainer.h"

#include "CQIRConv.h"
#include "CQIRVNFSupport.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

const char* const kErrorTexts[] = {"No error.", "File Access failed!", "Key Duplicate!",
                                   "Syntax error!"};

inline bool IsBlank(char _c) { return _c == ' ' || _c == '\t'; }

// Only blanks and tabs count: a carriage return stays part of the text.
char* TrimBlanks(char* _text) { return CQIRConv::LTrim(CQIRConv::RTrim(_text)); }

}  // namespace

CQIRIniConfigContainer::CQIRIniConfigContainer()
    : vnf_(nullptr), error_(QIR_INI_NO_ERROR), errorlc_(0) {}

CQIRIniConfigContainer::~CQIRIniConfigContainer() { Finalize(); }

int CQIRIniConfigContainer::Initialize(const char* _fileName, CQIRVNFSupport* _vnf) {
  error_ = QIR_INI_NO_ERROR;
  map_.clear();
  vnf_ = _vnf;
  return Read(_fileName);
}

void CQIRIniConfigContainer::Finalize() {
  error_ = QIR_INI_NO_ERROR;
  map_.clear();
}

int CQIRIniConfigContainer::Read(const char* _fileName) {
  FILE* fp = (_fileName != nullptr) ? fopen(_fileName, "r") : nullptr;
  if (fp == nullptr) {
    error_ = QIR_INI_FILE_ACCESS;
    return 0;
  }
  char line[QIR_INI_LINE_SIZE];
  char section[QIR_INI_NAME_SIZE] = {0};
  while (fgets(line, sizeof(line), fp) != nullptr) {
    ++errorlc_;
    e4lineResult r = ParseLine(line, section);
    if (r != QIR_INI_LINE_OK) {
      fclose(fp);
      error_ = (r == QIR_INI_LINE_DUPLICATE) ? QIR_INI_KEY_DUPLICATE : QIR_INI_SYNTAX;
      return 0;
    }
  }
  fclose(fp);
  return 1;
}

// Names that do not fit their 128/256-byte buffers are refused as syntax
// errors rather than cut, so two long keys can never collide silently.
CQIRIniConfigContainer::e4lineResult CQIRIniConfigContainer::ParseLine(char* _line,
                                                                       char* _section) {
  if (_line[0] == '#') return QIR_INI_LINE_OK;
  size_t len = strlen(_line);
  if (len > 0 && _line[len - 1] == '\n') _line[--len] = '\0';
  char* p = _line;
  while (IsBlank(*p)) ++p;
  if (*p == '\0') return QIR_INI_LINE_OK;

  if (*p == '[') {
    ++p;
    char* end = strchr(p, ']');
    size_t nameLen = (end != nullptr) ? (size_t)(end - p) : strlen(p);
    if (nameLen >= QIR_INI_NAME_SIZE) return QIR_INI_LINE_SYNTAX;
    memcpy(_section, p, nameLen);
    _section[nameLen] = '\0';
    return QIR_INI_LINE_OK;
  }

  char* eq = strchr(p, '=');
  if (eq == nullptr) return QIR_INI_LINE_SYNTAX;
  size_t keyLen = (size_t)(eq - p);
  if (keyLen >= QIR_INI_NAME_SIZE) {
    // Trailing blanks before "=" may still bring it under the limit.
    while (keyLen > 0 && IsBlank(p[keyLen - 1])) --keyLen;
    if (keyLen >= QIR_INI_NAME_SIZE) return QIR_INI_LINE_SYNTAX;
  }
  char keyBuf[QIR_INI_NAME_SIZE] = {0};
  char valueBuf[2048] = {0};
  memcpy(keyBuf, p, keyLen);
  strcpy(valueBuf, eq + 1);  // at most 1022 characters: the line's rest
  char* key = TrimBlanks(keyBuf);
  char* value = TrimBlanks(valueBuf);
  if (*key == '\0' || *value == '\0') return QIR_INI_LINE_SYNTAX;

  size_t sectionLen = strlen(_section);
  if (sectionLen + strlen(key) >= QIR_INI_FULL_NAME_SIZE) return QIR_INI_LINE_SYNTAX;
  std::string fullName(_section, sectionLen);
  fullName += key;
  if (!map_.emplace(fullName, value).second) return QIR_INI_LINE_DUPLICATE;
  return QIR_INI_LINE_OK;
}

const char* CQIRIniConfigContainer::GetErrorMessage() const {
  if (error_ < 0 || error_ > QIR_INI_SYNTAX) return kErrorTexts[QIR_INI_SYNTAX];
  return kErrorTexts[error_];
}

const std::string* CQIRIniConfigContainer::Find(const char* _section, const char* _key) const {
  if (_section == nullptr || _key == nullptr) return nullptr;
  // Look-ups for names longer than the loader accepts cannot match.
  if (strlen(_section) + strlen(_key) >= QIR_INI_FULL_NAME_SIZE) return nullptr;
  std::string fullName(_section);
  fullName += _key;
  MAP_NF_CONFIG::const_iterator it = map_.find(fullName);
  return (it == map_.end()) ? nullptr : &it->second;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, int* _result) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) return 0;
  *_result = atoi(v->c_str());
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, long* _result) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) return 0;
  *_result = atol(v->c_str());
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, double* _result) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) return 0;
  *_result = atof(v->c_str());
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, int* _result,
                                int _default) const {
  if (Get(_section, _key, _result) == 0) *_result = _default;
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, long* _result,
                                long _default) const {
  if (Get(_section, _key, _result) == 0) *_result = _default;
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, double* _result,
                                double _default) const {
  if (Get(_section, _key, _result) == 0) *_result = _default;
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key,
                                std::string& _result) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) return 0;
  return ResolveVNF(*v, _result);
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, char* _result) const {
  std::string value;
  if (Get(_section, _key, value) == 0) return 0;
  memcpy(_result, value.c_str(), value.size() + 1);
  return 1;
}

int CQIRIniConfigContainer::Get(const char* _section, const char* _key, char* _result,
                                const char* _default) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) {
    strcpy(_result, _default);
    return 1;
  }
  std::string value;
  if (ResolveVNF(*v, value) == 0) return 0;
  memcpy(_result, value.c_str(), value.size() + 1);
  return 1;
}

int CQIRIniConfigContainer::GetBool(const char* _section, const char* _key, int* _result) const {
  const std::string* v = Find(_section, _key);
  if (v == nullptr) return 0;
  const char* t = v->c_str();
  *_result = (strcasecmp(t, "TRUE") == 0 || strcasecmp(t, "YES") == 0 ||
              strcasecmp(t, "Y") == 0 || strcmp(t, "1") == 0)
                 ? 1
                 : 0;
  return 1;
}

int CQIRIniConfigContainer::GetBool(const char* _section, const char* _key, int* _result,
                                    bool _default) const {
  if (GetBool(_section, _key, _result) == 0) *_result = _default ? 1 : 0;
  return 1;
}

void CQIRIniConfigContainer::StringSplit(char* _source, char** _first, char** _second,
                                         char _delimiter) {
  char* rest = strchr(_source, _delimiter);
  if (rest != nullptr) {
    *rest = '\0';
    ++rest;
  } else {
    rest = _source + strlen(_source);
  }
  *_first = TrimBlanks(_source);
  *_second = TrimBlanks(rest);
}

// The first "$(VNF:first;second)" reference (else the first
// "${VNF:first;second}") is replaced, wherever that exact text occurs, by the
// address the VNF support object knows for the trimmed pair. The text
// replaced is the reference as written, so blanks inside it do not leave it
// in the value. Without a VNF object values come back unchanged.
int CQIRIniConfigContainer::ResolveVNF(const std::string& _value, std::string& _result) const {
  _result = _value;
  if (vnf_ == nullptr) return 1;
  const size_t kOpenerLength = 6;
  char closer = ')';
  size_t at = _value.find("$(VNF:");
  if (at == std::string::npos) {
    closer = '}';
    at = _value.find("${VNF:");
    if (at == std::string::npos) return 1;
  }
  std::string fields = _value.substr(at + kOpenerLength);
  char* first = nullptr;
  char* rest = nullptr;
  char* second = nullptr;
  char* after = nullptr;
  StringSplit(&fields[0], &first, &rest, ';');
  StringSplit(rest, &second, &after, closer);
  char address[256];
  if (vnf_->GetServerIP(first, second, address, sizeof(address)) <= 0) return 0;
  size_t semicolon = _value.find(';', at + kOpenerLength);
  size_t end = _value.find(closer, semicolon == std::string::npos ? at + kOpenerLength
                                                                   : semicolon + 1);
  if (end == std::string::npos) return 1;  // no closing character: nothing to replace
  const std::string reference = _value.substr(at, end + 1 - at);
  const size_t addressLength = strlen(address);
  for (size_t pos = _result.find(reference); pos != std::string::npos;
       pos = _result.find(reference, pos + addressLength)) {
    _result.replace(pos, reference.size(), address);
  }
  return 1;
}
