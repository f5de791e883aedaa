#include "CQIRHTTP2SRV.h"

#include "CQIRConv.h"
#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVMetrics.h"
#include "CQIRHTTP2SRVThread.h"
#include "CQIRServiceLog.h"
#include "QIRCommonOpenSSL.h"
#include "QIRHttp2Option.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

const char* const kSectionSSL = "SSL/TLS";
const char* const kSectionThread = "THREAD";
const char* const kSectionListener = "LISTENER";
const char* const kSectionOptions = "HTTP2_OPTIONS";

constexpr size_t kPathSize = 4096;
constexpr size_t kIpNetSize = 12;  // 11 characters and the NUL
constexpr double kDrainLimitSec = 1.0;
// Connections served at once unless "LISTENER"/"MAX_CONNECTIONS" says
// otherwise: an idle connection costs tens of KiB and a busy one a few MiB,
// and the default descriptor limit of a process is 1024.
constexpr int kDefaultMaxConnections = 1024;

}  // namespace

CQIRHTTP2SRV::CQIRHTTP2SRV()
    : callbacks_(nullptr),
      ssl_ctx_(nullptr),
      verifyClient_(QIR_SSL_VERIFY_CLIENT_OPTIONAL),
      tls13_(false),
      isUpgrade_(true),
      doExit_(false),
      started_(false),
      stopped_(false),
      sslThreadSetup_(false) {}

// The members go in reverse order (listener, connection manager, pool); a
// started server is stopped first so no worker outlives them.
CQIRHTTP2SRV::~CQIRHTTP2SRV() {
  if (started_.load()) Stop();
  Finalize();
}

bool CQIRHTTP2SRV::Initialize(const char* _cfgName, QIR_HTTP2SRV_CALLBACKS* _callbacks) {
  QIR_HTTP2_INIT();
  QIR_SSL_INIT();
  QIR_LOG_I("Initializing...");
  if (cfg_.Initialize(_cfgName, nullptr) == 0) {
    const char* name = (_cfgName != nullptr) ? _cfgName : "";
    const char* why = cfg_.GetErrorMessage();
    QIR_LOG_E("configuration(%s) loading failed!..", name);
    if (strcmp(why, "File Access failed!") == 0) {
      QIR_LOG_E("configuration(%s) %s", name, why);
    } else {
      QIR_LOG_E("configuration(%s) line(%d) %s", name, cfg_.GetErrorLC(), why);
    }
    return false;
  }
  callbacks_ = WrapCallbacks(_callbacks);
  if (!InitSSL() || !InitConnectionManager() || !InitThreadManager() || !InitListener() ||
      !InitMetrics()) {
    return false;
  }
  if (ssl_ctx_ != nullptr) {
    QIR_SSL_THREAD_SETUP();
    sslThreadSetup_ = true;
  }
  QIR_LOG_I("Initializing successfully completed.");
  return true;
}

bool CQIRHTTP2SRV::ReadPath(const char* _key, char* _path, size_t _size) {
  std::string value;
  if (cfg_.Get(kSectionSSL, _key, value) == 0) {
    QIR_LOG_E("configuration(%s:%s) not found!", kSectionSSL, _key);
    return false;
  }
  CQIRConv::EnvReplace(_path, value.c_str(), _size);
  return true;
}

