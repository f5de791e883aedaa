#include "QIRCommonOpenSSL.h"

#include "CQIRServiceLog.h"
#include "CQIRThread.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <mutex>
#include <string>

bool G_QIR_OPENSSL_INIT = false;
bool G_QIR_OPEESSL_THREAD_INIT = false;
SSL_CTX* G_QIR_OPENSSL_DEFAULT_SSL_CTX = nullptr;
const char* G_QIR_OPENSSL_ALPN_INDICATOR = "h2";
unsigned char ALPN_PROTOS[3] = {2, 'h', '2'};
const char* QIR_DEFAULT_CIPHER_LIST =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256";

namespace {

// SSL_OP_NO_SSLv2 and SSL_OP_SINGLE_ECDH_USE are 0 in OpenSSL 3 (SSLv2 is
// gone, ECDH keys are always single-use); they stay for what they say.
const uint64_t kServerOptions =
    (SSL_OP_ALL & ~static_cast<uint64_t>(SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS)) | SSL_OP_NO_SSLv2 |
    SSL_OP_NO_SSLv3 | SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION |
    SSL_OP_SINGLE_ECDH_USE | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE;
const uint64_t kClientOptions = SSL_OP_ALL | SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3 |
                                SSL_OP_NO_COMPRESSION |
                                SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION;
const long kCacheMode = SSL_SESS_CACHE_SERVER | SSL_SESS_CACHE_NO_AUTO_CLEAR;
const long kModes = SSL_MODE_AUTO_RETRY | SSL_MODE_RELEASE_BUFFERS;

// A server that asks for client certificates refuses every resumed session
// unless a session id context is set ("session id context uninitialized").
const unsigned char kSessionIdContext[] = "QIR";

std::once_flag g_initOnce;
std::mutex g_defaultCtxMutex;  // guards G_QIR_OPENSSL_DEFAULT_SSL_CTX's reference

// What the framework keeps with each context it makes, in the context's ex
// data so that it lives and dies with it.
struct CtxState {
  bool strict = false;              // no self-signed leaf unless trusted
  std::atomic<bool> warned{false};  // client: "not authenticated" said once
  SSL_CTX* successor = nullptr;     // server anchor: reloaded context; g_successorMutex
};
std::mutex g_successorMutex;
std::once_flag g_stateIndexOnce;
int g_stateIndex = -1;

void FreeState(void* /*parent*/, void* _ptr, CRYPTO_EX_DATA* /*ad*/, int /*idx*/, long /*argl*/,
               void* /*argp*/) {
  CtxState* state = static_cast<CtxState*>(_ptr);
  if (state == nullptr) return;
  if (state->successor != nullptr) SSL_CTX_free(state->successor);
  delete state;
}

int StateIndex() {
  std::call_once(g_stateIndexOnce, [] {
    g_stateIndex = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeState);
  });
  return g_stateIndex;
}

// Null for contexts made outside this file: they keep OpenSSL's own rules
// plus the callback's lenient defaults.
CtxState* StateOf(const SSL_CTX* _ctx) {
  if (_ctx == nullptr || StateIndex() < 0) return nullptr;
  return static_cast<CtxState*>(SSL_CTX_get_ex_data(_ctx, StateIndex()));
}

bool AttachState(SSL_CTX* _ctx, bool _strict) {
  CtxState* state = new CtxState();
  state->strict = _strict;
  if (StateIndex() < 0 || SSL_CTX_set_ex_data(_ctx, StateIndex(), state) != 1) {
    delete state;
    return false;
  }
  return true;
}

// The word an operator looks for in the refusal line.
const char* VerifyReason(int _err) {
  switch (_err) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "not yet valid";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "host mismatch";
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "self-signed";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return "unknown CA";
    default:
      return X509_verify_cert_error_string(_err);
  }
}

bool IsIpAddress(const char* _host) {
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, _host, buf) == 1 || inet_pton(AF_INET6, _host, buf) == 1;
}

bool IgnoreVerifyErrors() {
  const char* ignore = getenv("QIR_CERT_VERIFY_IGNORE");
  return ignore != nullptr && (strcmp(ignore, "TRUE") == 0 || strcmp(ignore, "true") == 0);
}

