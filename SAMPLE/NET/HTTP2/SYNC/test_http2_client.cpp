// h2sync-client: sends a counted series of POST requests over one HTTP/2
// connection (TLS with ALPN "h2", or cleartext with the HTTP/1.1 upgrade),
// one after another, and prints the responses and the request rate.

#include "CQIRHttp2Request.h"
#include "CQIRServiceLog.h"
#include "QIRCommonOpenSSL.h"
#include "QIRHttp2Option.h"
#include "defHttp2.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <chrono>

char G_OPT_HOST[32];  // at most 31 characters; a longer -h is refused
int G_OPT_PORT = 0;
int G_OPT_TEST_COUNT = 10;
bool G_OPT_UPGRADE = false;
bool G_OPT_VERBOSE = false;
const char* G_OPT_CACERT = nullptr;  // --cacert: strict verification of the server
QIR_ST_HTTP2_OPTIONS G_HTTP2_OPTION;

namespace {

const size_t kBodySize = 4096;

double SecondsSince(std::chrono::system_clock::time_point _start) {
  return std::chrono::duration<double>(std::chrono::system_clock::now() - _start).count();
}

double Rate(int _count, double _seconds) { return _seconds > 0.0 ? _count / _seconds : 0.0; }

// The first eight body bytes, never more than the body holds.
int Head(const QIR_ST_HTTP2_RESPONSE& _res) {
  return _res.payload_.size_ < 8 ? (int)_res.payload_.size_ : 8;
}

// Waits for one character on standard input. Meanwhile the connection is
// served, so that the server's keep-alive pings are answered and a user who
// takes his time still finds it open.
void WaitForEnter(CQIRHttp2Request* _req) {
  for (;;) {
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, 0) != 0) break;    // a character, end of input or an error
    if (_req->GetEvent() < 0) break;    // at most 10 ms; the first request reports the failure
  }
  getchar();
}

}  // namespace

void Help(const char* _name) {
  fprintf(stderr, "Invalid Arguments...\n");
  fprintf(stderr, "\t./%s -h host -p port [-u] [-v] [-c test-count]\n", _name);
  fprintf(stderr, "\t -h host  : host ip address\n");
  fprintf(stderr, "\t -p port  : host listening port\n");
  fprintf(stderr, "\t -u       : http/1/1 upgrade connect mode\n");
  fprintf(stderr, "\t -e       : external event dispath mode\n");
  fprintf(stderr, "\t -v       : verbose mode\n");
  fprintf(stderr, "\t -c count : test count\n");
  fprintf(stderr, "\t --cacert FILE : trust only the CAs in FILE and check the host name\n");
  fprintf(stderr, "examples)\n\t%s -h 127.0.0.1 -p 8088 -u -v -c 10\n", _name);
}

// An unknown option makes the arguments invalid until a later -h or -p.
bool ParseArg(int _argc, char** _argv) {
  bool valid = false;
  bool hostTooLong = false;
  int opt;
  opterr = 0;  // the usage text is the only complaint
  static const struct option kLong[] = {{"cacert", required_argument, nullptr, 'C'},
                                        {nullptr, 0, nullptr, 0}};
  while ((opt = getopt_long(_argc, _argv, "h:p:c:uv", kLong, nullptr)) != -1) {
    switch (opt) {
      case 'C':
        G_OPT_CACERT = optarg;
        break;
      case 'c':
        G_OPT_TEST_COUNT = atoi(optarg);
        break;
      case 'h':
        // Cut, the name would reach another host: refuse it outright.
        if (strlen(optarg) >= sizeof(G_OPT_HOST)) {
          fprintf(stderr, "host(%s) too long!...at most %d characters\n", optarg,
                  (int)sizeof(G_OPT_HOST) - 1);
          hostTooLong = true;
        } else {
          snprintf(G_OPT_HOST, sizeof(G_OPT_HOST), "%s", optarg);
        }
        valid = true;
        break;
      case 'p':
        G_OPT_PORT = atoi(optarg);
        valid = true;
        break;
      case 'u':
        G_OPT_UPGRADE = true;
        break;
      case 'v':
        G_OPT_VERBOSE = true;
        break;
      default:
        valid = false;
        break;
    }
  }
  if (!valid || hostTooLong || G_OPT_PORT == 0) {
    Help(_argv[0]);
    return false;
  }
  return true;
}