bool CQIRHTTP2SRV::InitSSL() {
  QIR_LOG_I("Initializing SSL/TLS...");
  std::string upgrade;
  if (cfg_.Get(kSectionSSL, "HTTP1X_UPGRADE", upgrade) != 0) {
    isUpgrade_ = (strcasecmp(upgrade.c_str(), "true") == 0);
  } else {
    isUpgrade_ = true;
    QIR_LOG_W("configuration(%s:%s) not found! using default(true)", kSectionSSL,
              "HTTP1X_UPGRADE");
  }
  QIR_LOG_I(" - HTTP/1.X Upgrade Support : %s", isUpgrade_ ? "true" : "false");

  int useSSL = 0;
  if (cfg_.GetBool(kSectionSSL, "USE_SSL", &useSSL) == 0) {
    QIR_LOG_E("configuration(%s:%s) not found!", kSectionSSL, "USE_SSL");
    return false;
  }
  if (useSSL == 0) {
    QIR_LOG_I(" - HTTP/2 Using SSL/TLS : false");
    ssl_ctx_ = nullptr;
    return true;
  }
  QIR_LOG_I(" - HTTP/2 Using SSL/TLS : true");

  char keyPath[kPathSize];
  char crtPath[kPathSize];
  char caPath[kPathSize];
  if (!ReadPath("SSL_KEY_FILE", keyPath, sizeof(keyPath)) ||
      !ReadPath("SSL_CRT_FILE", crtPath, sizeof(crtPath))) {
    return false;
  }
  std::string ca;
  if (cfg_.Get(kSectionSSL, "SSL_CA_FILE", ca) == 0) {
    QIR_LOG_E("configuration(%s:%s) not found!", kSectionSSL, "SSL_CA_FILE");
    return false;
  }
  const bool haveCa = strcasecmp(ca.c_str(), "n/a") != 0;
  if (haveCa) CQIRConv::EnvReplace(caPath, ca.c_str(), sizeof(caPath));
  tlsKey_ = keyPath;
  tlsCrt_ = crtPath;
  tlsCa_ = haveCa ? caPath : "";
  if (!InitVerifyClient(haveCa)) return false;
  // Optional: TLS 1.3 next to 1.2; without the key the server stays at 1.2.
  int tls13 = 0;
  cfg_.GetBool(kSectionSSL, "ENABLE_TLS13", &tls13);
  tls13_ = tls13 != 0;
  QIR_LOG_I(" - TLS 1.3 Support : %s", tls13_ ? "true" : "false");
  ssl_ctx_ = BuildTLSContext();
  return ssl_ctx_ != nullptr;
}

// Optional, default "optional": configurations older than the key behave as
// they did.
bool CQIRHTTP2SRV::InitVerifyClient(bool _haveCa) {
  std::string verify;
  verifyClient_ = QIR_SSL_VERIFY_CLIENT_OPTIONAL;
  if (cfg_.Get(kSectionSSL, "VERIFY_CLIENT", verify) != 0) {
    verifyClient_ = QIR_SSL_PARSE_VERIFY_CLIENT(verify.c_str());
    if (verifyClient_ < 0) {
      QIR_LOG_E("configuration(%s:%s) value(%s) invalid!...(none, optional or require)",
                kSectionSSL, "VERIFY_CLIENT", verify.c_str());
      return false;
    }
  }
  static const char* const kNames[] = {"none", "optional", "require"};
  QIR_LOG_I(" - Verify Client : %s", kNames[verifyClient_]);
  if (_haveCa) return true;
  if (verifyClient_ == QIR_SSL_VERIFY_CLIENT_REQUIRE) {
    QIR_LOG_E("configuration(%s:%s) require needs %s: no client certificate could be verified",
              kSectionSSL, "VERIFY_CLIENT", "SSL_CA_FILE");
    return false;
  }
  if (verifyClient_ == QIR_SSL_VERIFY_CLIENT_OPTIONAL) {
    QIR_LOG_W("configuration(%s:%s) is n/a: client certificates are not authenticated "
              "(a self-signed one is accepted)", kSectionSSL, "SSL_CA_FILE");
  }
  return true;
}