// "DNS:a,IP:127.0.0.1" into _out, or "none".
void AppendAltNames(X509* _cert, std::string* _out) {
  GENERAL_NAMES* names =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(_cert, NID_subject_alt_name, nullptr, nullptr));
  size_t before = _out->size();
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
    const char* label = nullptr;
    std::string value;
    if (n->type == GEN_DNS || n->type == GEN_EMAIL || n->type == GEN_URI) {
      label = n->type == GEN_DNS ? "DNS:" : n->type == GEN_EMAIL ? "email:" : "URI:";
      const ASN1_IA5STRING* s = n->d.ia5;
      value.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                   static_cast<size_t>(ASN1_STRING_length(s)));
    } else if (n->type == GEN_IPADD) {
      label = "IP:";
      char text[INET6_ADDRSTRLEN] = "";
      int len = ASN1_STRING_length(n->d.ip);
      const unsigned char* ip = ASN1_STRING_get0_data(n->d.ip);
      if (len == 4 || len == 16) inet_ntop(len == 4 ? AF_INET : AF_INET6, ip, text, sizeof(text));
      value = text;
    }
    if (label == nullptr) continue;
    if (_out->size() != before) *_out += ",";
    *_out += label;
    *_out += value;
  }
  if (_out->size() == before) *_out += "none";
  GENERAL_NAMES_free(names);
}

// ERR_error_string's own buffer is shared between threads; this one is not.
const char* LastError() {
  static thread_local char text[256];
  ERR_error_string_n(ERR_get_error(), text, sizeof(text));
  return text;
}
const char* LastReason() {
  const char* reason = ERR_reason_error_string(ERR_get_error());
  return reason != nullptr ? reason : "unknown";
}

void ApplyCommonSettings(SSL_CTX* _ctx, uint64_t _options) {
  SSL_CTX_set_session_cache_mode(_ctx, kCacheMode);
  SSL_CTX_set_options(_ctx, _options);
  SSL_CTX_set_mode(_ctx, kModes);
}

// The context holds a reference of its own in the global, so a connection
// switched to it by the server-name callback never meets a freed context.
void SetDefaultServerContext(SSL_CTX* _ctx) {
  std::lock_guard<std::mutex> lock(g_defaultCtxMutex);
  if (_ctx != nullptr) SSL_CTX_up_ref(_ctx);
  SSL_CTX* old = G_QIR_OPENSSL_DEFAULT_SSL_CTX;
  G_QIR_OPENSSL_DEFAULT_SSL_CTX = _ctx;
  if (old != nullptr) SSL_CTX_free(old);
}

SSL_CTX* Fail(SSL_CTX* _ctx) {
  SSL_CTX_free(_ctx);
  return nullptr;
}

const struct {
  const char* name;
  int month;
} kMonths[] = {{"Jan", 1}, {"Feb", 2}, {"Mar", 3}, {"Apr", 4},  {"May", 5},  {"Jun", 6},
               {"Jul", 7}, {"Aug", 8}, {"Sep", 9}, {"Oct", 10}, {"Nov", 11}, {"Dec", 12}};

}  // namespace

void QIR_SSL_INIT() {
  std::call_once(g_initOnce, [] {
    QIR_LOG_I("openssl version        : %s", OpenSSL_version(OPENSSL_VERSION));
    QIR_LOG_I("openssl thread-support : %s", "true");
    // Error strings and algorithms; OpenSSL 3 would load them on first use,
    // asking now keeps the first handshake's latency out of the accept loop.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    // A framework thread gives back its OpenSSL state (error queue, random
    // generators) before its owner sees it end. Left to the thread's exit,
    // that ran beside the process's own exit, which frees the same state:
    // now and then a double free as a server stopped.
    CQIRThread::SetEndHook(OPENSSL_thread_stop);
    G_QIR_OPENSSL_INIT = true;
  });
}

// OpenSSL 3 does its own locking: the locking and thread-id callbacks of the
// 1.0 library are no-op macros there and CRYPTO_num_locks() is 1. Setup and
// cleanup therefore only keep the flag, so callers' start-up and shutdown
// order stays as it is.
void QIR_SSL_THREAD_SETUP() { G_QIR_OPEESSL_THREAD_INIT = true; }

