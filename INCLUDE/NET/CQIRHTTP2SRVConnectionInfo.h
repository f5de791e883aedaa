#ifndef QIR_NET_CQIRHTTP2SRVCONNECTIONINFO_H
#define QIR_NET_CQIRHTTP2SRVCONNECTIONINFO_H

#include <openssl/ssl.h>

#include <string>

// One listening port: what it speaks, its socket, and the peer of the
// connection most recently accepted on it (read by the connection's set-up
// right after the accept). Owned by the listener; used on the loop thread.
class CQIRHTTP2SRVConnectionInfo {
 public:
  // "https": TLS with _sslCtx (not owned).
  CQIRHTTP2SRVConnectionInfo(const std::string& _protocol, int _port, SSL_CTX* _sslCtx);
  // Any other protocol: cleartext, with or without the HTTP/1.1 upgrade.
  CQIRHTTP2SRVConnectionInfo(const std::string& _protocol, int _port, bool _isUpgrade);

  enum { QIR_LISTEN_TO_OPEN = 1, QIR_LISTEN_OPEN = 2 };

  std::string protocol_;
  int connId_;  // not used
  int port_;
  int family_;  // AF_INET or AF_INET6
  SSL_CTX* ssl_ctx_;
  std::string ip_;
  std::string host_;
  int fd_;      // listening socket, -1 until opened
  int action_;  // QIR_LISTEN_TO_OPEN or QIR_LISTEN_OPEN
  bool isUpgrade_;
  // A set-up's copy, after its TLS handshake: the verified client certificate
  // (QIR_SSL_PEER_IDENTITY's text); "none" otherwise.
  std::string peer_;
};

#endif  // QIR_NET_CQIRHTTP2SRVCONNECTIONINFO_H