SSL_CTX* CQIRHTTP2SRV::BuildTLSContext() {
  const char* ca = tlsCa_.empty() ? nullptr : tlsCa_.c_str();
  SSL_CTX* ctx = QIR_SSL_CREATE_SERVER_CTX(tlsKey_.c_str(), tlsCrt_.c_str(), ca, verifyClient_);
  if (ctx == nullptr) {
    QIR_LOG_E("QIR_SSL_CREATE_SERVER_CTX(%s,%s,%s) failed...", tlsKey_.c_str(), tlsCrt_.c_str(),
              ca != nullptr ? ca : "no-sslca");
    return nullptr;
  }
  if (tls13_ && QIR_SSL_CTX_ENABLE_TLS13(ctx) != 0) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

bool CQIRHTTP2SRV::ReloadTLS() {
  CQIRLockGuard guard(reloadMutex_);
  if (ssl_ctx_ == nullptr) {
    QIR_LOG_W("TLS reload: SSL/TLS is not in use, nothing to reload");
    return false;
  }
  SSL_CTX* fresh = BuildTLSContext();
  if (fresh == nullptr) {
    QIR_LOG_E("TLS reload failed!..the certificate in service stays");
    return false;
  }
  QIR_SSL_CTX_REPLACE(ssl_ctx_, fresh);
  QIR_LOG_I("TLS reload: new handshakes use %s", tlsCrt_.c_str());
  return true;
}

// The runtime calls these; the application's own run inside. The peer is
// known from onConnect_ on, so the application can ask for it there.
QIR_HTTP2SRV_CALLBACKS* CQIRHTTP2SRV::WrapCallbacks(QIR_HTTP2SRV_CALLBACKS* _app) {
  if (_app == nullptr) return nullptr;
  wrapped_ = *_app;
  wrapped_.onConnect_ = [this, _app](int32_t _id, const char* _scheme, const char* _ip, int _port) {
    {
      CQIRLockGuard guard(peerMutex_);
      peers_[_id] = listener_.GetSettingUpPeer();
    }
    bool keep = !_app->onConnect_ || _app->onConnect_(_id, _scheme, _ip, _port);
    if (!keep) {
      CQIRLockGuard guard(peerMutex_);
      peers_.erase(_id);
    }
    return keep;
  };
  wrapped_.onDisconnect_ = [this, _app](int32_t _id) {
    if (_app->onDisconnect_) _app->onDisconnect_(_id);
    CQIRLockGuard guard(peerMutex_);
    peers_.erase(_id);
  };
  return &wrapped_;
}

bool CQIRHTTP2SRV::GetPeerIdentity(int32_t _connId, std::string& _peer) {
  CQIRLockGuard guard(peerMutex_);
  auto it = peers_.find(_connId);
  if (it == peers_.end()) return false;
  _peer = it->second;
  return true;
}

bool CQIRHTTP2SRV::InitConnectionManager() {
  QIR_LOG_I("Initializing Connection Manager...");
  QIR_ST_HTTP2_OPTIONS options;
  options.nMaxConcurrentStream_ = 100;
  options.nMaxPayloadSize_ = 65536;
  options.nMaxHeaderTableSize_ = QIR_HTTP2_DEFAULT_MAX_HEADER_TABLE_SIZE;
  options.nMaxHeaderListSize_ = QIR_HTTP2_DEFAULT_MAX_HEADER_LIST_SIZE;
  options.nMaxHeaderFields_ = QIR_HTTP2_DEFAULT_MAX_HEADER_FIELDS;
  options.nSendStallTimeout_ = QIR_HTTP2_DEFAULT_SEND_STALL_TIMEOUT;
  options.nDefaultWindowSize_ = 65536;
  options.nDefaultFrameSize_ = 16384;
  options.nLocalWindowSize_ = 65536;
  options.nPushEnable_ = 1;
  options.nPingTimeoutThreshold_ = 2;
  options.nPingSendThreshold_ = 2;
  options.nTimeout_ = 0;

  // A value outside its key's range keeps the default.
  const struct {
    const char* key;
    uint32_t* field;
    int min;
    int max;
  } keys[] = {{"MAX_CONCURRENT_STREAM", &options.nMaxConcurrentStream_, 0, INT_MAX},
              {"PING_PERIOD", &options.nPingSendThreshold_, 0, INT_MAX},
              {"PING_TIMEOUT", &options.nPingTimeoutThreshold_, 0, INT_MAX},
              // Below the RFC's 4096 only for peers known to honour it.
              {"HEADER_TABLE_SIZE", &options.nMaxHeaderTableSize_, 1,
               QIR_HTTP2_DEFAULT_MAX_HEADER_TABLE_SIZE},
              {"MAX_HEADER_LIST_SIZE", &options.nMaxHeaderListSize_, 1, INT_MAX},
              {"MAX_HEADER_FIELDS", &options.nMaxHeaderFields_, 1, INT_MAX},
              {"SEND_STALL_TIMEOUT", &options.nSendStallTimeout_, 0, INT_MAX},
              {"REQUEST_TIMEOUT", &options.nRequestTimeout_, 0, INT_MAX},
              {"IDLE_TIMEOUT", &options.nIdleTimeout_, 0, INT_MAX}};
  for (const auto& k : keys) {
    int value = 0;
    if (cfg_.Get(kSectionOptions, k.key, &value) == 0) {
      QIR_LOG_W("configuration(%s:%s) not found!...using default(%d)", kSectionOptions, k.key,
                static_cast<int>(*k.field));
    } else if (value < k.min || value > k.max) {
      QIR_LOG_W("configuration(%s:%s) value(%d) invalid!...using default(%d)", kSectionOptions,
                k.key, value, static_cast<int>(*k.field));
    } else {
      *k.field = static_cast<uint32_t>(value);
    }
  }
  return cmgr_.Initialize(&tmgr_, callbacks_, &options);
}

bool CQIRHTTP2SRV::InitThreadManager() {
  QIR_LOG_I("Initializing Thread Manager...");
  int poolSize = 0;
  if (cfg_.Get(kSectionThread, "POOL_SIZE", &poolSize) == 0) {
    QIR_LOG_E("configuration(%s:%s) not found!", kSectionThread, "POOL_SIZE");
    return false;
  }
  // Below 1 no worker could serve a connection.
  if (poolSize < 1) {
    QIR_LOG_E("configuration(%s:%s) value(%d) invalid", kSectionThread, "POOL_SIZE", poolSize);
    return false;
  }
  QIR_LOG_I(" - Thread Pool Size : %d", poolSize);
  return tmgr_.Initialize(poolSize, &cmgr_, callbacks_);
}

bool CQIRHTTP2SRV::InitPort(const char* _portKey, const char* _ipnetKey, const char* _protocol,
                            bool* _present) {
  int port = 0;
  *_present = false;
  if (cfg_.Get(kSectionListener, _portKey, &port) == 0) return true;
  *_present = true;

  std::string ipnet;
  if (cfg_.Get(kSectionListener, _ipnetKey, ipnet) == 0) {
    ipnet = "v4";
    QIR_LOG_W("configuration(%s:%s) not found! using default(v4)", kSectionListener, _ipnetKey);
  } else if (ipnet.size() >= kIpNetSize) {
    QIR_LOG_E("configuration(%s:%s) value(%s) too long!...(at most %d characters)",
              kSectionListener, _ipnetKey, ipnet.c_str(), static_cast<int>(kIpNetSize - 1));
    return false;
  }
  if (strcmp(_protocol, "https") == 0) {
    QIR_LOG_I(" - https listen port : IP%s,%5d", ipnet.c_str(), port);
  } else {
    QIR_LOG_I(" - http  listen port : IP%s,%5d", ipnet.c_str(), port);
  }
  int family = (strcasecmp(ipnet.c_str(), "v6") == 0) ? AF_INET6 : AF_INET;
  return listener_.AddListener(_protocol, family, port);
}

// Optional; a missing key keeps the default without a warning, since
// configurations older than the key are the norm.
bool CQIRHTTP2SRV::InitConnectionLimit() {
  int limit = kDefaultMaxConnections;
  if (cfg_.Get(kSectionListener, "MAX_CONNECTIONS", &limit) != 0 && limit < 1) {
    QIR_LOG_E("configuration(%s:%s) value(%d) invalid", kSectionListener, "MAX_CONNECTIONS",
              limit);
    return false;
  }
  QIR_LOG_I(" - Max Connections : %d", limit);
  listener_.SetMaxConnections(limit);
  return true;
}

namespace {

// Descriptors open in this process now (log files, epoll sets, wake-up
// descriptors of the workers and the set-up stage); -1 when unknown.
int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(dir);
  return n - 1;  // the directory's own descriptor
}

}  // namespace

