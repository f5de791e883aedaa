// Text-parsing conversions: the first byte picks the operation, the rest is
// its text (NUL-separated pieces where it takes several). Output buffers are
// sized as each operation documents, so any overflow is the operation's.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "CQIRConv.h"
#include "CQIRDate.h"
#include "CQIRTime.h"
#include "CQIRUtil.h"
#include "FuzzUtil.h"
#include "QIRConv.h"
#include "QIRHttp2Upgrade.h"

using qirfuzz::Input;

namespace {

// Exact-size heap copy, so that a read past the text is caught.
struct Text {
  explicit Text(const std::string& _s) : p(static_cast<char*>(malloc(_s.size() + 1))) {
    memcpy(p, _s.c_str(), _s.size() + 1);
  }
  ~Text() { free(p); }
  char* p;
};

void Packed(Input& _in) {
  uint8_t op = _in.Byte();
  std::string s = _in.Rest();
  Text t(s);
  size_t n = strlen(t.p);
  std::vector<char> out(n / 2 + 2);
  switch (op % 6) {
    case 0: CQIRConv::Str2BCD(out.data(), t.p); break;
    case 1: CQIRConv::Str2TBCD(out.data(), t.p); break;
    case 2: CQIRConv::Str2Hex(out.data(), t.p); break;
    case 3: {
      std::vector<unsigned char> bin((n + 1) / 2 + 1);
      QIR_CONV_HEX2BIN(t.p, bin.data());
      break;
    }
    case 4: {
      std::vector<char> txt(2 * s.size() + 1);
      CQIRConv::TBCD2Str(txt.data(), s.data(), static_cast<int>(s.size()));
      CQIRConv::BCD2Str(txt.data(), s.data(), static_cast<int>(s.size()));
      CQIRConv::Hex2Str(txt.data(), s.data(), static_cast<int>(s.size()));
      std::vector<char> bin2(2 * s.size() + 3);
      QIR_CONV_BIN2HEX(reinterpret_cast<const unsigned char*>(s.data()), bin2.data(),
                       static_cast<int>(s.size()), 1);
      break;
    }
    default: {
      std::vector<char> fixed(2 * s.size() + 8);
      int mk = static_cast<int>(fixed.size());
      CQIRConv::Hex2Str(fixed.data(), s.data(), static_cast<int>(s.size()), mk);
      CQIRConv::TBCD2Str(fixed.data(), s.data(), static_cast<int>(s.size()), mk);
      CQIRConv::Str2Int(s.data(), static_cast<int>(s.size()));
      std::vector<char> dump(QIR_HEXADUMP_SIZE(s.size()));
      CQIRConv::HexaDump(dump.data(), reinterpret_cast<const unsigned char*>(s.data()),
                         static_cast<int>(s.size()));
      break;
    }
  }
}

void Address(Input& _in) {
  Text t(_in.Rest());
  char four[5];
  unsigned char bin[20];
  char text[64];
  CQIRConv::Str2Ipv4(four, t.p);
  QIR_CONV_STR2IPV4(t.p, bin);
  if (QIR_CONV_STR2IPV6PREFIX(t.p, bin) > 0) QIR_CONV_IPV6PREFIX2STR(bin, text);
  QIR_CONV_IPV6_FULL_STR(t.p, text, true);
}

void Prefix2Str(Input& _in) {
  unsigned char bin[18] = {0};
  for (size_t i = 0; i < sizeof(bin); ++i) bin[i] = _in.Byte();
  char text[64];
  QIR_CONV_IPV6PREFIX2STR(bin, text);
}

void Env(Input& _in) {
  // A few names the references can hit, set once.
  static bool set = [] {
    setenv("QIRF_A", "alpha", 1);
    setenv("QIRF_LONG", std::string(300, 'L').c_str(), 1);
    setenv("QIRF_EMPTY", "", 1);
    setenv("QIRF_REF", "$(QIRF_A)", 1);
    return true;
  }();
  (void)set;
  uint8_t cap = _in.Byte();
  Text t(_in.Rest());
  size_t size = 1 + cap * 4u;
  std::vector<char> out(size);
  CQIRConv::EnvReplace(out.data(), t.p, size);
}

void Replace(Input& _in) {
  uint8_t cap = _in.Byte();
  std::string src = _in.Piece(), pat = _in.Piece(), rep = _in.Piece();
  Text s(src), p(pat), r(rep);
  size_t size = 1 + cap * 8u;
  std::vector<char> out(size);
  CQIRConv::StrReplace(s.p, p.p, r.p, out.data(), size);
  if (src.size() < 512 && rep.size() < 64) CQIRConv::StrReplace(src, pat, rep);
  std::vector<char> data(size > src.size() ? size : src.size() + 1);
  memcpy(data.data(), src.c_str(), src.size() + 1);
  QIR_STR_REPLACE(data.data(), p.p, r.p, data.size());
}

void Times(Input& _in) {
  std::string picture = _in.Piece();
  std::string value = _in.Rest();
  Text p(picture), v(value);
  CQIRTime::MakeTime(p.p, v.p);
  CQIRTime t(static_cast<time_t>(value.size()) * 86399 * 37);
  t.AscTime(p.p);
  CQIRConv::Str2Time(v.p);
  CQIRDate d(v.p);
  d.AscDate(p.p);
  CQIRDate e;
  e = v.p;
  e.AscDate(p.p);
  (void)e();
}

void Csv(Input& _in) {
  char sep = static_cast<char>(_in.Byte());
  std::string seps = _in.Piece();
  std::string text = _in.Rest();
  Text t(text);
  enum { kFields = 8 };
  char* fields[kFields];
  std::vector<std::vector<char>> store(kFields, std::vector<char>(CQIRUtil::CSV_FIELD_MAX + 1));
  for (int i = 0; i < kFields; ++i) fields[i] = store[i].data();
  CQIRUtil::ParseCSV(t.p, sep, fields, kFields);
  std::vector<std::string> v;
  CQIRUtil::ParseCSV(t.p, sep, &v);
  std::vector<std::string> w;
  CQIRUtil::ParseCSV(text, seps.c_str(), w);
}

void Base64(Input& _in) {
  std::string text = _in.Rest();
  BlockAllocator arena;
  StringRef plain = base64_decode(arena, StringRef(text));
  StringRef fromToken = to_base64(arena, StringRef(text));
  StringRef again = base64_decode(arena, fromToken);
  (void)again;
  // Whatever decoded must decode again from its own encoding.
  if (!plain.empty()) {
    std::string enc = base64_encode(plain.byte(), plain.size());
    StringRef back = base64_decode(arena, StringRef(enc));
    if (back.size() != plain.size() || memcmp(back.base, plain.base, plain.size()) != 0) abort();
  }
}

void Lz4Block(Input& _in) {
  uint8_t cap = _in.Byte();
  std::string block = _in.Rest();
  int size = 1 + cap * 64;
  std::vector<char> out(static_cast<size_t>(size));
  CQIRUtil::LZ4_Decompress(block.data(), static_cast<int>(block.size()), out.data(), size);
}

void Trims(Input& _in) {
  Text t(_in.Rest());
  CQIRConv::Trim(t.p);
  std::string json = t.p;
  std::string pretty;
  if (json.size() < 2048) CQIRUtil::JSONPrettyFormatting(json.c_str(), pretty);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "UTC", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  Input in(_data, _size);
  switch (in.Byte() % 10) {
    case 0: Packed(in); break;
    case 1: Address(in); break;
    case 2: Prefix2Str(in); break;
    case 3: Env(in); break;
    case 4: Replace(in); break;
    case 5: Times(in); break;
    case 6: Csv(in); break;
    case 7: Base64(in); break;
    case 8: Lz4Block(in); break;
    default: Trims(in); break;
  }
  return 0;
}
