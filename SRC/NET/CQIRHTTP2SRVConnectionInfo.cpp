#include "CQIRHTTP2SRVConnectionInfo.h"

#include <sys/socket.h>

CQIRHTTP2SRVConnectionInfo::CQIRHTTP2SRVConnectionInfo(const std::string& _protocol, int _port,
                                                       SSL_CTX* _sslCtx)
    : protocol_(_protocol),
      connId_(0),
      port_(_port),
      family_(AF_INET),
      ssl_ctx_(_sslCtx),
      fd_(-1),
      action_(QIR_LISTEN_TO_OPEN),
      isUpgrade_(false),
      peer_("none") {}

CQIRHTTP2SRVConnectionInfo::CQIRHTTP2SRVConnectionInfo(const std::string& _protocol, int _port,
                                                       bool _isUpgrade)
    : protocol_(_protocol),
      connId_(0),
      port_(_port),
      family_(AF_INET),
      ssl_ctx_(nullptr),
      fd_(-1),
      action_(QIR_LISTEN_TO_OPEN),
      isUpgrade_(_isUpgrade),
      peer_("none") {}
