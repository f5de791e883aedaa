// INI loader and every getter. The input is the file; the harness asks for
// each section/key pair the text seems to name (and a few that are absent),
// with the VNF support object attached so that "$(VNF:...)" and
// "${VNF:...}" references resolve against a fixed server list.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "CQIRIniConfigContainer.h"
#include "CQIRVNFSupport.h"
#include "FuzzUtil.h"

namespace {

const char kServerList[] =
    "{\"vnfcConfigurationData\":[{\"vnfcSpecificData\":{\"name\":\"AMF\",\"interfaces\":["
    "{\"networkInterfaceId\":\"sig\",\"address\":\"10.0.0.1\"},"
    "{\"networkInterfaceId\":\"oam\",\"address\":\"$(VNF:AMF;sig)\"}]}}]}";

CQIRVNFSupport* g_vnf = nullptr;

std::string Trimmed(const std::string& _s) {
  size_t b = _s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = _s.find_last_not_of(" \t\r");
  return _s.substr(b, e + 1 - b);
}

// Section/key pairs as a reader of the text would guess them; the loader's
// own rules decide what is really there.
std::vector<std::pair<std::string, std::string>> Names(const std::string& _text) {
  std::vector<std::pair<std::string, std::string>> out = {{"", ""}, {"NONE", "none"}};
  std::string section;
  size_t pos = 0;
  while (pos < _text.size() && out.size() < 24) {
    size_t nl = _text.find('\n', pos);
    std::string line = _text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? _text.size() : nl + 1;
    std::string t = Trimmed(line);
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      section = t.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    } else {
      size_t eq = t.find('=');
      if (eq != std::string::npos) out.emplace_back(section, Trimmed(t.substr(0, eq)));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string list = qirfuzz::WriteScratch("servers.json",
                                           reinterpret_cast<const uint8_t*>(kServerList),
                                           sizeof(kServerList) - 1);
  setenv("QIR_SERVER_LIST", list.c_str(), 1);
  g_vnf = new CQIRVNFSupport();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  std::string path = qirfuzz::WriteScratch("fuzz.ini", _data, _size);
  std::string text(reinterpret_cast<const char*>(_data), _size);
  CQIRIniConfigContainer ini;
  if (ini.Initialize(path.c_str(), (_size & 1) != 0 ? g_vnf : nullptr) == 0) {
    (void)ini.GetErrorMessage();
    (void)ini.GetErrorLC();
  }
  // A value is shorter than a line; the char* getters trust the caller for
  // room, so give them a line's worth.
  char value[2048];
  // Each name gets every kind of getter once, with or without a default by
  // turns: a "$(VNF:...)" value rereads the server list on every call, and
  // both variants of a kind take the same path up to their last line.
  std::vector<std::pair<std::string, std::string>> names = Names(text);
  for (size_t j = 0; j < names.size(); ++j) {
    const char* s = names[j].first.c_str();
    const char* k = names[j].second.c_str();
    int i = 0;
    long l = 0;
    double d = 0;
    std::string str;
    if (((j + _size) & 1) != 0) {
      ini.Get(s, k, &i, 7);
      ini.Get(s, k, &l, 7L);
      ini.Get(s, k, &d, 7.0);
      ini.Get(s, k, value, "default");
      ini.GetBool(s, k, &i, true);
    } else {
      ini.Get(s, k, &i);
      ini.Get(s, k, &l);
      ini.Get(s, k, &d);
      ini.Get(s, k, value);
      ini.GetBool(s, k, &i);
    }
    ini.Get(s, k, str);
  }
  ini.Finalize();
  return 0;
}
