// VNF server list: the input is the JSON file; every name/interface pair the
// harness can think of is looked up, into buffers large and small.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "CQIRVNFSupport.h"
#include "FuzzUtil.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qirfuzz::OpenLog();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* _data, size_t _size) {
  static const std::string path = qirfuzz::ScratchDir() + "/servers.json";
  static bool set = setenv("QIR_SERVER_LIST", path.c_str(), 1) == 0;
  (void)set;
  qirfuzz::WriteScratch("servers.json", _data, _size);
  CQIRVNFSupport vnf;
  static const char* kNames[][2] = {{"AMF", "sig"}, {"AMF", "oam"}, {"", ""}, {"SMF", "n4"},
                                    {"a", "b"}};
  char big[256];
  char small[8];
  for (auto& n : kNames) {
    vnf.GetServerIP(n[0], n[1], big, sizeof(big));
    vnf.GetServerIP(n[0], n[1], small, sizeof(small));
  }
  return 0;
}
