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
  std::string version, cipher;
  SSL_CTX* serverCtx = nullptr;  // the context the server connection ended on
  std::shared_ptr<SSL_SESSION> session;
};

// One handshake over a socketpair, the server on a thread. _setup adjusts the
// client's SSL first.
Outcome Handshake(SSL_CTX* _server, SSL_CTX* _client, std::function<void(SSL*)> _setup = {}) {
  Outcome o;
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  SSL* s = SSL_new(_server);
  SSL* c = SSL_new(_client);
  SSL_set_fd(s, sv[0]);
  SSL_set_fd(c, sv[1]);
  if (_setup) _setup(c);
  std::thread server([&] {
    if ((o.serverOk = SSL_accept(s) == 1)) {
      o.serverH2 = QIR_SSL_SELECT_ALPN(s, "server");
      SSL_shutdown(s);  // a clean close keeps the session resumable
    }
    o.serverCtx = SSL_get_SSL_CTX(s);
    shutdown(sv[0], SHUT_RDWR);
  });
  if ((o.clientOk = SSL_connect(c) == 1)) {
    o.clientH2 = QIR_SSL_SELECT_ALPN(c, nullptr);
    o.reused = SSL_session_reused(c) == 1;
    o.version = SSL_get_version(c);
    o.cipher = SSL_get_cipher_name(c);
    o.session.reset(SSL_get1_session(c), SSL_SESSION_free);
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
    ASSERT_TRUE(pki_.MakeSelfSigned());
    server_ = ServerCtx("self");
    client_ = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
    ASSERT_TRUE(server_ && client_);
  }
  void TearDown() override {
    SSL_CTX_free(server_);
    SSL_CTX_free(client_);
    QIR_SSL_THREAD_CLEANUP();
    QIR_SSL_CLEANUP();
    QIR_CLOSE_SERVICE_LOG();
  }
  // A server context for <_name>.key and <_name>.pem.
  SSL_CTX* ServerCtx(const std::string& _name) {
    const std::string key = pki_.Path(_name + ".key"), pem = pki_.Path(_name + ".pem");
    return QIR_SSL_CREATE_SERVER_CTX(key.c_str(), pem.c_str(), nullptr);
  }
  QIRTlsTestPki pki_;
  SSL_CTX* server_ = nullptr;
  SSL_CTX* client_ = nullptr;
};

}  // namespace

TEST_F(QIRCommonOpenSSLTest, PeerCertificateVerification) {
  ASSERT_TRUE(pki_.MakeCaSigned());
  ASSERT_TRUE(pki_.MakeDated("expired", "20200101000000Z", "20200102000000Z"));
  const struct {
    const char* leaf;    // the server's key and certificate
    bool trustCa;        // the client loads ca.pem
    const char* ignore;  // QIR_CERT_VERIFY_IGNORE
    bool ok;
  } cases[] = {
      {"self", false, nullptr, true},  // a self-signed leaf is accepted as it is
      {"srv", true, nullptr, true},     {"srv", false, nullptr, false},
      {"srv", false, "true", true},     {"expired", false, nullptr, false},
      {"expired", false, "TRUE", true}, {"expired", false, "True", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.leaf) + (c.trustCa ? "+ca " : " ") + (c.ignore ? c.ignore : "-"));
    ScopedEnv env("QIR_CERT_VERIFY_IGNORE", c.ignore);
    const std::string ca = pki_.Path("ca.pem");
    SSL_CTX* server = ServerCtx(c.leaf);
    SSL_CTX* client = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, c.trustCa ? ca.c_str() : nullptr);
    ASSERT_TRUE(server && client);
    Outcome o = Handshake(server, client);
    EXPECT_EQ(c.ok, o.clientOk && o.serverOk);
    SSL_CTX_free(client);
    SSL_CTX_free(server);
  }
}

// Any server name moves the connection to the default server context, which
// must stay alive even when its creator has already freed it.
TEST_F(QIRCommonOpenSSLTest, ServerNameSwitchesToALiveDefaultContext) {
  SSL_CTX* latest = ServerCtx("self");
  ASSERT_EQ(latest, getSSLContext("any.example"));
  SSL_CTX_free(latest);
  Outcome named =
      Handshake(server_, client_, [](SSL* _ssl) { SSL_set_tlsext_host_name(_ssl, "any.example"); });
  EXPECT_TRUE(named.serverOk && named.serverH2);
  EXPECT_EQ(defaultServerContext(), named.serverCtx);
  Outcome unnamed = Handshake(server_, client_);
  EXPECT_EQ(server_, unnamed.serverCtx);
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
  ASSERT_TRUE(pki_.MakeDated("known", "20200101000000Z", "20301105093000Z"));
  char out[15] = "";
  EXPECT_TRUE(QIR_SSL_GET_CERT_EXPIRE_DATE(pki_.Path("known.pem").c_str(), out));
  EXPECT_STREQ("20301105093000", out);  // the space-padded day reads as 05
  EXPECT_FALSE(QIR_SSL_GET_CERT_EXPIRE_DATE(pki_.Path("known.key").c_str(), out));
  EXPECT_EQ(1, CONV_STRTIME("Foo 12 01:02:03.250 2031 GMT", out));
  EXPECT_STREQ("20310012010203", out);  // an unknown month reads as 00
  EXPECT_EQ(0, CONV_STRTIME("Nov 5", out));
}
