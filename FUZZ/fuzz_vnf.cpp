// VNF server list: the input is the JSON file; a name/interface pair is
// looked up into a large buffer and another into a small one. Every lookup
// rereads and parses the file, so two per input, chosen by the input's size,
// rather than all ten: five times the inputs in the same time.
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
  const size_t count = sizeof(kNames) / sizeof(kNames[0]);
  const char* const* big = kNames[_size % count];
  const char* const* small = kNames[(_size / count) % count];
  char bigOut[256];
  char smallOut[8];
  vnf.GetServerIP(big[0], big[1], bigOut, sizeof(bigOut));
  vnf.GetServerIP(small[0], small[1], smallOut, sizeof(smallOut));
  return 0;
}
