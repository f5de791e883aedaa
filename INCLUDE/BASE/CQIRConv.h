#ifndef QIR_BASE_CQIRCONV_H
#define QIR_BASE_CQIRCONV_H

#include <stddef.h>

#include <string>

// Stateless conversions between text and packed binary forms. All static.
class CQIRConv {
 public:
  // Expands $(NAME) references with environment values. All or nothing: on
  // any malformed or unset reference the result is _source unchanged.
  // The two-argument form trusts the caller's buffer to be large enough; the
  // sized form never writes more than _destSize bytes: an expansion that would
  // not fit counts as a failure, and a _source that does not fit is cut.
  static char* EnvReplace(char* _destination, const char* _source);
  static char* EnvReplace(char* _destination, const char* _source, size_t _destSize);

  // Hex dump in rows of 16 bytes with a text column; returns the characters
  // written (without the NUL). _dest must hold QIR_HEXADUMP_SIZE(_len).
  static size_t HexaDump(char* _dest, const unsigned char* _data, int _len);
  static const char* HexaDump(std::string& _dest, const unsigned char* _data,
                              unsigned long _length);
};

// Bytes HexaDump writes for _len bytes, its NUL included: one 6-byte label
// and 16-byte text column plus newline per row, 4 bytes per cell, one row more
// when the length is a whole multiple of 16.
#define QIR_HEXADUMP_SIZE(_len) (((size_t)(_len) / 16 + 1) * (10 + 64 + 16 + 1) + 1)

#endif  // QIR_BASE_CQIRCONV_H
