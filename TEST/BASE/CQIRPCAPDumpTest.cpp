#include "CQIRPCAPDump.h"

#include "CQIRServiceLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> ReadAll(const std::string& _file) {
  std::ifstream f(_file, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

uint32_t Host32(const std::vector<unsigned char>& _b, size_t _at) {
  uint32_t v;
  memcpy(&v, &_b[_at], 4);
  return v;
}
uint16_t Host16(const std::vector<unsigned char>& _b, size_t _at) {
  uint16_t v;
  memcpy(&v, &_b[_at], 2);
  return v;
}
uint16_t Net16(const std::vector<unsigned char>& _b, size_t _at) { return ntohs(Host16(_b, _at)); }

std::string Output(const std::string& _cmd) {
  std::string out;
  if (FILE* f = popen((_cmd + " 2>/dev/null").c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof(line), f)) out += line;
    pclose(f);
  }
  return out;
}

// Records per file, walking the record headers.
int CountRecords(const std::string& _file) {
  std::vector<unsigned char> b = ReadAll(_file);
  size_t at = 24;
  int n = 0;
  while (at + 16 <= b.size()) {
    at += 16 + Host32(b, at + 8);
    ++n;
  }
  return at == b.size() ? n : -1;
}

class CQIRPCAPDumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
    char tmpl[] = "/tmp/qir-pcap-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    QIR_CLOSE_SERVICE_LOG();
  }
  std::vector<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.insert(e.path());
    return std::vector<std::string>(names.begin(), names.end());
  }
  std::string dir_;
};

}  // namespace

TEST_F(CQIRPCAPDumpTest, FileAndRecordLayout) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "trace", 1 << 20, "192.168.1.10", "10.0.0.2"));
  const std::string file = dump.GetFileName();
  // "<path>/<name>.<14 digits>.pcap"
  ASSERT_EQ(dir_ + "/trace.", file.substr(0, dir_.size() + 7));
  EXPECT_EQ(dir_.size() + 7 + 14 + 5, file.size());
  EXPECT_EQ(".pcap", file.substr(file.size() - 5));

  dump.Finalize();
  std::vector<unsigned char> b = ReadAll(file);
  ASSERT_EQ(24u, b.size());
  EXPECT_EQ(0xA1B2C3D4u, Host32(b, 0));
  EXPECT_EQ(2, Host16(b, 4));
  EXPECT_EQ(4, Host16(b, 6));
  EXPECT_EQ(0u, Host32(b, 8));
  EXPECT_EQ(0u, Host32(b, 12));
  EXPECT_EQ(80u, Host32(b, 16));
  EXPECT_EQ(1u, Host32(b, 20));

  ASSERT_EQ(1, dump.Open());
  std::string message(100, 'm');
  const time_t before = time(nullptr);
  ASSERT_TRUE(dump.Write(message.data(), 100));
  dump.Finalize();
  dump.Finalize();  // harmless
  b = ReadAll(dump.GetFileName());
  ASSERT_EQ(24u + 158u, b.size());
  const size_t r = 24;
  EXPECT_GE(Host32(b, r), static_cast<uint32_t>(before));
  EXPECT_LT(Host32(b, r + 4), 1000000u);
  EXPECT_EQ(142u, Host32(b, r + 8));
  EXPECT_EQ(142u, Host32(b, r + 12));
  const unsigned char macs[12] = {0, 1, 1, 0, 0, 2, 0, 1, 1, 0, 0, 1};
  EXPECT_EQ(0, memcmp(macs, &b[r + 16], 12));
  EXPECT_EQ(0x0800, Net16(b, r + 28));
  EXPECT_EQ(0x45, b[r + 30]);
  EXPECT_EQ(0x02, b[r + 31]);
  EXPECT_EQ(128, Net16(b, r + 32));
  EXPECT_EQ(0, Net16(b, r + 34));
  EXPECT_EQ(0x4000, Net16(b, r + 36));
  EXPECT_EQ(64, b[r + 38]);
  EXPECT_EQ(17, b[r + 39]);
  EXPECT_EQ(0, Net16(b, r + 40));
  const unsigned char ips[8] = {192, 168, 1, 10, 10, 0, 0, 2};
  EXPECT_EQ(0, memcmp(ips, &b[r + 42], 8));
  EXPECT_EQ(3868, Net16(b, r + 50));
  EXPECT_EQ(3868, Net16(b, r + 52));
  EXPECT_EQ(108, Net16(b, r + 54));
  EXPECT_EQ(0, Net16(b, r + 56));
  EXPECT_EQ(message, std::string(b.begin() + r + 58, b.end()));
}

