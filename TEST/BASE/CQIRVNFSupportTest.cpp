#include "CQIRVNFSupport.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using qirtest::ScopedEnv;
using qirtest::TempDir;
using qirtest::WriteAll;

namespace {

// Component web0: sig twice (the first wins), oam with a 15-character address;
// elements the list skips; component db1.
const char kServerList[] = R"({
  "vnfcConfigurationData": [
    {"vnfcSpecificData": {"name": "web0", "interfaces": [
      {"address": "10.0.0.5", "networkInterfaceId": "sig"},
      {"address": "10.9.9.9", "networkInterfaceId": "sig"},
      {"address": "192.168.100.200", "networkInterfaceId": "oam"},
      {"address": null, "networkInterfaceId": "noaddr"},
      {"networkInterfaceId": "missing"}]}},
    {"vnfcSpecificData": "not an object"},
    {"vnfcSpecificData": {"name": null, "interfaces": [
      {"address": "10.1.1.1", "networkInterfaceId": "x"}]}},
    {"other": 1},
    {"vnfcSpecificData": {"name": "db1", "extra": true, "interfaces": [
      {"address": "fd00::1", "networkInterfaceId": "eth0"}]}}
  ]})";

class CQIRVNFSupportTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL)); }
  // Output of _fn on standard output (log lines included).
  template <typename F>
  static std::string Output(F _fn) {
    testing::internal::CaptureStdout();
    _fn();
    return testing::internal::GetCapturedStdout();
  }

  TempDir tmp_;
  ScopedEnv list_{"QIR_SERVER_LIST", (tmp_ / "servers.json").c_str()};
};

}  // namespace

TEST_F(CQIRVNFSupportTest, HostNameAndItsSequenceNumber) {
  CQIRVNFSupport vnf;
  EXPECT_STREQ("unknown", vnf.GetHostName());
  EXPECT_EQ(-1, vnf.GetHostSeq());
  const struct {
    const char* content;
    const char* name;
    int seq;
  } cases[] = {
      {"app07\n", "app07", 7},
      {"app-03\n", "app-03", -3},  // '-' counts as part of the number
      {"web0.x1", "web0.x1", 1},
      {"app\n", "app", -1},
      {"12345\n", "12345", -1},  // nothing above '9' in front of the digits
  };
  const std::string file = tmp_ / "hostname";
  ScopedEnv env("QIR_HOST_NAME", file.c_str());
  for (const auto& c : cases) {
    WriteAll(file, c.content);
    ASSERT_EQ(1, vnf.Initialize()) << c.content;
    EXPECT_STREQ(c.name, vnf.GetHostName());
    EXPECT_EQ(c.seq, vnf.GetHostSeq()) << c.content;
  }
}

TEST_F(CQIRVNFSupportTest, ServerAddressesFromTheList) {
  WriteAll(tmp_ / "servers.json", kServerList);
  const struct {
    const char* server;
    const char* ip;
    const char* address;  // nullptr: not found
  } cases[] = {{"web0", "sig", "10.0.0.5"},  {"web0", "oam", "192.168.100.200"},
               {"db1", "eth0", "fd00::1"},   {"web0", "noaddr", nullptr},
               {"web0", "missing", nullptr}, {"", "x", nullptr},
               {"web", "0sig", "10.0.0.5"},  // the key is name and id run together
               {"db1", "sig", nullptr}};
  CQIRVNFSupport vnf;
  for (const auto& c : cases) {
    char result[256] = "untouched";
    std::string out = Output([&] {
      EXPECT_EQ(c.address ? 1 : 0, vnf.GetServerIP(c.server, c.ip, result, sizeof(result)));
    });
    if (c.address != nullptr) {
      EXPECT_STREQ(c.address, result);
      EXPECT_EQ("", out);
    } else {
      EXPECT_STREQ("untouched", result);
      EXPECT_NE(std::string::npos,
                out.find(std::string("IP-TAG[") + c.server + ":" + c.ip + "] not found!"))
          << out;
    }
  }
  // 15 characters and the NUL need 16 bytes.
  char result[16];
  EXPECT_EQ(1, vnf.GetServerIP("web0", "oam", result, 16));
  EXPECT_STREQ("192.168.100.200", result);
  std::string out = Output([&] { EXPECT_EQ(0, vnf.GetServerIP("web0", "oam", result, 15)); });
  EXPECT_NE(std::string::npos, out.find("Buffer Size[15:15] invalid")) << out;
}

TEST_F(CQIRVNFSupportTest, BadListsEndTheWalkWithAMessage) {
  const std::string good =
      R"({"vnfcSpecificData": {"name": "ok", "interfaces": [{"address": "1.1.1.1", "networkInterfaceId": "i"}]}})";
  const struct {
    std::string json;
    const char* printed;  // on standard output; "" for nothing
    bool okFound;         // the element before the fault stays
  } cases[] = {
      {"{\"vnfcConfigurationData\": [", "Invalid value.", false},
      {"{\"a\": 1 \"b\": 2}", "Missing a comma or '}' after an object member.", false},
      {"", "The document is empty.", false},
      {"{}", "", false},
      {"{\"vnfcConfigurationData\": 5}", "vnfcConfigurationData is not an array", false},
      {"{\"vnfcConfigurationData\": [" + good +
           R"(, {"vnfcSpecificData": {"name": 7, "interfaces": []}}]})",
       "name is not a string", true},
      {"{\"vnfcConfigurationData\": [" + good +
           R"(, {"vnfcSpecificData": {"name": "b", "interfaces": {}}}]})",
       "interfaces is not an array", true},
      {"{\"vnfcConfigurationData\": [" + good +
           R"(, {"vnfcSpecificData": {"name": "b", "interfaces": [{"address": 1, "networkInterfaceId": "i"}]}}]})",
       "address is not a string", true},
  };
  CQIRVNFSupport vnf;
  for (const auto& c : cases) {
    WriteAll(tmp_ / "servers.json", c.json);
    char result[64];
    std::string out = Output([&] {
      EXPECT_EQ(c.okFound ? 1 : 0, vnf.GetServerIP("ok", "i", result, sizeof(result)));
    });
    if (c.printed[0] != '\0') {
      EXPECT_NE(std::string::npos, out.find(std::string(c.printed) + "\n")) << c.json << out;
    }
    EXPECT_EQ(!c.okFound, out.find("IP-TAG[ok:i] not found!") != std::string::npos)
        << c.json << out;
  }
}

// The INI container lets several threads read text values at once, and each
// such read may resolve a VNF reference through one shared object, which
// clears and refills its map on every call.
TEST_F(CQIRVNFSupportTest, ConcurrentLookupsOnOneObjectAreSafe) {
  WriteAll(tmp_ / "servers.json", kServerList);
  CQIRVNFSupport vnf;
  std::vector<std::thread> threads;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      char result[64];
      for (int i = 0; i < 25; ++i) {
        if (vnf.GetServerIP("web0", "sig", result, sizeof(result)) == 1 &&
            strcmp(result, "10.0.0.5") == 0) {
          ++found;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(100, found.load());
}