// The usual soft limit (1024) is below what MAX_CONNECTIONS allows by
// default once the server's own descriptors are counted: accepts would fail
// before the connection limit could act. The hard limit is what the
// administrator granted, so the soft one goes up to it.
void CQIRHTTP2SRV::RaiseDescriptorLimit(int _maxConnections) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  if (rl.rlim_cur < rl.rlim_max) {
    rlim_t before = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) {
      QIR_LOG_W("[%d-%s]setrlimit(NOFILE) failed...", errno, strerror(errno));
      getrlimit(RLIMIT_NOFILE, &rl);
    } else {
      QIR_LOG_I(" - Descriptor Limit : %llu (raised from %llu)",
                static_cast<unsigned long long>(rl.rlim_cur),
                static_cast<unsigned long long>(before));
    }
  }
  // The listening sockets are opened later, by the first accept pass.
  int own = CountOpenDescriptors();
  own = (own < 0 ? 0 : own) + listener_.GetListenerCount();
  if (rl.rlim_cur != RLIM_INFINITY &&
      static_cast<unsigned long long>(_maxConnections) + static_cast<unsigned long long>(own) >
          static_cast<unsigned long long>(rl.rlim_cur)) {
    QIR_LOG_W("descriptor limit(%llu) below MAX_CONNECTIONS(%d) plus the server's own(%d)..."
              "accepts will pause when descriptors run out",
              static_cast<unsigned long long>(rl.rlim_cur), _maxConnections, own);
  }
}

