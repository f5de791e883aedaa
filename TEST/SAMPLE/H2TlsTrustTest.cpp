// TLS trust end to end: the sample servers asking for client certificates
// (curl with and without --cert, Go's x/net/http2 client), h2sync-client
// verifying servers that present good and bad certificates (nghttpd) and
// sending SNI (openssl s_server), and certificates rotated by SIGHUP while
// h2load keeps the server busy. Every certificate is made here with openssl.
#include "NET/QIRNetTestUtil.h"
#include "SAMPLE/H2SrvTestUtil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace h2srv_test;
using qirtest::Has;

const char* const kAsyncBinary = QIR_BINARY_DIR "/h2async-sample";
const char* const kGoSource = QIR_SOURCE_DIR "/TEST/SAMPLE/tls/h2client.go";
const char* const kGoClient = QIR_BINARY_DIR "/go-h2client";
const std::string kVerified = "subject=CN=client san=DNS:client.example,IP:10.0.0.7";

QIRTlsTestCerts& Pki() { return QIRTrustPki(); }

// The Go client, built once into the build tree from Debian's x/net sources
// without any network, and again only when its source changes.
bool GoClient() {
  struct stat src, bin;
  if (stat(kGoSource, &src) == 0 && stat(kGoClient, &bin) == 0 && bin.st_mtime >= src.st_mtime) {
    return true;
  }
  if (!HaveCommand("go") || access("/usr/share/gocode/src/golang.org/x/net/http2", R_OK) != 0) {
    return false;
  }
  return RunCmd("env GO111MODULE=off GOPATH=/usr/share/gocode GOPROXY=off GOFLAGS= GOCACHE=" QIR_BINARY_DIR
                "/go-cache go build -o " + std::string(kGoClient) + " " + kGoSource,
                nullptr, 300) == 0;
}

// The last line of _text that holds _piece ("" when none does).
std::string LineWith(const std::string& _text, const std::string& _piece) {
  std::string line;
  for (const std::string& l : qirtest::Lines(_text)) {
    if (Has(l, _piece)) line = l;
  }
  return line;
}

std::string Fingerprint(const std::string& _pem) {
  std::string out;
  RunCmd("openssl x509 -noout -fingerprint -sha256 -in " + _pem, &out);
  return out;
}

class H2TlsTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* bin : {kSampleBinary, kAsyncBinary, kClientBinary}) {
      if (access(bin, X_OK) != 0) GTEST_SKIP() << bin << " not built";
    }
    if (!HaveCommand("openssl")) GTEST_SKIP() << "openssl is not installed";
    Pki();
  }
  static std::string Tls(const std::string& _leaf, const std::string& _ca, const std::string& _verify) {
    std::string s = TlsLines(Pki().Key(_leaf), Pki().Pem(_leaf), _ca);
    return _verify.empty() ? s : s + "VERIFY_CLIENT = " + _verify + "\n";
  }
  int Client(const std::vector<std::string>& _args, std::string* _out) {
    return RunToEnd(kClientBinary, _args, dir_, _out);
  }
  // The certificate a TLS client is shown on _port.
  std::string ServedFingerprint(int _port) {
    std::string out;
    RunCmd("sh -c 'openssl s_client -connect 127.0.0.1:" + std::to_string(_port) +
               " -alpn h2 </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256'",
           &out);
    return out;
  }
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

