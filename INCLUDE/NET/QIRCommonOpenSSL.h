#ifndef QIR_NET_QIRCOMMONOPENSSL_H
#define QIR_NET_QIRCOMMONOPENSSL_H

#include <stddef.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

// TLS for the whole framework: library start-up, the server and client
// contexts (fixed options, HTTP/2's ECDHE+AEAD suites, TLS 1.2 (1.3 on
// request), ALPN "h2"), client-certificate and strict server-certificate
// verification, the protocol-selection and server-name callbacks, the check
// that "h2" was negotiated, the verified peer's identity, the replacement of a
// server context by a reloaded one, and a certificate expiry reader.
//
// Calling order: QIR_SSL_INIT (and QIR_SSL_THREAD_SETUP) once at start-up on
// the main thread, then the contexts; per connection the socket layer runs the
// handshake and QIR_SSL_SELECT_ALPN. A context is shared read-only by every
// connection made from it; each SSL object is driven by one thread.

extern bool G_QIR_OPENSSL_INIT;         // library start-up done
extern bool G_QIR_OPEESSL_THREAD_INIT;  // QIR_SSL_THREAD_SETUP has run

// The last server context created. Nothing selects it any more: each
// server context serves its own certificate whatever name a client asks for.
// It holds its own reference (released when a newer server context replaces
// it, or by QIR_SSL_CLEANUP), so it never dangles.
extern SSL_CTX* G_QIR_OPENSSL_DEFAULT_SSL_CTX;

extern const char* G_QIR_OPENSSL_ALPN_INDICATOR;  // "h2"
extern unsigned char ALPN_PROTOS[3];              // "\x02h2", the TLS wire form
// TLS 1.2 suites: ECDHE with AES-GCM or ChaCha20-Poly1305 only, none on
// HTTP/2's blocklist (RFC 9113 section 9.2.2).
extern const char* QIR_DEFAULT_CIPHER_LIST;

// TLS version numbers as they appear on the wire.
enum { QIR_TLS1_0_VERSION = 0x0301, QIR_TLS1_1_VERSION = 0x0302, QIR_TLS1_2_VERSION = 0x0303 };
enum { QIR_TLS1_3_VERSION = 0x0304 };

void QIR_SSL_INIT();
void QIR_SSL_THREAD_SETUP();
void QIR_SSL_THREAD_CLEANUP();
void QIR_SSL_THREAD_CLEAR();  // frees the calling thread's OpenSSL error state
void QIR_SSL_CLEANUP();

// What a server asks of its clients ("SSL/TLS"/"VERIFY_CLIENT"):
//   NONE      no certificate is asked for;
//   OPTIONAL  asked for; a client without one is served;
//   REQUIRE   a client without a certificate is refused.
// A certificate that is presented must chain to caFile; a self-signed one not
// in that file is refused. Without caFile (OPTIONAL only) a self-signed
// certificate is accepted as it is: client certificates are not authenticated.
enum {
  QIR_SSL_VERIFY_CLIENT_NONE = 0,
  QIR_SSL_VERIFY_CLIENT_OPTIONAL = 1,
  QIR_SSL_VERIFY_CLIENT_REQUIRE = 2
};
// "none", "optional", "require" (any case) to the mode; -1 for anything else.
int QIR_SSL_PARSE_VERIFY_CLIENT(const char* text);

// Every failure is logged with OpenSSL's error text and answers null; the
// caller owns the context (SSL_CTX_free). The three-argument form verifies
// clients OPTIONAL; REQUIRE without caFile is refused (logged).
SSL_CTX* QIR_SSL_CREATE_SERVER_CTX(const char* keyFile, const char* certFile, const char* caFile);
SSL_CTX* QIR_SSL_CREATE_SERVER_CTX(const char* keyFile, const char* certFile, const char* caFile,
                                   int verifyClient);
SSL_CTX* QIR_SSL_CREATE_CLIENT_CTX(const char* keyFile, const char* certFile, const char* caFile);
SSL_CTX* QIR_SSL_CREATE_CLIENT_CTX(const char* keyFile, const char* certFile, const char* caFile,
                                   const char* caPath);

