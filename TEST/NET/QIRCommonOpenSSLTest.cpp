#include "QIRCommonOpenSSL.h"

#include "CQIRServiceLog.h"
#include "NET/QIRNetTestUtil.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Outcome {
  bool serverOk = false, clientOk = false;  // handshake on each side
  bool serverH2 = false, clientH2 = false;  // QIR_SSL_SELECT_ALPN on each side
  bool reused = false;
  std::string serverPeer;        // QIR_SSL_PEER_IDENTITY on the server side
  std::string sni;               // the name the server was asked for
  std::string serverCN;          // the certificate the client was shown
  int chainLength = 0;           // certificates the server sent
  std::shared_ptr<SSL_SESSION> session;
};

// One handshake over a socketpair, the server on a thread. _setup adjusts the
// client's SSL first.
Outcome Handshake(SSL_CTX* _server, SSL_CTX* _client, std::function<void(SSL*)> _setup = {}) {
  Outcome o;
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  SSL_CTX* current = QIR_SSL_CTX_ACQUIRE(_server);  // as the socket layer does
  SSL* s = SSL_new(current);
  SSL_CTX_free(current);
  SSL* c = SSL_new(_client);
  SSL_set_fd(s, sv[0]);
  SSL_set_fd(c, sv[1]);
  if (_setup) _setup(c);
  std::thread server([&] {
    if ((o.serverOk = SSL_accept(s) == 1)) {
      o.serverH2 = QIR_SSL_SELECT_ALPN(s, "server");
      char peer[1024];
      QIR_SSL_PEER_IDENTITY(s, peer, sizeof(peer));
      o.serverPeer = peer;
      const char* name = SSL_get_servername(s, TLSEXT_NAMETYPE_host_name);
      o.sni = name != nullptr ? name : "";
      SSL_shutdown(s);  // a clean close keeps the session resumable
    }
    shutdown(sv[0], SHUT_RDWR);
  });
  if ((o.clientOk = SSL_connect(c) == 1)) {
    o.clientH2 = QIR_SSL_SELECT_ALPN(c, nullptr);
    o.reused = SSL_session_reused(c) == 1;
    o.session.reset(SSL_get1_session(c), SSL_SESSION_free);
    char cn[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(SSL_get0_peer_certificate(c)), NID_commonName,
                              cn, sizeof(cn));
    o.serverCN = cn;
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(c);
    o.chainLength = chain != nullptr ? sk_X509_num(chain) : 0;
    SSL_shutdown(c);
  }
  shutdown(sv[1], SHUT_RDWR);
  server.join();
  SSL_free(s);
  SSL_free(c);
  close(sv[0]);
  close(sv[1]);
  ERR_clear_error();
  return o;
}

class QIRCommonOpenSSLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
    QIR_SSL_INIT();
    QIR_SSL_THREAD_SETUP();
    server_ = ServerCtx("selfsigned");
    client_ = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
    ASSERT_TRUE(server_ && client_);
    trusting_ = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, QIRTrustPki().Pem("ca").c_str());
    ASSERT_NE(nullptr, trusting_);
  }
  void TearDown() override {
    SSL_CTX_free(server_);
    SSL_CTX_free(client_);
    SSL_CTX_free(trusting_);
    QIR_SSL_THREAD_CLEANUP();
    QIR_SSL_CLEANUP();
    QIR_CLOSE_SERVICE_LOG();
  }
  static SSL_CTX* ServerCtx(const std::string& _leaf) {
    return QIR_SSL_CREATE_SERVER_CTX(QIRTrustPki().Key(_leaf).c_str(), QIRTrustPki().Pem(_leaf).c_str(), nullptr);
  }
  SSL_CTX* server_ = nullptr;
  SSL_CTX* client_ = nullptr;
  SSL_CTX* trusting_ = nullptr;  // default mode with ca.pem loaded
};

}  // namespace