bool CQIRHTTP2SRV::InitListener() {
  QIR_LOG_I("Initializing Negotiator...");
  // Handshakes cost more than anything else a new connection needs: with
  // TLS, as many set-up stages as workers, so that they spread over the
  // same cores.
  const int setupThreads = ssl_ctx_ != nullptr ? tmgr_.GetPoolSize() : 1;
  if (!listener_.Initialize(&cmgr_, ssl_ctx_, isUpgrade_, setupThreads)) return false;
  if (!InitConnectionLimit()) return false;
  bool httpPresent = false;
  bool httpsPresent = false;
  if (!InitPort("HTTP_PORT", "HTTP_IPNET", "http", &httpPresent)) return false;
  if (!InitPort("HTTPS_PORT", "HTTPS_IPNET", "https", &httpsPresent)) return false;
  if (!httpPresent && !httpsPresent) {
    QIR_LOG_E("listen port not found!...");
    return false;
  }
  RaiseDescriptorLimit(listener_.GetMaxConnections());
  return true;
}

// Optional: no port, no metrics listener. Bound here, so that a port that
// cannot be had fails Initialize like the configuration errors do.
bool CQIRHTTP2SRV::InitMetrics() {
  int port = 0;
  if (cfg_.Get(kSectionListener, "METRICS_PORT", &port) == 0) return true;
  if (port < 0 || port > 65535) {
    QIR_LOG_E("Invalid listen-port(%d)", port);
    return false;
  }
  std::string ipnet;
  std::string host;
  cfg_.Get(kSectionListener, "METRICS_IPNET", ipnet);
  cfg_.Get(kSectionListener, "METRICS_HOST", host);
  int family = (strcasecmp(ipnet.c_str(), "v6") == 0) ? AF_INET6 : AF_INET;
  QIR_LOG_I(" - metrics listen port : IP%s,%5d,%s", family == AF_INET6 ? "v6" : "v4", port,
            host.empty() ? "loopback" : host.c_str());
  return metrics_.Initialize(host, family, port,
                             [this](std::string& _out) { RenderMetrics(_out); });
}

