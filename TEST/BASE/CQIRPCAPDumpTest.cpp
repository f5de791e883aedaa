#include "CQIRPCAPDump.h"

#include "CQIRServiceLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadAll(const std::string& _file) {
  std::ifstream f(_file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
uint32_t U32(const Bytes& _b, size_t _at) {
  uint32_t v;
  memcpy(&v, &_b[_at], 4);
  return v;
}
uint16_t U16(const Bytes& _b, size_t _at) {
  uint16_t v;
  memcpy(&v, &_b[_at], 2);
  return v;
}
uint16_t N16(const Bytes& _b, size_t _at) { return ntohs(U16(_b, _at)); }

// Records in a file, walking the record headers; -1 when they do not add up.
int CountRecords(const std::string& _file) {
  Bytes b = ReadAll(_file);
  size_t at = 24;
  int n = 0;
  for (; at + 16 <= b.size(); ++n) at += 16 + U32(b, at + 8);
  return at == b.size() ? n : -1;
}

std::string Output(const std::string& _cmd) {
  std::string out;
  if (FILE* f = popen((_cmd + " 2>/dev/null").c_str(), "r")) {
    char line[512];
    while (fgets(line, sizeof(line), f)) out += line;
    pclose(f);
  }
  return out;
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
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path());
    return names;
  }
  std::string dir_;
};

}  // namespace

TEST_F(CQIRPCAPDumpTest, FileAndRecordLayout) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "trace", 1 << 20, "192.168.1.10", "10.0.0.2"));
  const std::string file = dump.GetFileName();  // <path>/<name>.<14 digits>.pcap
  EXPECT_EQ(dir_ + "/trace.", file.substr(0, dir_.size() + 7));
  EXPECT_EQ(dir_.size() + 7 + 14 + 5, file.size());
  dump.Finalize();
  Bytes b = ReadAll(file);
  const Bytes header = {0xD4, 0xC3, 0xB2, 0xA1, 2,  0, 4, 0, 0, 0, 0, 0,
                        0,    0,    0,    0,    80, 0, 0, 0, 1, 0, 0, 0};
  EXPECT_EQ(header, b);  // little-endian host

  ASSERT_EQ(1, dump.Open());
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_TRUE(dump.Write(std::string(100, 'm').data(), 100));
  dump.Finalize();
  dump.Finalize();  // harmless
  b = ReadAll(dump.GetFileName());
  ASSERT_EQ(24u + 158u, b.size());
  const size_t r = 24;
  EXPECT_GE(U32(b, r), before);
  EXPECT_LT(U32(b, r + 4), 1000000u);
  EXPECT_EQ(142u, U32(b, r + 8));
  EXPECT_EQ(142u, U32(b, r + 12));
  const Bytes packet = {0, 1, 1, 0, 0, 2, 0, 1, 1, 0, 0, 1, 0x08, 0x00,  // Ethernet
                        0x45, 0x02, 0, 128, 0, 0, 0x40, 0, 64, 17, 0, 0,  // IPv4
                        192, 168, 1, 10, 10, 0, 0, 2,                     //   addresses
                        0x0F, 0x1C, 0x0F, 0x1C, 0, 108, 0, 0};            // UDP 3868
  EXPECT_EQ(packet, Bytes(b.begin() + r + 16, b.begin() + r + 58));
  EXPECT_EQ(std::string(100, 'm'), std::string(b.begin() + r + 58, b.end()));
}

TEST_F(CQIRPCAPDumpTest, AnalyserReadsTheRecords) {
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark missing";
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "t", 1 << 20, "127.0.0.1", "127.0.0.2"));
  for (int size : {1, 1400, 20000}) ASSERT_TRUE(dump.Write(std::string(size, 'p').data(), size));
  dump.Finalize();
  EXPECT_EQ(
      "127.0.0.1\t127.0.0.2\t3868\t9\n"
      "127.0.0.1\t127.0.0.2\t3868\t1408\n"
      "127.0.0.1\t127.0.0.2\t3868\t20008\n",
      Output("tshark -r " + std::string(dump.GetFileName()) +
             " -T fields -e ip.src -e ip.dst -e udp.dstport -e udp.length"));
}