// Client modes against server certificates. "host" is what the client
// connected to; a refusal names its reason in an Error line, and
// QIR_CERT_VERIFY_IGNORE (exactly "true" or "TRUE") overrides any refusal
// with a Warning.
TEST_F(QIRCommonOpenSSLTest, ClientVerificationModes) {
  QIRTlsTestCerts& pki = QIRTrustPki();
  enum Mode { kDefault, kDefaultWithCa, kStrict, kStrictTrustingLeaf };
  const struct {
    const char* leaf;
    Mode mode;
    const char* host;
    const char* refusal;           // null: the handshake completes
    const char* ignore = nullptr;  // QIR_CERT_VERIFY_IGNORE
  } cases[] = {
      // The cells h2sync-client meets against nghttpd are checked there.
      // Default with a CA: the chain counts, the host does not.
      {"good", kDefaultWithCa, "localhost", nullptr},
      {"wronghost", kDefaultWithCa, "localhost", nullptr},
      {"expired", kDefaultWithCa, "localhost", "expired"},
      {"unknownca", kDefaultWithCa, "localhost", "unknown CA"},
      // Strict: the CA file only, and the name or address connected to.
      {"good", kStrict, "127.0.0.2", "host mismatch"},
      {"wronghost", kStrict, "127.0.0.1", "host mismatch"},
      {"unknownca", kStrict, "localhost", "unknown CA"},
      {"selfsigned", kStrictTrustingLeaf, "localhost", nullptr},
      {"expired", kStrict, "localhost", nullptr, "true"},
      {"wronghost", kStrict, "localhost", nullptr, "TRUE"},
      {"expired", kStrict, "localhost", "expired", "True"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.leaf) + " mode " + std::to_string(c.mode) + " " + c.host + " " +
                 (c.ignore ? c.ignore : "-"));
    ScopedEnv env("QIR_CERT_VERIFY_IGNORE", c.ignore);
    SSL_CTX* server = QIR_SSL_CREATE_SERVER_CTX(pki.Key(c.leaf).c_str(), pki.Pem(c.leaf).c_str(),
                                                nullptr, QIR_SSL_VERIFY_CLIENT_NONE);
    const std::string ca = pki.Pem("ca");
    SSL_CTX* client =
        QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, c.mode == kDefaultWithCa ? ca.c_str() : nullptr);
    ASSERT_TRUE(server && client);
    if (c.mode == kStrict) {
      ASSERT_EQ(0, QIR_SSL_CTX_SET_STRICT_VERIFY(client, ca.c_str()));
    }
    if (c.mode == kStrictTrustingLeaf) {
      ASSERT_EQ(0, QIR_SSL_CTX_SET_STRICT_VERIFY(client, pki.Pem(c.leaf).c_str()));
    }
    Outcome o;
    auto prepare = [&](SSL* _ssl) { ASSERT_TRUE(QIR_SSL_PREPARE_CLIENT(_ssl, c.host)); };
    std::string log = Captured([&] { o = Handshake(server, client, prepare); });
    EXPECT_EQ(c.refusal == nullptr, o.clientOk && o.serverOk) << log;
    if (c.refusal != nullptr) {
      EXPECT_TRUE(Has(log, std::string("certificate refused: ") + c.refusal)) << log;
    }
    const bool ignored = c.ignore != nullptr && c.refusal == nullptr;
    EXPECT_EQ(ignored, Has(log, "QIR_CERT_VERIFY_IGNORE: certificate error ignored")) << log;
    // Only the lenient modes say so, once per context.
    const bool lenient = c.mode == kDefault || c.mode == kDefaultWithCa;
    EXPECT_EQ(lenient, Has(log, "server certificates are not authenticated")) << log;
    std::string again = Captured([&] { Handshake(server, client, prepare); });
    EXPECT_FALSE(Has(again, "server certificates are not authenticated"));
    SSL_CTX_free(client);
    SSL_CTX_free(server);
  }
  EXPECT_EQ(-1, QIR_SSL_CTX_SET_STRICT_VERIFY(client_, pki.Path("missing.pem").c_str()));
}

// Client certificates against VERIFY_CLIENT, with SSL_CA_FILE and without
// ("n/a"): served or refused, and the identity the server then reports.
TEST_F(QIRCommonOpenSSLTest, ServerVerifyClientMatrix) {
  QIRTlsTestCerts& pki = QIRTrustPki();
  const int kOptional = QIR_SSL_VERIFY_CLIENT_OPTIONAL, kRequire = QIR_SSL_VERIFY_CLIENT_REQUIRE;
  const std::string verified = "subject=CN=client san=DNS:client.example,IP:10.0.0.7";
  const struct {
    int mode;
    bool withCa;
    const char* clientCert;  // null: none
    bool served;
    std::string identity;
  } cases[] = {
      // With the CA file, served or refused and the identity per mode are
      // checked end to end against curl and Go's client; here the chain.
      {kRequire, true, "client", true, verified},
      // No CA file: a self-signed certificate passes, unauthenticated.
      {kOptional, false, nullptr, true, "none"},     {kOptional, false, "client-self", true, "none"},
      {kOptional, false, "client-expired", false, ""},
  };
  const std::string ca = pki.Pem("ca");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + (c.withCa ? " ca " : " n/a ") +
                 (c.clientCert ? c.clientCert : "-"));
    SSL_CTX* server = QIR_SSL_CREATE_SERVER_CTX(pki.Key("good").c_str(), pki.Pem("good").c_str(),
                                                c.withCa ? ca.c_str() : nullptr, c.mode);
    std::string key = c.clientCert ? pki.Key(c.clientCert) : "", pem = c.clientCert ? pki.Pem(c.clientCert) : "";
    SSL_CTX* client = QIR_SSL_CREATE_CLIENT_CTX(c.clientCert ? key.c_str() : nullptr,
                                                c.clientCert ? pem.c_str() : nullptr, ca.c_str());
    ASSERT_TRUE(server && client);
    Outcome o = Handshake(server, client);
    EXPECT_EQ(c.served, o.serverOk && o.clientOk);
    if (c.served) {
      EXPECT_EQ(c.identity, o.serverPeer);
      // The certificate file holds the leaf alone: with the CA file the
      // server completes its chain from the verify store.
      EXPECT_EQ(c.withCa ? 2 : 1, o.chainLength);
    }
    SSL_CTX_free(client);
    SSL_CTX_free(server);
  }
  Captured([&] {
    EXPECT_EQ(nullptr, QIR_SSL_CREATE_SERVER_CTX(pki.Key("good").c_str(), pki.Pem("good").c_str(),
                                                 nullptr, kRequire));
  });
  EXPECT_EQ(kRequire, QIR_SSL_PARSE_VERIFY_CLIENT("Require"));
  EXPECT_EQ(-1, QIR_SSL_PARSE_VERIFY_CLIENT("yes"));
}