void QIR_SSL_THREAD_CLEANUP() {}

// OPENSSL_thread_stop is the current form of ERR_remove_thread_state(NULL):
// it frees the calling thread's error queue and other thread-local state.
// OpenSSL 3 also does this itself when a thread ends.
void QIR_SSL_THREAD_CLEAR() { OPENSSL_thread_stop(); }

// ERR_free_strings and EVP_cleanup are no-ops in OpenSSL 3, which frees its
// tables at process exit. What remains is the default context's reference.
void QIR_SSL_CLEANUP() { SetDefaultServerContext(nullptr); }

int QIR_SSL_CTX_set_proto_versions(SSL_CTX* ctx, int min, int max) {
  if (SSL_CTX_set_min_proto_version(ctx, min) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, max) != 1) {
    QIR_LOG_E("SSL_CTX_set_proto_version(0x%04x,0x%04x) failed :%s", min, max, LastError());
    return -1;
  }
  return 0;
}

int QIR_SSL_CTX_ENABLE_TLS13(SSL_CTX* ctx) {
  if (ctx == nullptr || SSL_CTX_set_max_proto_version(ctx, QIR_TLS1_3_VERSION) != 1) {
    QIR_LOG_E("SSL_CTX_set_max_proto_version(TLS 1.3) failed :%s", LastError());
    return -1;
  }
  return 0;
}

int QIR_SSL_PARSE_VERIFY_CLIENT(const char* text) {
  if (text == nullptr) return -1;
  if (strcasecmp(text, "none") == 0) return QIR_SSL_VERIFY_CLIENT_NONE;
  if (strcasecmp(text, "optional") == 0) return QIR_SSL_VERIFY_CLIENT_OPTIONAL;
  if (strcasecmp(text, "require") == 0) return QIR_SSL_VERIFY_CLIENT_REQUIRE;
  return -1;
}

namespace {

// A certificate file without its chain leaves the library to build one
// from the verify store at every handshake; with the default trust paths
// that is a scan of the system's certificate directory per handshake, the
// largest cost of a new connection after the key exchange. Built once here
// from the same store (errors ignored, as the handshake ignores them), the
// handshakes send the same certificates without looking them up again.
void BuildServerChainOnce(SSL_CTX* ctx) {
  STACK_OF(X509)* chain = nullptr;
  STACK_OF(X509)* extra = nullptr;
  SSL_CTX_get0_chain_certs(ctx, &chain);
  SSL_CTX_get_extra_chain_certs_only(ctx, &extra);
  if (chain != nullptr || extra != nullptr) return;  // sent as given, never built
  if ((SSL_CTX_get_mode(ctx) & SSL_MODE_NO_AUTO_CHAIN) != 0) return;
  if (SSL_CTX_build_cert_chain(ctx, SSL_BUILD_CHAIN_FLAG_IGNORE_ERROR |
                                        SSL_BUILD_CHAIN_FLAG_CLEAR_ERROR) <= 0) {
    ERR_clear_error();  // the handshakes still build it as before
  }
}

}  // namespace

SSL_CTX* QIR_SSL_CREATE_SERVER_CTX(const char* keyFile, const char* certFile, const char* caFile) {
  return QIR_SSL_CREATE_SERVER_CTX(keyFile, certFile, caFile, QIR_SSL_VERIFY_CLIENT_OPTIONAL);
}

