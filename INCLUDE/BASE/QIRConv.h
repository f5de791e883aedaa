#ifndef QIR_BASE_QIRCONV_H
#define QIR_BASE_QIRCONV_H

#include <stddef.h>

// Free conversion functions: hexadecimal text, IPv4 and IPv6 address and
// prefix forms, in-place replacement. Stateless; callable from any thread.

// '0'-'9' 0-9, 'A'-'F' 10-15, any other c gives c - 87 ('a'-'f' 10-15,
// anything else meaningless). No validation.
unsigned char QIR_GetHexDigit(char _c);

// "%02x" per byte, after "0x" when _prefix is 1. Returns the characters
// written, prefix included; NUL-terminated (_dest holds 2 * _length + 3).
int QIR_CONV_BIN2HEX(const unsigned char* _src, char* _dest, int _length, int _prefix);

// Hexadecimal text to bytes, first digit high; a lone last digit becomes the
// high nibble of a last byte. Returns the bytes written (no NUL);
// _dest holds (strlen(_src) + 1) / 2 bytes.
int QIR_CONV_HEX2BIN(const char* _src, unsigned char* _dest);

// Dotted text of exactly four parts of 1 to 3 characters, each read as a
// decimal number from 0 to 255, to 4 bytes. Returns 4, or -1 for any other
// text (nothing is promised about _dest then).
int QIR_CONV_STR2IPV4(const char* _ip, unsigned char* _dest);

// Binary IPv6 prefix: byte 0 reserved (0), byte 1 the length in bits, then
// length / 8 prefix bytes (18 bytes at most), as in RFC 3162's
// Framed-IPv6-Prefix.
//
// Text "hhhh:hhhh:.../len" to the binary form. Every group has four digits;
// the length is a multiple of 8 from 0 to 128. Returns the bytes written
// (2 + len / 8), or -1.
int QIR_CONV_STR2IPV6PREFIX(const char* _ip, unsigned char* _dest);

// Binary form to text: the whole 16-bit groups, then "/128" for a full
// address, else "::/len". Returns the characters written, or -1 (and "") for
// a length above 128. _dest holds INET6_ADDRSTRLEN bytes.
int QIR_CONV_IPV6PREFIX2STR(const unsigned char* _src, char* _dest);

// Any IPv6 text to all eight groups of four digits, no "::". 1 ok, 0 not an
// IPv6 address. _destIP holds 40 bytes.
int QIR_CONV_IPV6_FULL_STR(const char* _srcIP, char* _destIP, bool _upperCase);

// Replaces every occurrence of _orgin in _data in one left-to-right pass;
// inserted text is not searched again. Returns the new length.
// The three-argument form trusts _data to have room; the sized form leaves
// _data unchanged and returns -1 when the result would not fit in _dataSize
// bytes. An empty _orgin replaces nothing.
int QIR_STR_REPLACE(char* _data, const char* _orgin, const char* _replace);
int QIR_STR_REPLACE(char* _data, const char* _orgin, const char* _replace, size_t _dataSize);

#endif  // QIR_BASE_QIRCONV_H
