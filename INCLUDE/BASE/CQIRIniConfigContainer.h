#ifndef QIR_BASE_CQIRINICONFIGCONTAINER_H
#define QIR_BASE_CQIRINICONFIGCONTAINER_H

#include <stddef.h>

#include <map>
#include <string>

class CQIRVNFSupport;

// section name + key name (no separator) -> value text
typedef std::map<std::string, std::string> MAP_NF_CONFIG;

// One INI file held in memory, answering typed look-ups by section and key.
// Loaded on one thread (Initialize/Read/Finalize); once loaded, the getters
// only read the map, so any number of threads may query it at once.
// Writes no log lines: results and error_ tell what happened.
//
// File format, per line (a line is at most 1023 characters; the rest of a
// longer line is read as a line of its own):
//   "#" as the very first character: comment.
//   After the newline is cut and leading blanks/tabs skipped, empty: ignored.
//   "[name]": starts a section; the name runs to the first "]" or the end of
//   the line, untrimmed.
//   "key = value": key before the first "=", value after it, both trimmed of
//   blanks and tabs; neither may be empty. Nothing is quoted or escaped.
// Loading stops at the first bad line; what was read before it stays.
class CQIRIniConfigContainer {
 public:
  enum {
    QIR_INI_NO_ERROR = 0,
    QIR_INI_FILE_ACCESS = 1,
    QIR_INI_KEY_DUPLICATE = 2,
    QIR_INI_SYNTAX = 3
  };
  enum {
    QIR_INI_LINE_SIZE = 1024,   // read size: 1023 characters and the NUL
    QIR_INI_NAME_SIZE = 128,    // section or key name: 127 characters
    QIR_INI_FULL_NAME_SIZE = 256  // section + key: 255 characters
  };

  CQIRIniConfigContainer();
  ~CQIRIniConfigContainer();
  CQIRIniConfigContainer(const CQIRIniConfigContainer&) = delete;
  CQIRIniConfigContainer& operator=(const CQIRIniConfigContainer&) = delete;

  // Empties the map, stores _vnf (may be null, not owned) and loads the file.
  // 1 loaded, 0 failed (GetErrorMessage tells why; the lines before the bad
  // one stay loaded).
  int Initialize(const char* _fileName, CQIRVNFSupport* _vnf);
  void Finalize();  // empties the map; harmless to call twice
  int Read(const char* _fileName);  // 1 end of file reached, 0 error
  const char* GetErrorMessage() const;

  // Numeric look-ups convert like atoi/atol/atof ("12abc" is 12, "abc" 0).
  // Without a default: 1 found, 0 missing (*_result untouched).
  // With a default: a missing key stores the default; always 1.
  int Get(const char* _section, const char* _key, int* _result) const;
  int Get(const char* _section, const char* _key, long* _result) const;
  int Get(const char* _section, const char* _key, double* _result) const;
  int Get(const char* _section, const char* _key, int* _result, int _default) const;
  int Get(const char* _section, const char* _key, long* _result, long _default) const;
  int Get(const char* _section, const char* _key, double* _result, double _default) const;

  // Text look-ups resolve VNF references. The char* forms trust the caller's
  // buffer to hold the whole value (at most 1022 characters as read from a
  // file). 1 copied; 0 missing, or a VNF reference that cannot be resolved
  // (also with a default).
  int Get(const char* _section, const char* _key, char* _result) const;
  int Get(const char* _section, const char* _key, char* _result, const char* _default) const;
  int Get(const char* _section, const char* _key, std::string& _result) const;

  // "TRUE", "YES", "Y" in any letter case, or exactly "1", read as 1; any
  // other text as 0. Without a default: 1 found, 0 missing; with: always 1.
  int GetBool(const char* _section, const char* _key, int* _result) const;
  int GetBool(const char* _section, const char* _key, int* _result, bool _default) const;

  // Splits _source in place at the first _delimiter; both parts are trimmed
  // of blanks and tabs and point into _source (*_second is "" when there is
  // no delimiter).
  static void StringSplit(char* _source, char** _first, char** _second, char _delimiter);

  int GetErrorLC() const { return errorlc_; }
  CQIRVNFSupport* GetVNFContainer() const { return vnf_; }

 private:
  enum e4lineResult { QIR_INI_LINE_OK = 0, QIR_INI_LINE_SYNTAX, QIR_INI_LINE_DUPLICATE };

  e4lineResult ParseLine(char* _line, char* _section);
  const std::string* Find(const char* _section, const char* _key) const;
  // VNF reference resolution of a text value: 1 done (or nothing to do),
  // 0 a reference that cannot be resolved.
  int ResolveVNF(const std::string& _value, std::string& _result) const;

  CQIRVNFSupport* vnf_;  // not owned; null disables resolution
  MAP_NF_CONFIG map_;
  int error_;
  int errorlc_;  // lines read since construction, never reset
};

#endif  // QIR_BASE_CQIRINICONFIGCONTAINER_H
