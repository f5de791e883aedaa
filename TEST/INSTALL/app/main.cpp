// An application built outside the QIR tree against an installed QIR: one
// POST over HTTP/2 (prior knowledge) to HOST:PORT; the echo must come back.
//   qir-app HOST PORT
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "CQIRHttp2Request.h"
#include "CQIRServiceLog.h"
#include "QIRHttp2Option.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s HOST PORT\n", argv[0]);
    return 2;
  }
  QIR_OPEN_SERVICE_LOG(12);  // warnings and errors
  QIR_HTTP2_INIT();
  bool ok = false;
  {
    QIR_ST_HTTP2_OPTIONS options;
    options.nMaxPayloadSize_ = 4096;
    options.nTimeout_ = 5;
    CQIRHttp2Request client;
    static char body[] = "hello from an installed QIR";
    static char answer[4096];
    if (client.Initialize("app", &options) && client.Connect(argv[1], atoi(argv[2]), nullptr, false)) {
      QIR_ST_HTTP2_REQUEST req;
      snprintf(req.method_, sizeof(req.method_), "POST");
      snprintf(req.path_, sizeof(req.path_), "/echo");
      req.payload_.data_ = body;
      req.payload_.size_ = strlen(body);
      QIR_ST_HTTP2_RESPONSE res;
      res.payload_.data_ = answer;
      if (client.Request(&req, &res, sizeof(answer))) {
        std::string echo(res.payload_.data_, res.payload_.size_);
        printf("%s %s\n", res.rs_, echo.c_str());
        ok = strcmp(res.rs_, "200") == 0 && echo == body;
      }
    }
  }
  QIR_CLOSE_SERVICE_LOG();
  return ok ? 0 : 1;
}