// Client certificates against VERIFY_CLIENT with SSL_CA_FILE set: curl with
// and without --cert, and Go's client for the cells where verification
// decides. A served client's verified identity reaches the application
// (h2async-sample prints it) and the connect log line.
TEST_F(H2TlsTrustTest, ClientCertificatesAgainstVerifyClient) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  const bool go = GoClient();
  const char* certs[] = {nullptr, "client", "client-self", "client-other", "client-expired"};
  const struct {
    const char* mode;
    bool served[5];  // in the order of certs
  } modes[] = {{"none", {true, true, true, true, true}},
               {"optional", {true, true, false, false, false}},
               {"require", {false, true, false, false, false}}};
  for (const auto& m : modes) {
    SCOPED_TRACE(m.mode);
    int port = FreePort();
    SampleServer srv;
    ASSERT_TRUE(srv.Start(dir_, Ini(Tls("good", Pki().Pem("ca"), m.mode), 1, Ports(0, port)), {port},
                          kAsyncBinary))
        << srv.Output();
    const std::string url = "https://localhost:" + std::to_string(port) + "/";
    for (int i = 0; i < 5; ++i) {
      const char* c = certs[i];
      SCOPED_TRACE(c != nullptr ? c : "no certificate");
      std::string with = c != nullptr ? " --cert " + Pki().Pem(c) + " --key " + Pki().Key(c) : "";
      std::string code;
      RunCmd("curl --http2 -sS -o /dev/null -w '%{http_code}' --cacert " + Pki().Pem("ca") + with +
                 " -d x " + url,
             &code, 20);
      EXPECT_EQ(m.served[i] ? "200" : "000", code);
      if (go && (c == nullptr || i == 1 || i == 3)) {
        std::string out;
        std::string args = url + " " + Pki().Pem("ca") +
                           (c != nullptr ? " " + Pki().Pem(c) + " " + Pki().Key(c) : "");
        RunCmd(std::string(kGoClient) + " " + args, &out, 20, true);
        EXPECT_EQ(m.served[i], out.rfind("status 200 HTTP/2.0 hello", 0) == 0) << out;
      }
    }
    const std::string peer = std::string(m.mode) == "none" ? "none" : kVerified;
    EXPECT_TRUE(srv.Shows(") peer(" + peer + ")\n")) << srv.Output();
    EXPECT_TRUE(srv.Shows(",peer=" + peer + "\n")) << srv.Output();
    EXPECT_EQ(0, srv.Stop());
  }
  if (!go) GTEST_SKIP() << "Go's x/net/http2 client not built (Debian golang-go, golang-golang-x-net-dev)";
}