void CQIRHTTP2SRV::RenderMetrics(std::string& _out) {
  CQIRHTTP2SRVMetrics::Render(_out);
  char line[160];
  snprintf(line, sizeof(line),
           "# HELP qir_connections_open Connections being served.\n"
           "# TYPE qir_connections_open gauge\nqir_connections_open %d\n",
           cmgr_.GetConnectionCount());
  _out += line;
  _out += "# HELP qir_worker_connections_open Connections each worker thread serves.\n"
          "# TYPE qir_worker_connections_open gauge\n";
  for (int i = 0; i < tmgr_.GetPoolSize(); ++i) {
    snprintf(line, sizeof(line), "qir_worker_connections_open{worker=\"%d\"} %d\n", i,
             tmgr_.GetThread(i)->GetConnectionCount());
    _out += line;
  }
}

bool CQIRHTTP2SRV::Start() {
  QIR_LOG_I("Service Starting...");
  if (!tmgr_.Start()) return false;
  if (GetMetricsPort() > 0 && !metrics_.Activate()) {
    QIR_LOG_E("metrics listener thread not started...");
    return false;
  }
  doExit_.store(false);
  started_.store(true);
  return true;
}

bool CQIRHTTP2SRV::Loop() {
  if (doExit_.load()) {
    QIR_LOG_E("already stopped...");
    return false;
  }
  while (!doExit_.load()) {
    if (!tmgr_.IsNoProblem()) return false;
    // A pass cut short by a concurrent Stop is not a failure.
    if (!listener_.DoEvent()) return doExit_.load();
  }
  return true;
}

bool CQIRHTTP2SRV::LoopOnce() {
  if (doExit_.load()) {
    QIR_LOG_E("already stopped...");
    return false;
  }
  // As Loop does: a dead worker strands its connections, which the caller
  // must hear of.
  if (!tmgr_.IsNoProblem()) return false;
  return listener_.DoEvent();
}

void CQIRHTTP2SRV::Stop() {
  CQIRLockGuard guard(stopMutex_);
  if (stopped_.load()) return;
  stopped_.store(true);
  QIR_LOG_I("Service Stopping...");
  doExit_.store(true);
  listener_.Finalize();
  metrics_.Finalize();

  QIR_LOG_I("  - Wait for remaining messages to be processed..");
  std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
  tmgr_.SetExitReserved();
  for (;;) {
    int remain = tmgr_.GetRemainMessages();
    if (remain == 0) {
      QIR_LOG_I("  > all remaining messages have been processed...");
      break;
    }
    std::chrono::duration<double> waited = std::chrono::system_clock::now() - start;
    if (waited.count() > kDrainLimitSec) {
      QIR_LOG_I("  > waiting timeout!...remain messages(%d", remain);
      break;
    }
    usleep(1000);
  }

  tmgr_.Stop();
  tmgr_.Finalize();
  cmgr_.Finalize();
  if (sslThreadSetup_) {
    QIR_SSL_THREAD_CLEANUP();
    sslThreadSetup_ = false;
  }
  Finalize();
}

int CQIRHTTP2SRV::AsyncResponse(int32_t _connId, QIR_ST_HTTP2_RESPONSE* _res) {
  return cmgr_.Response(_connId, _res);
}

void CQIRHTTP2SRV::GetMonitor(std::string& _report) { tmgr_.GetMonitor(_report); }

void CQIRHTTP2SRV::Finalize() {
  if (ssl_ctx_ != nullptr) {
    SSL_CTX_free(ssl_ctx_);
    ssl_ctx_ = nullptr;
  }
}