SSL_CTX* QIR_SSL_CREATE_SERVER_CTX(const char* keyFile, const char* certFile, const char* caFile,
                                   int verifyClient) {
  if (verifyClient == QIR_SSL_VERIFY_CLIENT_REQUIRE && caFile == nullptr) {
    QIR_LOG_E("VERIFY_CLIENT(require) needs a CA file: no client certificate could be verified");
    return nullptr;
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) {
    QIR_LOG_E("Could not create SSL/TLS context: %s", LastError());
    return nullptr;
  }
  ApplyCommonSettings(ctx, kServerOptions);
  // HTTP/2 over TLS needs 1.2 at least (RFC 9113 section 9.2).
  if (QIR_SSL_CTX_set_proto_versions(ctx, QIR_TLS1_2_VERSION, QIR_TLS1_2_VERSION) != 0) {
    return Fail(ctx);
  }
  if (SSL_CTX_set_cipher_list(ctx, QIR_DEFAULT_CIPHER_LIST) != 1) {
    QIR_LOG_E("SSL_CTX_set_cipher_list() failed :%s", LastError());
    return Fail(ctx);
  }
  // ECDHE on X25519 when the client offers it (half the cost of a P-256
  // exchange on both sides, which counts when every request is a new
  // connection), else on prime256v1 as before.
  int groups[] = {NID_X25519, NID_X9_62_prime256v1};
  if (SSL_CTX_set1_groups(ctx, groups, 2) != 1) {
    QIR_LOG_E("EC_KEY_new_by_curv_name failed: %s", LastError());
    return Fail(ctx);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) != 1) {
    QIR_LOG_E("SSL_CTX_use_PrivateKey_file(%s) failed!...%s", keyFile, LastReason());
    return Fail(ctx);
  }
  if (SSL_CTX_use_certificate_chain_file(ctx, certFile) != 1) {
    QIR_LOG_E("SSL_CTX_use_certificate_chain_file(%s) failed!...%s", certFile, LastReason());
    return Fail(ctx);
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    QIR_LOG_E("SSL_CTX_check_private_key() failed!...%s", LastReason());
    return Fail(ctx);
  }
  if (caFile != nullptr) {
    if (SSL_CTX_load_verify_locations(ctx, caFile, nullptr) != 1) {
      QIR_LOG_E("SSL_CTX_load_verify_locations() failed...");
      return Fail(ctx);
    }
    // Names the acceptable issuers, so a client with several certificates
    // picks the right one.
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(caFile);
    if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
  } else if (X509_STORE_set_default_paths(SSL_CTX_get_cert_store(ctx)) != 1) {
    QIR_LOG_E("X509_STORE_set_default_paths() failed...");
    return Fail(ctx);
  }
  SSL_CTX_set_session_id_context(ctx, kSessionIdContext, sizeof(kSessionIdContext) - 1);
  // With a CA file a presented certificate must chain to it; without one a
  // self-signed certificate passes as it always did.
  if (!AttachState(ctx, caFile != nullptr)) {
    QIR_LOG_E("SSL_CTX_set_ex_data() failed :%s", LastError());
    return Fail(ctx);
  }
  int mode = SSL_VERIFY_PEER;
  if (verifyClient == QIR_SSL_VERIFY_CLIENT_NONE) mode = SSL_VERIFY_NONE;
  if (verifyClient == QIR_SSL_VERIFY_CLIENT_REQUIRE) mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  SSL_CTX_set_verify(ctx, mode, cert_verify_cb);
  BuildServerChainOnce(ctx);
  SetDefaultServerContext(ctx);
  SSL_CTX_set_alpn_select_cb(ctx, select_server_proto_cb, nullptr);
  // Each context keeps its own certificate whatever name the client sends.
  SSL_CTX_set_tlsext_servername_callback(ctx, server_name_cb);
  return ctx;
}

SSL_CTX* QIR_SSL_CREATE_CLIENT_CTX(const char* keyFile, const char* certFile, const char* caFile) {
  return QIR_SSL_CREATE_CLIENT_CTX(keyFile, certFile, caFile, nullptr);
}

SSL_CTX* QIR_SSL_CREATE_CLIENT_CTX(const char* keyFile, const char* certFile, const char* caFile,
                                   const char* caPath) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    QIR_LOG_E("Could not create SSL/TLS context: %s", LastError());
    return nullptr;
  }
  ApplyCommonSettings(ctx, kClientOptions);
  if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
    QIR_LOG_W("SSL_CTX_set_default_verify_paths() failed :%s", LastError());
  }
  if (QIR_SSL_CTX_set_proto_versions(ctx, QIR_TLS1_2_VERSION, QIR_TLS1_2_VERSION) != 0) {
    return Fail(ctx);
  }
  if (SSL_CTX_set_cipher_list(ctx, QIR_DEFAULT_CIPHER_LIST) != 1) {
    QIR_LOG_E("SSL_CTX_set_cipher_list() failed :%s", LastError());
    return Fail(ctx);
  }
  if (!AttachState(ctx, false)) {
    QIR_LOG_E("SSL_CTX_set_ex_data() failed :%s", LastError());
    return Fail(ctx);
  }
