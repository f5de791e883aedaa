#ifndef QIR_BASE_CQIRUTIL_H
#define QIR_BASE_CQIRUTIL_H

#include <stddef.h>

#include <string>
#include <vector>

// Static helpers: file size and loading, a string hash, field splitters,
// LZ4 block wrappers and a JSON pretty-printer. All reentrant. Buffers an
// operation allocates belong to the caller, who releases them with free().
class CQIRUtil {
 public:
  // Longest field each splitter stores; longer fields are cut.
  enum { CSV_FIELD_MAX = 255, CSV_VECTOR_FIELD_MAX = 511 };

  // Size in bytes, or (size_t)-1 when stat fails (logged).
  static size_t GetFileSize(const char* _fileNm);
  // Reads exactly _fileSize bytes from the start of the file. False (logged)
  // when the file cannot be opened, holds fewer bytes, or _fileSize < 0.
  static bool LoadFile(const char* _fileNm, char* _memory, long _fileSize);
  // The whole file in a new buffer (not NUL-terminated); null when the file
  // is empty or cannot be read.
  static char* LoadFile(const char* _fileNm);

  // h = h * 101 + signed byte over the bytes, modulo 2^32; returns
  // h mod _size, or -1 when _size is not positive.
  static int Hash(const char* s, int _len, int _size);
  static int Hash(const char* s, int _size);

  // Split at one separator; every double quote is dropped and does not
  // protect a separator; a trailing empty field is not stored. Return the
  // number of fields.
  // Into caller buffers of CSV_FIELD_MAX + 1 bytes each. The three-argument
  // form trusts _result to have a slot for every field; the sized form
  // returns -1 when there are more than _maxFields (the first _maxFields are
  // stored).
  static int ParseCSV(const char* _buffer, char _spChar, char** _result);
  static int ParseCSV(const char* _buffer, char _spChar, char** _result, int _maxFields);
  // Into a vector, which is cleared first; fields cut at CSV_VECTOR_FIELD_MAX.
  static int ParseCSV(const char* _buffer, char _spChar, std::vector<std::string>* _result);
  // Tokens between runs of any of _separators, appended to _dest (not
  // cleared); returns _dest's size.
  static int ParseCSV(const std::string& _source, const char* _separators,
                      std::vector<std::string>& _dest);

  // LZ4 raw blocks. Results: the output size; -1 allocation failure or a
  // destination below LZ4_compressBound; -2 codec failure. Every failure is
  // logged at Error.
  static int LZ4_GetCompressBoundSize(int _src_size);
  static int LZ4_Compress(const char* _src, int _src_size, char** _dest);
  // _destSize must be at least LZ4_GetCompressBoundSize(_src_size), even when
  // the data would compress into less.
  static int LZ4_Compress(const char* _src, int _src_size, char* _dest, int _destSize);
  static int LZ4_Decompress(const char* _src, int _src_size, char** _dest, int _dest_size);
  static int LZ4_Decompress(const char* _src, int _src_size, char* _dest, int _dest_size);

  // Appends an indented form of the JSON text to _result: one member or
  // element per line, tabs per level, a blank after each ":" outside
  // strings, white space outside strings dropped.
  static void JSONPrettyFormatting(const char* _json, std::string& _result);
};

#endif  // QIR_BASE_CQIRUTIL_H
