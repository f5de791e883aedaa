#include "CQIRVNFSupport.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using qirtest::Captured, qirtest::ScopedEnv, qirtest::TempDir, qirtest::WriteAll;

namespace {

// Component web0: sig twice (the first wins), oam with a 15-character address;
// elements the list skips; component db1.
const char kServerList[] = R"({"vnfcConfigurationData": [
    {"vnfcSpecificData": {"name": "web0", "interfaces": [
      {"address": "10.0.0.5", "networkInterfaceId": "sig"},
      {"address": "10.9.9.9", "networkInterfaceId": "sig"},
      {"address": "192.168.100.200", "networkInterfaceId": "oam"},
      {"address": null, "networkInterfaceId": "noaddr"}, {"networkInterfaceId": "missing"}]}},
    {"vnfcSpecificData": "not an object"}, {"other": 1},
    {"vnfcSpecificData": {"name": null, "interfaces": [
      {"address": "10.1.1.1", "networkInterfaceId": "x"}]}},
    {"vnfcSpecificData": {"name": "db1", "extra": true, "interfaces": [
      {"address": "fd00::1", "networkInterfaceId": "eth0"}]}}]})";

// Failures are logged: the console log is open, and their lines are captured.
class CQIRVNFSupportTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL)); }
  // GetServerIP's result, and its text or "untouched".
  std::pair<int, std::string> Lookup(const char* _server, const char* _ip, size_t _size = 64) {
    char result[64] = "untouched";
    int rc = 0;
    Captured([&] { rc = vnf_.GetServerIP(_server, _ip, result, _size); });
    return {rc, result};
  }
  TempDir tmp_;
  ScopedEnv list_{"QIR_SERVER_LIST", (tmp_ / "servers.json").c_str()};
  CQIRVNFSupport vnf_;
};

}  // namespace

TEST_F(CQIRVNFSupportTest, ServerAddressesFromTheList) {
  WriteAll(tmp_ / "servers.json", kServerList);
  const struct { const char *server, *ip, *address; } cases[] = {  // address nullptr: not found
      {"web0", "sig", "10.0.0.5"}, {"web0", "oam", "192.168.100.200"}, {"db1", "eth0", "fd00::1"},
      {"web0", "noaddr", nullptr}, {"web0", "missing", nullptr}, {"", "x", nullptr},
      {"db1", "sig", nullptr},
      {"web", "0sig", "10.0.0.5"}};  // the key is name and id run together
  for (const auto& c : cases) {
    EXPECT_EQ(std::make_pair(c.address ? 1 : 0, std::string(c.address ? c.address : "untouched")),
              Lookup(c.server, c.ip)) << c.server << ":" << c.ip;
  }
  // 15 characters and the NUL need 16 bytes.
  EXPECT_EQ(std::make_pair(1, std::string("192.168.100.200")), Lookup("web0", "oam", 16));
  EXPECT_EQ(0, Lookup("web0", "oam", 15).first);
}

// A fault ends the walk; the elements before it stay.
TEST_F(CQIRVNFSupportTest, BadListsEndTheWalk) {
  const std::string good = R"({"vnfcSpecificData": {"name": "ok", "interfaces": [{"address": "1.1.1.1",
      "networkInterfaceId": "i"}]}}, )";
  const std::string list = "{\"vnfcConfigurationData\": [";
  const struct { std::string json; bool okFound; } cases[] = {
      {list, false}, {"", false}, {"{\"vnfcConfigurationData\": 5}", false},
      {list + good + R"({"vnfcSpecificData": {"name": 7, "interfaces": []}}]})", true},
      {list + good + R"({"vnfcSpecificData": {"name": "b", "interfaces": {}}}]})", true},
      {list + good + R"({"vnfcSpecificData": {"name": "b", "interfaces": [{"address": 1,
          "networkInterfaceId": "i"}]}}]})", true}};
  for (const auto& c : cases) {
    WriteAll(tmp_ / "servers.json", c.json);
    EXPECT_EQ(c.okFound ? 1 : 0, Lookup("ok", "i").first) << c.json;
  }
}

// Bug: the recursive JSON parser let a list nested a hundred thousand deep
// overflow the stack (a crash in whatever thread read it). Read here on a
// thread with a 512 KiB stack, it is refused like any other bad list.
TEST_F(CQIRVNFSupportTest, DeeplyNestedListDoesNotOverflowTheStack) {
  WriteAll(tmp_ / "servers.json", std::string(100000, '[') + std::string(100000, ']'));
  struct Job { CQIRVNFSupport* vnf; int rc; } job = {&vnf_, -1};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 512 * 1024);
  pthread_t th;
  ASSERT_EQ(0, pthread_create(&th, &attr, [](void* _job) -> void* {
    Job* j = static_cast<Job*>(_job);
    char result[64];
    j->rc = j->vnf->GetServerIP("web0", "sig", result, sizeof(result));
    return nullptr;
  }, &job));
  pthread_join(th, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(0, job.rc);
}

// The INI container lets several threads read text values at once, and each
// such read may resolve a VNF reference through one shared object, which
// clears and refills its map on every call.
TEST_F(CQIRVNFSupportTest, ConcurrentLookupsOnOneObjectAreSafe) {
  WriteAll(tmp_ / "servers.json", kServerList);
  std::vector<std::thread> threads;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      char result[64];
      for (int i = 0; i < 25; ++i) {
        found += vnf_.GetServerIP("web0", "sig", result, sizeof(result)) == 1 &&
                 strcmp(result, "10.0.0.5") == 0;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(100, found.load());
}