#ifndef OPENSSL_NO_NEXTPROTONEG
  SSL_CTX_set_next_proto_select_cb(ctx, select_client_proto_cb, nullptr);
#endif
  if (keyFile != nullptr && SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) != 1) {
    QIR_LOG_E("SSL_CTX_use_PrivateKey_file() failed: %s", LastError());
    return Fail(ctx);
  }
  if (certFile != nullptr && SSL_CTX_use_certificate_chain_file(ctx, certFile) != 1) {
    QIR_LOG_E("SSL_CTX_use_certificate_chain_file() failed: %s", LastError());
    return Fail(ctx);
  }
  if (caFile != nullptr || caPath != nullptr) {
    if (SSL_CTX_load_verify_locations(ctx, caFile, caPath) != 1) {
      QIR_LOG_E("SSL_CTX_load_verify_locations(%s:%s) failed!..",
                caFile != nullptr ? caFile : "nullptr", caPath != nullptr ? caPath : "nullptr");
      return Fail(ctx);
    }
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, cert_verify_cb);
  // SSL_CTX_set_alpn_protos answers 0 on success, unlike the rest of the API.
  if (SSL_CTX_set_alpn_protos(ctx, ALPN_PROTOS, sizeof(ALPN_PROTOS)) != 0) {
    QIR_LOG_E("SSL_CTX_set_alpn_protos() failed :%s", LastError());
    return Fail(ctx);
  }
  return ctx;
}

int select_server_proto_cb(SSL* /*ssl*/, const unsigned char** out, unsigned char* outlen,
                           const unsigned char* in, unsigned int inlen, void* /*arg*/) {
  // SSL_select_next_proto points *out into one of the two lists, neither of
  // which it writes to; the cast only bridges the older prototype.
  if (SSL_select_next_proto(const_cast<unsigned char**>(out), outlen, ALPN_PROTOS,
                            sizeof(ALPN_PROTOS), in, inlen) != OPENSSL_NPN_NEGOTIATED) {
    QIR_LOG_E("SSL_select_next_proto() failed...");
    return SSL_TLSEXT_ERR_NOACK;
  }
  return SSL_TLSEXT_ERR_OK;
}

int select_client_proto_cb(SSL* /*ssl*/, unsigned char** out, unsigned char* outlen,
                           const unsigned char* in, unsigned int inlen, void* /*arg*/) {
  if (SSL_select_next_proto(out, outlen, ALPN_PROTOS, sizeof(ALPN_PROTOS), in, inlen) !=
      OPENSSL_NPN_NEGOTIATED) {
    QIR_LOG_E("SSL_select_next_proto() failed...");
    return SSL_TLSEXT_ERR_NOACK;
  }
  return SSL_TLSEXT_ERR_OK;
}

SSL_CTX* defaultServerContext() { return G_QIR_OPENSSL_DEFAULT_SSL_CTX; }

SSL_CTX* getSSLContext(const char* /*name*/) { return G_QIR_OPENSSL_DEFAULT_SSL_CTX; }

// The connection stays on the context it was made from, whatever the name:
// two servers in one process must never serve each other's certificate. The
// name is not acknowledged.
int server_name_cb(SSL* /*ssl*/, int* /*alert*/, void* /*arg*/) { return SSL_TLSEXT_ERR_NOACK; }

int QIR_SSL_CTX_SET_STRICT_VERIFY(SSL_CTX* ctx, const char* caFile) {
  CtxState* state = StateOf(ctx);
  if (state == nullptr || caFile == nullptr) {
    QIR_LOG_E("strict verification needs a context made by QIR_SSL_CREATE_CLIENT_CTX and a CA file");
    return -1;
  }
  // Only the given file is trusted, not the system's store.
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr || X509_STORE_load_file(store, caFile) != 1) {
    QIR_LOG_E("CA file(%s) cannot be loaded: %s", caFile, LastError());
    X509_STORE_free(store);
    return -1;
  }
  SSL_CTX_set_cert_store(ctx, store);
  state->strict = true;
  QIR_LOG_I("TLS client: server certificates verified against %s, host name checked", caFile);
  return 0;
}