// Two servers in one process: each keeps its own certificate whatever name
// the client sends. The client sends SNI for names, never for addresses.
TEST_F(QIRCommonOpenSSLTest, EachServerContextKeepsItsCertificateWhateverTheName) {
  QIRTlsTestCerts& pki = QIRTrustPki();
  SSL_CTX* good = QIR_SSL_CREATE_SERVER_CTX(pki.Key("good").c_str(), pki.Pem("good").c_str(), nullptr);
  SSL_CTX* other = ServerCtx("selfsigned");  // the context made last
  ASSERT_TRUE(good && other);
  const struct {
    const char* host;
    const char* sni;
  } cases[] = {{"other.example", "other.example"}, {"127.0.0.1", ""}, {"::1", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    Outcome o = Handshake(good, trusting_, [&](SSL* _ssl) { QIR_SSL_PREPARE_CLIENT(_ssl, c.host); });
    EXPECT_TRUE(o.serverOk && o.serverH2);
    EXPECT_EQ(c.sni, o.sni);
    EXPECT_EQ("good", o.serverCN);
  }
  SSL_CTX_free(other);
  SSL_CTX_free(good);
}

// HTTP/2 forbids TLS below 1.2 and the blocklisted TLS 1.2 suites.
TEST_F(QIRCommonOpenSSLTest, OnlyAeadSuitesFromTls12Up) {
  const struct {
    const char* ciphers;
    int maxVersion;
    bool ok;
  } cases[] = {{"ECDHE-ECDSA-AES128-GCM-SHA256", TLS1_2_VERSION, true},
               {"ECDHE-ECDSA-CHACHA20-POLY1305", TLS1_2_VERSION, true},
               {"ECDHE-ECDSA-AES128-SHA256", TLS1_2_VERSION, false},
               {"ECDHE-ECDSA-AES256-SHA384", TLS1_2_VERSION, false},
               {"ECDHE-ECDSA-AES128-SHA", TLS1_2_VERSION, false},
               {"ALL:@SECLEVEL=0", TLS1_1_VERSION, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ciphers);
    SSL_CTX* client = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(nullptr, client);
    SSL_CTX_set_min_proto_version(client, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(client, c.maxVersion);
    ASSERT_EQ(1, SSL_CTX_set_cipher_list(client, c.ciphers));
    SSL_CTX_set_alpn_protos(client, ALPN_PROTOS, sizeof(ALPN_PROTOS));
    Outcome o = Handshake(server_, client);
    EXPECT_EQ(c.ok, o.serverOk && o.clientOk);
    SSL_CTX_free(client);
  }
}

// A server that asks for client certificates needs a session id context, or
// OpenSSL aborts every resumed handshake.
TEST_F(QIRCommonOpenSSLTest, ResumedSessionIsNotRefusedForMissingSessionIdContext) {
  Outcome first = Handshake(server_, client_);
  ASSERT_NE(nullptr, first.session);
  Outcome again = Handshake(server_, client_, [&](SSL* _ssl) { SSL_set_session(_ssl, first.session.get()); });
  EXPECT_TRUE(again.serverOk && again.clientOk && again.reused && again.serverH2);
}

TEST_F(QIRCommonOpenSSLTest, ExpiryDateOfACertificate) {
  QIRTlsTestCerts pki;
  ASSERT_TRUE(pki.Leaf("known", "", "DNS:known", " -startdate 20200101000000Z -enddate 20301105093000Z"));
  char out[15] = "";
  EXPECT_TRUE(QIR_SSL_GET_CERT_EXPIRE_DATE(pki.Pem("known").c_str(), out));
  EXPECT_STREQ("20301105093000", out);  // the space-padded day reads as 05
  EXPECT_FALSE(QIR_SSL_GET_CERT_EXPIRE_DATE(pki.Key("known").c_str(), out));
  EXPECT_EQ(1, CONV_STRTIME("Foo 12 01:02:03.250 2031 GMT", out));
  EXPECT_STREQ("20310012010203", out);  // an unknown month reads as 00
  EXPECT_EQ(0, CONV_STRTIME("Nov 5", out));
}