// The analyser reads every record with the values written.
TEST_F(CQIRPCAPDumpTest, AnalyserOpensTheFile) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "t", 1 << 20, "127.0.0.1", "127.0.0.2"));
  const int sizes[] = {1, 100, 1400, 20000};
  for (int size : sizes) ASSERT_TRUE(dump.Write(std::string(size, 'p').data(), size));
  dump.Finalize();
  if (system("command -v capinfos >/dev/null 2>&1") != 0) GTEST_SKIP() << "capinfos missing";
  std::string info = Output("capinfos -c -M " + std::string(dump.GetFileName()));
  EXPECT_NE(std::string::npos, info.find("Number of packets:   4")) << info;
  std::string fields =
      Output("tshark -r " + std::string(dump.GetFileName()) + " -T fields -e ip.src -e ip.dst -e udp.srcport -e udp.length");
  EXPECT_EQ("127.0.0.1\t127.0.0.2\t3868\t9\n127.0.0.1\t127.0.0.2\t3868\t108\n"
            "127.0.0.1\t127.0.0.2\t3868\t1408\n127.0.0.1\t127.0.0.2\t3868\t20008\n",
            fields);
}

// One record above the analysers' 262144-byte maximum used to make them
// refuse the whole file; such a message is now cut, its length kept.
TEST_F(CQIRPCAPDumpTest, OversizedMessageKeepsTheFileReadable) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "big", 1 << 30, "127.0.0.1", "127.0.0.2"));
  ASSERT_TRUE(dump.Write(std::string(300000, 'b').data(), 300000));
  ASSERT_TRUE(dump.Write("after", 5));
  dump.Finalize();
  std::vector<unsigned char> b = ReadAll(dump.GetFileName());
  EXPECT_EQ(262144u, Host32(b, 24 + 8));
  EXPECT_EQ(300042u, Host32(b, 24 + 12));
  EXPECT_EQ(0xFFFF, Net16(b, 24 + 32));          // IP length at its maximum
  EXPECT_EQ(0xFFFF - 20, Net16(b, 24 + 54));     // UDP length within it
  EXPECT_EQ(2, CountRecords(dump.GetFileName()));
  if (system("command -v capinfos >/dev/null 2>&1") != 0) GTEST_SKIP() << "capinfos missing";
  std::string info = Output("capinfos -c -M " + std::string(dump.GetFileName()));
  EXPECT_NE(std::string::npos, info.find("Number of packets:   2")) << info;
}

TEST_F(CQIRPCAPDumpTest, RolloverAfterTheSizeLimit) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "roll", 1000, "1.1.1.1", "2.2.2.2"));
  const std::string first = dump.GetFileName();
  ASSERT_TRUE(dump.Write(std::string(976, 'a').data(), 976));  // 1000 counted: not past
  ASSERT_TRUE(dump.Write("b", 1));                             // 1001: the next one rolls
  EXPECT_EQ(first, dump.GetFileName());
  // Names change by the second: wait for the next one (bounded) to see a new file.
  for (int i = 0; i < 300 && std::string(dump.GetFileName()) == first; ++i) {
    struct timespec ms10 = {0, 10 * 1000 * 1000};
    nanosleep(&ms10, nullptr);
    ASSERT_TRUE(dump.Write("c", 1));
  }
  EXPECT_NE(first, dump.GetFileName());
  dump.Finalize();
  std::vector<std::string> files = Files();
  ASSERT_EQ(2u, files.size());
  EXPECT_EQ(1, CountRecords(dump.GetFileName()));
}

// A limit of 0 rolls over on every record; two files of the same second
// share a name, and reopening it used to wipe the records already written.
TEST_F(CQIRPCAPDumpTest, RolloverWithinOneSecondLosesNoRecords) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "zero", 0, "1.1.1.1", "2.2.2.2"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(dump.Write("x", 1));
  dump.Finalize();
  int total = 0;
  for (const std::string& f : Files()) {
    int n = CountRecords(f);
    ASSERT_GE(n, 0) << f;
    total += n;
  }
  EXPECT_EQ(20, total);
}

TEST_F(CQIRPCAPDumpTest, RefusesWhatDoesNotFit) {
  const std::string longPath(5000, 'p');
  const std::string half(3000, 'h');  // each fits, the file name would not
  const std::string longIP(64, '1');
  const struct {
    const char* path;
    const char* name;
    const char* src;
  } cases[] = {
      {longPath.c_str(), "n", "1.1.1.1"},
      {dir_.c_str(), longPath.c_str(), "1.1.1.1"},
      {half.c_str(), half.c_str(), "1.1.1.1"},
      {dir_.c_str(), "n", longIP.c_str()},
      {dir_.c_str(), nullptr, "1.1.1.1"},
      {"/nonexistent/dir", "n", "1.1.1.1"},
  };
  for (const auto& c : cases) {
    CQIRPCAPDump dump;
    EXPECT_EQ(0, dump.Initialize(c.path, c.name, 100, c.src, "2.2.2.2"));
    EXPECT_FALSE(dump.Write("x", 1));
  }
  EXPECT_TRUE(Files().empty());
}