bool QIR_SSL_PREPARE_CLIENT(SSL* ssl, const char* host) {
  const bool hasHost = host != nullptr && host[0] != '\0';
  const bool isIp = hasHost && IsIpAddress(host);
  // RFC 6066: SNI carries host names only.
  if (hasHost && !isIp && SSL_set_tlsext_host_name(ssl, host) != 1) {
    QIR_LOG_E("SSL_set_tlsext_host_name(%s) failed :%s", host, LastError());
    return false;
  }
  CtxState* state = StateOf(SSL_get_SSL_CTX(ssl));
  if (state == nullptr) return true;
  if (!state->strict) {
    if (!state->warned.exchange(true)) {
      QIR_LOG_W("TLS client: server certificates are not authenticated (self-signed accepted, "
                "host not checked); give a CA file for strict verification");
    }
    return true;
  }
  if (!hasHost) {
    QIR_LOG_E("strict verification: no host name to check the certificate against");
    return false;
  }
  int ok = isIp ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) : SSL_set1_host(ssl, host);
  if (ok != 1) {
    QIR_LOG_E("strict verification: host(%s) cannot be set :%s", host, LastError());
    return false;
  }
  return true;
}

void QIR_SSL_PEER_IDENTITY(SSL* ssl, char* out, size_t len) {
  if (out == nullptr || len == 0) return;
  snprintf(out, len, "%s", "none");
  X509* cert = ssl != nullptr ? SSL_get0_peer_certificate(ssl) : nullptr;
  if (cert == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) return;
  std::string text = "subject=";
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio != nullptr) {
    X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    if (n > 0) text.append(data, static_cast<size_t>(n));
    BIO_free(bio);
  }
  text += " san=";
  AppendAltNames(cert, &text);
  snprintf(out, len, "%s", text.c_str());
}

void QIR_SSL_CTX_REPLACE(SSL_CTX* anchor, SSL_CTX* fresh) {
  CtxState* state = StateOf(anchor);
  if (state == nullptr) {
    if (fresh != nullptr) SSL_CTX_free(fresh);
    return;
  }
  SSL_CTX* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_successorMutex);
    old = state->successor;
    state->successor = fresh;
  }
  // Connections made from it hold references of their own.
  if (old != nullptr) SSL_CTX_free(old);
}

SSL_CTX* QIR_SSL_CTX_ACQUIRE(SSL_CTX* anchor) {
  CtxState* state = StateOf(anchor);
  std::lock_guard<std::mutex> lock(g_successorMutex);
  SSL_CTX* ctx = state != nullptr && state->successor != nullptr ? state->successor : anchor;
  if (ctx != nullptr) SSL_CTX_up_ref(ctx);
  return ctx;
}

int cert_verify_cb(int ok, X509_STORE_CTX* ctx) {
  X509* cert = X509_STORE_CTX_get_current_cert(ctx);
  int err = X509_STORE_CTX_get_error(ctx);
  if (cert != nullptr) {
    char subject[1024];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
    int depth = X509_STORE_CTX_get_error_depth(ctx);
    if (ok == 0) {
      QIR_LOG_E("verify failed, depth=%d,err=%d,subject=%s", depth, err, subject);
    } else {
      char issuer[1024];
      X509_NAME_oneline(X509_get_issuer_name(cert), issuer, sizeof(issuer));
      QIR_LOG_I("verify ok...depth[%d],issuer=[%s]", depth, issuer);
    }
  }
  if (ok == 0) {
    SSL* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const CtxState* state = ssl != nullptr ? StateOf(SSL_get_SSL_CTX(ssl)) : nullptr;
    const bool strict = state != nullptr && state->strict;
    if (err == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT && !strict) {
      ok = 1;  // a self-signed leaf is how peers without a CA identify themselves
    } else {
      QIR_LOG_W("verify errors=%d,%s", err, X509_verify_cert_error_string(err));
    }
    if (ok == 0 && IgnoreVerifyErrors()) {
      ok = 1;
      QIR_LOG_W("QIR_CERT_VERIFY_IGNORE: certificate error ignored (%s, err=%d)", VerifyReason(err),
                err);
    }
    if (ok == 0) {
      char subject[1024] = "";
      if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
      QIR_LOG_E("certificate refused: %s (err=%d,depth=%d,subject=%s)", VerifyReason(err), err,
                X509_STORE_CTX_get_error_depth(ctx), subject);
    }
  }
  return ok;
}