// Strict verification of servers for a client context: the chain must lead
// to a certificate in caFile (nothing else is trusted, a self-signed server
// certificate only when it is in that file) and the certificate must match
// the host name or IP address connected to. Refusals are logged at Error with
// the reason (expired, unknown CA, host mismatch, self-signed). Without this
// call a client context accepts a self-signed server certificate and says
// once, at Warning, that server certificates are not authenticated.
// Call it before the first connection. 0 done; -1 when caFile cannot be
// loaded (logged; the context is unchanged).
int QIR_SSL_CTX_SET_STRICT_VERIFY(SSL_CTX* ctx, const char* caFile);
// Client side, before the handshake: SNI for a host name (never for an IP
// address), and under strict verification the name or address the
// certificate must match. host may be null (no SNI; strict verification then
// fails with "host mismatch"). false when OpenSSL refuses (logged).
bool QIR_SSL_PREPARE_CLIENT(SSL* ssl, const char* host);

// The verified peer certificate after the handshake, written into out (len
// bytes, always terminated): "subject=<RFC 2253 name> san=<DNS:..,IP:..>" (san=none
// without alternative names), or "none" when the peer sent no certificate or
// it was accepted without being verified (a self-signed certificate with no
// CA file, or QIR_CERT_VERIFY_IGNORE).
void QIR_SSL_PEER_IDENTITY(SSL* ssl, char* out, size_t len);

// Certificate rotation for a server: the context handed to the listeners
// (the anchor) stays; QIR_SSL_CTX_REPLACE makes fresh (its reference is taken
// over) what new handshakes use from then on, and QIR_SSL_CTX_ACQUIRE gives
// the context a new handshake must use, with a reference the caller frees.
// Open connections keep the context they were made with. Any thread.
void QIR_SSL_CTX_REPLACE(SSL_CTX* anchor, SSL_CTX* fresh);
SSL_CTX* QIR_SSL_CTX_ACQUIRE(SSL_CTX* anchor);

// true when "h2" was agreed on the connection (NPN first, else ALPN); name,
// which may be null, is the connection name for the log line.
bool QIR_SSL_SELECT_ALPN(SSL* ssl, const char* name);

// Restricts the context to the TLS versions min..max (QIR_TLS1_x_VERSION).
// 0 done; -1 when OpenSSL refuses a bound (logged).
int QIR_SSL_CTX_set_proto_versions(SSL_CTX* ctx, int min, int max);

// Lets a context made by QIR_SSL_CREATE_SERVER_CTX or QIR_SSL_CREATE_CLIENT_CTX
// agree TLS 1.3 as well (the lowest version stays); ALPN "h2" and the TLS 1.2
// cipher list are unchanged. Call it before the first connection is made
// from the context. 0 done; -1 when OpenSSL refuses (logged).
int QIR_SSL_CTX_ENABLE_TLS13(SSL_CTX* ctx);

// Writes the certificate's notAfter as fourteen digits CCYYMMDDhhmmss and a
// NUL into out (at least 15 bytes). false when the file cannot be read or
// parsed, or the time cannot be printed.
bool QIR_SSL_GET_CERT_EXPIRE_DATE(const char* certFile, char* out);
// Prints an ASN.1 time ("Nov  5 09:30:00 2030 GMT") into buf of len bytes.
// 1 done, 0 failed (logged).
int CONV_ASN1TIME(const ASN1_TIME* time, char* buf, size_t len);
// Turns that printed form into the fourteen digits in out (15 bytes). A month
// name not in the table gives month 00. 1 done, 0 when the text has fewer than
// four fields or a malformed time of day (out is then empty).
int CONV_STRTIME(const char* buf, char* out);

// OpenSSL callbacks, installed by the context constructors.
int cert_verify_cb(int ok, X509_STORE_CTX* ctx);
int select_server_proto_cb(SSL* ssl, const unsigned char** out, unsigned char* outlen,
                           const unsigned char* in, unsigned int inlen, void* arg);
int select_client_proto_cb(SSL* ssl, unsigned char** out, unsigned char* outlen,
                           const unsigned char* in, unsigned int inlen, void* arg);
int server_name_cb(SSL* ssl, int* alert, void* arg);

// Both give G_QIR_OPENSSL_DEFAULT_SSL_CTX; server_name_cb no longer uses them.
SSL_CTX* defaultServerContext();
SSL_CTX* getSSLContext(const char* name);

#endif  // QIR_NET_QIRCOMMONOPENSSL_H