// h2sync-client against nghttpd presenting each kind of certificate, by
// default and with --cacert: connected, or refused with the reason named.
TEST_F(H2TlsTrustTest, ClientModesAgainstNghttpd) {
  if (!HaveCommand("nghttpd")) GTEST_SKIP() << "nghttpd is not installed";
  const char* leaves[] = {"good", "wronghost", "expired", "selfsigned"};
  std::vector<int> ports;
  std::vector<Proc*> servers;
  for (const char* leaf : leaves) {
    ports.push_back(FreePort());
    servers.push_back(new Proc({"nghttpd", "-d", dir_, std::to_string(ports.back()), Pki().Key(leaf),
                                Pki().Pem(leaf)},
                               dir_ + "/" + leaf + ".nghttpd"));
  }
  for (Proc* p : servers) ASSERT_TRUE(p->Listening(ports)) << p->Output();
  const struct {
    int leaf;
    bool strict;
    const char* host;
    const char* refusal;  // null: connected
  } cases[] = {
      // No CA of its own by default: only a self-signed server passes.
      {1, false, "localhost", "unknown CA"},  {2, false, "localhost", "unknown CA"},
      {3, false, "localhost", nullptr},       {0, true, "localhost", nullptr},
      {0, true, "127.0.0.1", nullptr},        {1, true, "localhost", "host mismatch"},
      {2, true, "localhost", "expired"},      {3, true, "localhost", "self-signed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(leaves[c.leaf]) + (c.strict ? " strict " : " default ") + c.host);
    std::vector<std::string> args = {"-h", c.host, "-p", std::to_string(ports[c.leaf]), "-c", "1"};
    if (c.strict) args.insert(args.end(), {"--cacert", Pki().Pem("ca")});
    std::string out;
    int rc = Client(args, &out);
    EXPECT_EQ(c.refusal == nullptr, Has(out, "Testing 1 Request!")) << out;
    if (c.refusal != nullptr) {
      EXPECT_EQ(1, rc);
      EXPECT_TRUE(Has(LineWith(out, std::string("certificate refused: ") + c.refusal), "[Error  ]"))
          << out;
    }
    EXPECT_EQ(!c.strict,
              Has(LineWith(out, "server certificates are not authenticated"), "[Warning]"));
  }
  for (Proc* p : servers) delete p;  // SIGKILL by pid
}

// SNI goes out for host names in every mode, never for addresses. s_server
// names what it was asked for once a handshake completes, so each mode gets
// a certificate it accepts.
TEST_F(H2TlsTrustTest, SniForHostNamesOnly) {
  const struct {
    const char* host;
    bool strict;
    bool sni;
  } cases[] = {{"localhost", false, true}, {"localhost", true, true}, {"127.0.0.1", false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + (c.strict ? " strict" : ""));
    const std::string leaf = c.strict ? "good" : "selfsigned";
    int port = FreePort();
    // Its standard input stays open: at end of input it would drop the client.
    Proc s({"openssl", "s_server", "-accept", std::to_string(port), "-alpn", "h2", "-cert",
            Pki().Pem(leaf), "-key", Pki().Key(leaf), "-servername", "localhost", "-cert2",
            Pki().Pem(leaf), "-key2", Pki().Key(leaf)},
           dir_ + "/s_server.out");
    ASSERT_TRUE(s.Listening({port})) << s.Output();
    std::vector<std::string> args = {"-h", c.host, "-p", std::to_string(port), "-c", "1"};
    if (c.strict) args.insert(args.end(), {"--cacert", Pki().Pem("ca")});
    std::string out;
    Client(args, &out);
    EXPECT_TRUE(s.Until([&] { return Has(s.Output(), "CIPHER is "); }, 5000)) << s.Output() << out;
    EXPECT_EQ(c.sni, Has(s.Output(), "Hostname in TLS extension: \"localhost\"")) << s.Output();
  }
}

// SIGHUP while h2load keeps connections busy: none of its requests fails,
// new handshakes show the new certificate, and a broken file keeps the one
// in service. Both servers handle the signal.
TEST_F(H2TlsTrustTest, SighupRotatesCertificatesWithoutDroppingRequests) {
  if (!HaveCommand("h2load")) GTEST_SKIP() << "h2load is not installed";
  for (const char* bin : {kSampleBinary, kAsyncBinary}) {
    SCOPED_TRACE(bin);
    const std::string key = dir_ + "/server.key", pem = dir_ + "/server.pem";
    auto Install = [&](const std::string& _leaf) {
      WriteAll(key + ".new", ReadAll(Pki().Key(_leaf)));
      WriteAll(pem + ".new", ReadAll(Pki().Pem(_leaf)));
      return rename((key + ".new").c_str(), key.c_str()) == 0 &&
             rename((pem + ".new").c_str(), pem.c_str()) == 0;
    };
    ASSERT_TRUE(Install("good"));
    int port = FreePort();
    SampleServer srv;
    ASSERT_TRUE(srv.Start(dir_, Ini(TlsLines(key, pem) + "VERIFY_CLIENT = none", 2, Ports(0, port)), {port}, bin))
        << srv.Output();
    EXPECT_EQ(Fingerprint(Pki().Pem("good")), ServedFingerprint(port));

    const size_t before = Count(srv.Output(), "Connect ");
    Proc load({"h2load", "-D", "3", "-c", "4", "-m", "10", "https://127.0.0.1:" + std::to_string(port) + "/"},
              dir_ + "/h2load.out");
    ASSERT_TRUE(srv.Shows("Connect ", before + 4)) << srv.Output();
    ASSERT_TRUE(Install("wronghost"));
    kill(srv.Pid(), SIGHUP);
    EXPECT_TRUE(srv.Shows("TLS reload: new handshakes use")) << srv.Output();
    EXPECT_EQ(Fingerprint(Pki().Pem("wronghost")), ServedFingerprint(port));
    EXPECT_EQ(0, load.Wait(30000));
    std::string figures = load.Output();
    EXPECT_TRUE(Has(figures, " 0 failed, 0 errored, 0 timeout")) << figures;
    EXPECT_FALSE(Has(figures, "requests: 0 total")) << figures;

    WriteAll(pem, "not a certificate\n");
    kill(srv.Pid(), SIGHUP);
    EXPECT_TRUE(srv.Shows("TLS reload failed!..the certificate in service stays")) << srv.Output();
    EXPECT_EQ(Fingerprint(Pki().Pem("wronghost")), ServedFingerprint(port));
    EXPECT_EQ(0, srv.Stop());
  }
}

}  // namespace
