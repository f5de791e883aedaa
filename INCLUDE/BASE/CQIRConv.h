#ifndef QIR_BASE_CQIRCONV_H
#define QIR_BASE_CQIRCONV_H

#include <stddef.h>
#include <time.h>

#include <string>

// Stateless conversions between text and packed binary forms. All static and
// callable from any thread (Int2Str's buffer is per thread).
//
// Packed forms put the first digit of a pair in the high nibble. Output
// buffers belong to the caller; their sizes follow from the input and are
// given per operation. Operations whose output size cannot be known in
// advance have a sized form that never writes past _destSize / _resultSize.
class CQIRConv {
 public:
  // Digit values: '0'-'9' 0-9, 'A'-'F' 10-15, any other c gives c - 87
  // ('a'-'f' 10-15, anything else meaningless). No validation.
  static unsigned char GetBCDHex(char _c);
  // 0-9 to '0'-'9', other values v to v + 87 ('a'-'f' for 10-15).
  static char GetBCDChar(unsigned char _v);
  // TBCD code set: '0'-'9', '*' 10, '#' 11, a/b/c 12-14, f 15 (the filler),
  // either letter case; anything else 255.
  static unsigned char GetTBCDHex(char _c);
  // Inverse of GetTBCDHex with lower-case letters; values above 15 give 255.
  static char GetTBCDChar(unsigned char _v);

  // Text to packed digits; return the bytes written and add a NUL after them
  // (_dest holds strlen(_src) / 2 + 2 bytes).
  // Odd length: Str2BCD puts the first digit alone in the first byte
  // ("123" -> 01 23); Str2TBCD fills the last low nibble with 15
  // ("12345" -> 12 34 5f); Str2Hex leaves the last low nibble 0
  // ("123" -> 12 30) except for one digit ("7" -> 07).
  static int Str2BCD(char* _dest, const char* _src);
  static int Str2TBCD(char* _dest, const char* _src);
  static int Str2Hex(char* _dest, const char* _src);

  // Packed bytes to text, two characters per byte, NUL-terminated
  // (_dest holds 2 * _len + 1). BCD2Str prints upper case, Hex2Str lower.
  static void BCD2Str(char* _dest, const char* _src, int _len);
  static void Hex2Str(char* _dest, const char* _src, int _len);
  // Fixed-width field: pads with blanks up to _mkLen characters, no NUL.
  static void Hex2Str(char* _dest, const char* _src, int _len, int _mkLen);

  // TBCD to text; stops at a low nibble of 15. Returns the characters
  // written, NUL-terminated (_dest holds 2 * _len + 1).
  static int TBCD2Str(char* _dest, const char* _src, int _len);
  // Fixed-width field: pads with blanks up to _mkLen characters, no NUL;
  // returns the characters written, padding included.
  static int TBCD2Str(char* _dest, const char* _src, int _len, int _mkLen);

  // Nibble shifts over byte strings of _nLen bytes. The Or-ing forms
  // (MiddleNibbleToStr, FirstNibbleToNum) combine with what _dest holds, the
  // ResultFor... forms keep some nibbles of _dest; each writes a NUL after
  // its output, so _dest holds _nLen + 1 bytes.
  // Copy without the first high nibble / without the last low nibble.
  static void LastNibbleToStr(char* _dest, const char* _src, int _nLen);
  static void FirstNibbleToStr(char* _dest, const char* _src, int _nLen);
  // ORs the source shifted left by one nibble, dropping its first and last
  // nibble: _nLen - 1 bytes.
  static void MiddleNibbleToStr(char* _dest, const char* _src, int _nLen);
  // Sets the source shifted left by one nibble, 0 shifted in.
  static void ResultForFirstNibble(char* _dest, const char* _src, int _nLen);
  // ORs the source shifted right by one nibble, its last nibble dropped.
  static void FirstNibbleToNum(char* _dest, const char* _src, int _nLen);
  // Takes the source's nibbles, keeping _dest's first high nibble and ORing
  // the other high nibbles.
  static void ResultForLastNibble(char* _dest, const char* _src, int _nLen);
  // Sets the first _nLen - 1 source bytes, shifted right by one nibble,
  // between _dest's own first high nibble and its own last low nibble.
  static void ResultForMiddleNibble(char* _dest, const char* _src, int _nLen);

  // atoi over the first _len characters, at most 32 of them; stops at a NUL
  // and saturates at INT_MIN / INT_MAX.
  static int Str2Int(const char* _src, int _len);
  // "%d" text in a buffer that the calling thread's next call overwrites.
  static char* Int2Str(int _num);
  // 1234567 -> "1,234,567"; _buffer holds QIR_NUM_COMMA_SIZE bytes.
  static char* NumToStrWithComma(char* _buffer, long _num);
  // CCYYMMDDhhmmss local time (daylight saving flagged off); 0 unless the
  // text is exactly 14 characters long.
  static time_t Str2Time(const char* _ptime);
  // Local time as CCYYMMDDhhmmss; _dest holds 15 bytes. A year outside 0 to
  // 9999 gives "".
  static void Time2Str(char* _dest, long _tTime);
  // Reverses the _size bytes in place.
  static void ChangeByteOrder(unsigned char* _data, unsigned long _size);

  // Dotted IPv4 text to 4 bytes in network order plus a 0 byte (_dest holds
  // 5). 1 ok; 0 invalid, and also for 255.255.255.255, which inet_addr
  // cannot tell from an error.
  static int Str2Ipv4(char* _dest, const char* _src);
  // Network-order address to dotted text; _dest holds 16 bytes.
  static void Ipv42Str(char* _dest, unsigned int _unIp);

  // Trailing blanks and tabs become NULs in place; returns _src.
  static char* RTrim(char* _src);
  // First character that is neither blank nor tab (no copy).
  static char* LTrim(char* _src);
  static char* Trim(char* _src);

  // Expands $(NAME) references with environment values. All or nothing: on
  // any malformed or unset reference the result is _source unchanged.
  // The two-argument form trusts the caller's buffer to be large enough; the
  // sized form never writes more than _destSize bytes: an expansion that would
  // not fit counts as a failure, and a _source that does not fit is cut.
  static char* EnvReplace(char* _destination, const char* _source);
  static char* EnvReplace(char* _destination, const char* _source, size_t _destSize);

  // Replaces the first occurrence of _pattern, searching from the start each
  // time, until none is left, so occurrences that a replacement forms with
  // its neighbours are replaced too. Refused (result = _source unchanged)
  // when _pattern is empty, when _replace contains _pattern, or when the
  // replacements keep re-forming the pattern (more than the source length +
  // QIR_STR_REPLACE_MAX_STEPS replacements).
  // The four-argument form trusts _result to be large enough; the sized form
  // also refuses a result that would not fit (a _source that does not fit is
  // then cut).
  static char* StrReplace(const char* _source, const char* _pattern, const char* _replace,
                          char* _result);
  static char* StrReplace(const char* _source, const char* _pattern, const char* _replace,
                          char* _result, size_t _resultSize);
  static std::string StrReplace(const std::string& _source, const std::string& _pattern,
                                const std::string& _replace);

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

// NumToStrWithComma of LONG_MIN: sign, 19 digits, 6 commas, NUL.
#define QIR_NUM_COMMA_SIZE 27

// Replacements StrReplace makes beyond one per source character before it
// calls the pattern self-reproducing: ordinary texts never come near it.
#define QIR_STR_REPLACE_MAX_STEPS 65536

#endif  // QIR_BASE_CQIRCONV_H