// One record above the analysers' 262144-byte maximum used to make them
// refuse the whole file; such a message is cut, its length kept.
TEST_F(CQIRPCAPDumpTest, OversizedMessageKeepsTheFileReadable) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "big", 1 << 30, "127.0.0.1", "127.0.0.2"));
  ASSERT_TRUE(dump.Write(std::string(300000, 'b').data(), 300000));
  ASSERT_TRUE(dump.Write("after", 5));
  dump.Finalize();
  Bytes b = ReadAll(dump.GetFileName());
  EXPECT_EQ(262144u, U32(b, 24 + 8));
  EXPECT_EQ(300042u, U32(b, 24 + 12));
  EXPECT_EQ(0xFFFF, N16(b, 24 + 32));       // IP length at its maximum
  EXPECT_EQ(0xFFFF - 20, N16(b, 24 + 54));  // UDP length within it
  EXPECT_EQ(2, CountRecords(dump.GetFileName()));
  if (system("command -v capinfos >/dev/null 2>&1") != 0) GTEST_SKIP() << "capinfos missing";
  EXPECT_TRUE(
      Output("capinfos -c -M " + std::string(dump.GetFileName())).find("Number of packets:   2") !=
      std::string::npos);
}

TEST_F(CQIRPCAPDumpTest, RolloverAfterTheSizeLimit) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "roll", 1000, "1.1.1.1", "2.2.2.2"));
  const std::string first = dump.GetFileName();
  ASSERT_TRUE(dump.Write(std::string(976, 'a').data(), 976));  // 1000 counted: not past
  ASSERT_TRUE(dump.Write("b", 1));
  EXPECT_EQ(first, dump.GetFileName());
  // Past the limit; the name changes with the second, so wait for the next.
  for (int i = 0; i < 300 && first == dump.GetFileName(); ++i) {
    const timespec tenMs = {0, 10 * 1000 * 1000};
    nanosleep(&tenMs, nullptr);
    ASSERT_TRUE(dump.Write("c", 1));
  }
  dump.Finalize();
  EXPECT_EQ(2u, Files().size());
  EXPECT_EQ(1, CountRecords(dump.GetFileName()));
}

// With a limit of 0 every record rolls over, and files of the same second
// share a name: reopening it used to wipe the records already written.
TEST_F(CQIRPCAPDumpTest, RolloverWithinOneSecondLosesNoRecords) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_.c_str(), "zero", 0, "1.1.1.1", "2.2.2.2"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(dump.Write("x", 1));
  dump.Finalize();
  int total = 0;
  for (const std::string& f : Files()) total += CountRecords(f);
  EXPECT_EQ(20, total);
}

TEST_F(CQIRPCAPDumpTest, RefusesWhatDoesNotFit) {
  const std::string tooLong(5000, 'p'), half(3000, 'h'), longIP(64, '1');
  const char* d = dir_.c_str();
  const struct {
    const char *path, *name, *src;
  } cases[] = {{tooLong.c_str(), "n", "1.1.1.1"},
               {d, tooLong.c_str(), "1.1.1.1"},
               {half.c_str(), half.c_str(), "1.1.1.1"},  // each fits, the file name would not
               {d, "n", longIP.c_str()},
               {d, nullptr, "1.1.1.1"},
               {"/nonexistent/dir", "n", "1.1.1.1"}};
  for (const auto& c : cases) {
    CQIRPCAPDump dump;
    EXPECT_EQ(0, dump.Initialize(c.path, c.name, 100, c.src, "2.2.2.2"));
    EXPECT_FALSE(dump.Write("x", 1));
  }
  EXPECT_TRUE(Files().empty());
}
