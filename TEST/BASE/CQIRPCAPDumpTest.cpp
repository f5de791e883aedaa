#include "CQIRPCAPDump.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

using qirtest::ReadAll;

namespace {

uint32_t U32(const std::string& _b, size_t _at) {
  uint32_t v = 0;
  memcpy(&v, &_b[_at], 4);
  return v;
}
uint16_t N16(const std::string& _b, size_t _at) {
  uint16_t v = 0;
  memcpy(&v, &_b[_at], 2);
  return ntohs(v);
}

// Records in a file, walking the record headers; -1 when they do not add up.
int CountRecords(const std::string& _file) {
  std::string b = ReadAll(_file);
  size_t at = 24;
  int n = 0;
  for (; at + 16 <= b.size(); ++n) at += 16 + U32(b, at + 8);
  return at == b.size() ? n : -1;
}

// What _cmd prints.
std::string Output(const std::string& _cmd) {
  std::string out;
  qirtest::RunCmd(_cmd, &out);
  return out;
}

class CQIRPCAPDumpTest : public ::testing::Test {
 protected:
  void SetUp() override { QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL); }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(tmp_.path())) names.push_back(e.path());
    return names;
  }
  qirtest::TempDir tmp_;
  const char* dir_ = tmp_.path().c_str();
};

}  // namespace

TEST_F(CQIRPCAPDumpTest, AnalyserReadsTheRecords) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_, "trace", 1 << 20, "192.168.1.10", "10.0.0.2"));
  const std::string file = dump.GetFileName();  // <path>/<name>.<14 digits>.pcap
  EXPECT_EQ(tmp_ / "trace.", file.substr(0, tmp_.path().size() + 7));
  EXPECT_EQ(tmp_.path().size() + 7 + 14 + 5, file.size());
  for (int size : {1, 1400, 20000}) ASSERT_TRUE(dump.Write(std::string(size, 'p').data(), size));
  dump.Finalize();
  dump.Finalize();  // harmless
  // Little-endian host: magic, version 2.4, zone, accuracy, snap length 80, Ethernet.
  const std::string b = ReadAll(file);
  EXPECT_EQ(std::string("\xD4\xC3\xB2\xA1\2\0\4\0\0\0\0\0\0\0\0\0\x50\0\0\0\1\0\0\0", 24),
            b.substr(0, 24));
  EXPECT_EQ(3, CountRecords(file));
  EXPECT_EQ(std::string(20000, 'p'), b.substr(b.size() - 20000));
  if (!qirtest::HaveCommand("tshark")) GTEST_SKIP() << "tshark missing";
  EXPECT_EQ("192.168.1.10\t10.0.0.2\t3868\t9\n192.168.1.10\t10.0.0.2\t3868\t1408\n"
            "192.168.1.10\t10.0.0.2\t3868\t20008\n",
            Output("tshark -r " + file + " -T fields -e ip.src -e ip.dst -e udp.dstport -e udp.length"));
}

// One record above the analysers' 262144-byte maximum used to make them
// refuse the whole file; such a message is cut, its length kept.
TEST_F(CQIRPCAPDumpTest, OversizedMessageKeepsTheFileReadable) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_, "big", 1 << 30, "127.0.0.1", "127.0.0.2"));
  ASSERT_TRUE(dump.Write(std::string(300000, 'b').data(), 300000));
  ASSERT_TRUE(dump.Write("after", 5));
  dump.Finalize();
  std::string b = ReadAll(dump.GetFileName());
  EXPECT_EQ(262144u, U32(b, 24 + 8));
  EXPECT_EQ(300042u, U32(b, 24 + 12));
  EXPECT_EQ(0xFFFF, N16(b, 24 + 32));       // IP length at its maximum
  EXPECT_EQ(0xFFFF - 20, N16(b, 24 + 54));  // UDP length within it
  EXPECT_EQ(2, CountRecords(dump.GetFileName()));
  if (!qirtest::HaveCommand("capinfos")) GTEST_SKIP() << "capinfos missing";
  const std::string info = Output("capinfos -c -M " + std::string(dump.GetFileName()));
  EXPECT_TRUE(qirtest::Has(info, "Number of packets:   2")) << info;
}

// With a limit of 0 every record rolls over, and files of the same second
// share a name: reopening it used to wipe the records already written.
TEST_F(CQIRPCAPDumpTest, RolloverWithinOneSecondLosesNoRecords) {
  CQIRPCAPDump dump;
  ASSERT_EQ(1, dump.Initialize(dir_, "zero", 0, "1.1.1.1", "2.2.2.2"));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(dump.Write("x", 1));
  dump.Finalize();
  int total = 0;
  for (const std::string& f : Files()) total += CountRecords(f);
  EXPECT_EQ(20, total);
}

TEST_F(CQIRPCAPDumpTest, RefusesWhatDoesNotFit) {
  const std::string tooLong(5000, 'p'), half(3000, 'h'), longIP(64, '1');
  const struct { const char *path, *name, *src; } cases[] = {
      {tooLong.c_str(), "n", "1.1.1.1"}, {dir_, tooLong.c_str(), "1.1.1.1"},
      {half.c_str(), half.c_str(), "1.1.1.1"},  // each fits, the file name would not
      {dir_, "n", longIP.c_str()}, {dir_, nullptr, "1.1.1.1"}, {"/nonexistent/dir", "n", "1.1.1.1"}};
  for (const auto& c : cases) {
    CQIRPCAPDump dump;
    EXPECT_EQ(0, dump.Initialize(c.path, c.name, 100, c.src, "2.2.2.2"));
    EXPECT_FALSE(dump.Write("x", 1));
  }
  EXPECT_TRUE(Files().empty());
}