int doTestSync(CQIRHttp2Request* _req) {
  auto start = std::chrono::system_clock::now();
  QIR_ST_HTTP2_REQUEST* request = new QIR_ST_HTTP2_REQUEST;
  QIR_ST_HTTP2_RESPONSE* response = new QIR_ST_HTTP2_RESPONSE;
  request->payload_.data_ = (char*)calloc(1, kBodySize);
  response->payload_.data_ = (char*)calloc(1, kBodySize);
  int success = 0;
  int notSent = 0;
  if (request->payload_.data_ == nullptr || response->payload_.data_ == nullptr) {
    printf("error!\n");
  } else {
    request->authority_[0] = '\0';
    request->hdr_.emplace_back("content-type", "text");
    request->hdr_.emplace_back("routing-host", "127.0.0.1:8000");
    for (int i = 0; i < G_OPT_TEST_COUNT; ++i) {
      request->messageId_ = i;
      snprintf(request->method_, sizeof(request->method_), "POST");
      snprintf(request->path_, sizeof(request->path_), "/test/test");
      snprintf(request->payload_.data_, kBodySize, "%08d", i);
      request->payload_.size_ = kBodySize;
      bool answered = _req->Request(request, response, kBodySize) &&
                      response->outcome_ == QIR_HTTP2_OUTCOME_ANSWERED;
      if (!answered) {
        // Refused: the server never took it (GOAWAY, REFUSED_STREAM), and
        // neither did it take the ones after it.
        if (response->outcome_ == QIR_HTTP2_OUTCOME_REFUSED) {
          notSent = G_OPT_TEST_COUNT - i;
        } else {
          printf("error!\n");
        }
        break;
      }
      ++success;
      // After a GOAWAY every answer still arriving is shown.
      if (G_OPT_VERBOSE || _req->GetGoawayCode() >= 0) {
        printf("%d response status:%s,value[%4d:%8.*s]\n", i, response->rs_,
               (int)response->payload_.size_, Head(*response), response->payload_.data_);
      }
      if (G_OPT_TEST_COUNT > 1000 && success % (G_OPT_TEST_COUNT / 100) == 0) {
        printf("%d response status:%s,value[%4d:%8.*s] tps=%lf\n", success, response->rs_,
               (int)response->payload_.size_, Head(*response), response->payload_.data_,
               Rate(success, SecondsSince(start)));
      }
    }
  }
  double elapsed = SecondsSince(start);
  printf("%d elapsed...%lf... tps=%lf\n", success, elapsed, Rate(success, elapsed));
  if (_req->GetGoawayCode() >= 0) printf("GOAWAY(%d) received...\n", _req->GetGoawayCode());
  if (notSent > 0) printf("%d requests not sent (refused, safe to retry)\n", notSent);
  fflush(stdout);
  free(request->payload_.data_);
  free(response->payload_.data_);
  delete request;
  delete response;
  // Every request must have its answer.
  return success == G_OPT_TEST_COUNT ? 1 : 0;
}

int doTest() {
  SSL_CTX* ctx = nullptr;
  if (!G_OPT_UPGRADE) {
    QIR_SSL_INIT();
    ctx = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
    if (ctx == nullptr) return 0;
    if (G_OPT_CACERT != nullptr && QIR_SSL_CTX_SET_STRICT_VERIFY(ctx, G_OPT_CACERT) != 0) {
      SSL_CTX_free(ctx);
      return 0;
    }
    QIR_LOG_I("SSL init success...");
  }
  int result = 0;
  {
    CQIRHttp2Request req;
    G_HTTP2_OPTION = QIR_ST_HTTP2_OPTIONS();
    G_HTTP2_OPTION.nMaxPayloadSize_ = kBodySize;
    G_HTTP2_OPTION.nTimeout_ = 1;
    if (req.Initialize("test", &G_HTTP2_OPTION)) {
      bool connected;
      if (G_OPT_UPGRADE) {
        QIR_LOG_I("connect http/1.1 upgrade...");
        connected = req.Connect(G_OPT_HOST, G_OPT_PORT, false);
      } else {
        QIR_LOG_I("connect http/2 direct...");
        connected = req.Connect(G_OPT_HOST, G_OPT_PORT, ctx, false);
      }
      if (connected) {
        QIR_LOG_I("Testing %d Request!...", G_OPT_TEST_COUNT);
        fflush(stdout);
        WaitForEnter(&req);  // the run begins when the user presses Enter
        result = doTestSync(&req);
      }
    }
  }  // the engine disconnects (GOAWAY) and frees its pools here
  if (ctx != nullptr) SSL_CTX_free(ctx);
  return result;
}

int main(int argc, char** argv) {
  if (!ParseArg(argc, argv)) return 0;
  QIR_OPEN_SERVICE_LOG(15);
  QIR_HTTP2_INIT();
  int result = doTest();
  QIR_CLOSE_SERVICE_LOG();
  return result != 0 ? 0 : 1;
}