bool QIR_SSL_SELECT_ALPN(SSL* ssl, const char* name) {
  const unsigned char* proto = nullptr;
  unsigned int length = 0;
#ifndef OPENSSL_NO_NEXTPROTONEG
  SSL_get0_next_proto_negotiated(ssl, &proto, &length);
#endif
  if (proto == nullptr) SSL_get0_alpn_selected(ssl, &proto, &length);
  size_t want = strlen(G_QIR_OPENSSL_ALPN_INDICATOR);
  if (proto != nullptr && length == want &&
      memcmp(proto, G_QIR_OPENSSL_ALPN_INDICATOR, want) == 0) {
    return true;
  }
  if (name != nullptr) {
    QIR_LOG_E("connection(%s) %s is not negotiated...", name, G_QIR_OPENSSL_ALPN_INDICATOR);
  } else {
    QIR_LOG_E("%s is not negotiated...", G_QIR_OPENSSL_ALPN_INDICATOR);
  }
  return false;
}

int CONV_ASN1TIME(const ASN1_TIME* time, char* buf, size_t len) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) {
    QIR_LOG_E("ASN1_TIME_print failed or wrote no data.");
    return 0;
  }
  int result = 1;
  if (ASN1_TIME_print(bio, time) <= 0) {
    QIR_LOG_E("ASN1_TIME_print failed or wrote no data.");
    result = 0;
  } else if (BIO_gets(bio, buf, static_cast<int>(len)) <= 0) {
    QIR_LOG_E("BIO_gets call failed to transfer contents to buf");
    result = 0;
  }
  BIO_free(bio);
  return result;
}

int CONV_STRTIME(const char* buf, char* out) {
  out[0] = '\0';
  char copy[128];
  snprintf(copy, sizeof(copy), "%s", buf);
  const char* piece[4] = {nullptr, nullptr, nullptr, nullptr};
  int count = 0;
  char* save = nullptr;
  for (char* p = strtok_r(copy, " ", &save); p != nullptr && count < 4;
       p = strtok_r(nullptr, " ", &save)) {
    piece[count++] = p;
  }
  if (count < 4) return 0;
  int month = 0;  // a name outside the table reads as month 00
  for (const auto& m : kMonths) {
    if (strcmp(piece[0], m.name) == 0) month = m.month;
  }
  // hh:mm:ss, possibly with fractional seconds behind
  const char* t = piece[2];
  if (strlen(t) < 8 || t[2] != ':' || t[5] != ':') return 0;
  int year = atoi(piece[3]);
  int day = atoi(piece[1]);
  if (year < 0 || year > 9999 || day < 0 || day > 99) return 0;
  snprintf(out, 15, "%04u%02u%02u%2.2s%2.2s%2.2s", static_cast<unsigned>(year) % 10000u,
           static_cast<unsigned>(month) % 100u, static_cast<unsigned>(day) % 100u, t, t + 3, t + 6);
  return 1;
}

bool QIR_SSL_GET_CERT_EXPIRE_DATE(const char* certFile, char* out) {
  FILE* fp = fopen(certFile, "r");
  if (fp == nullptr) {
    fprintf(stderr, "unable to open: %s\n", certFile);
    return false;
  }
  X509* cert = PEM_read_X509(fp, nullptr, nullptr, nullptr);
  if (cert == nullptr) {
    fprintf(stderr, "unable to parse certificate in: %s\n", certFile);
    fclose(fp);
    return false;
  }
  char printed[128];
  bool ok = CONV_ASN1TIME(X509_get0_notAfter(cert), printed, sizeof(printed)) == 1 &&
            CONV_STRTIME(printed, out) == 1;
  X509_free(cert);
  fclose(fp);
  return ok;
}
