#include "CQIRServiceLog.h"

#include <stdio.h>
#include <string.h>

#include "CQIRConv.h"

CQIRServiceLog G_SERVICE_LOGGER;

int QIR_OPEN_SERVICE_LOG(int _logMask) {
  if (G_SERVICE_LOGGER.Initialize() == 0) return 0;
  G_SERVICE_LOGGER.SetMask(_logMask);
  return 1;
}

int QIR_OPEN_SERVICE_LOG(const char* _logPath, const char* _logName, int _keepDays, int _logMask,
                         int _createDailyPath, unsigned long _maxFileSize) {
  char path[4096];
  if (strlen(_logPath) >= sizeof(path)) {
    printf("logger invalid path(%s)...\n", _logPath);
    return 0;
  }
  CQIRConv::EnvReplace(path, _logPath, sizeof(path));
  if (G_SERVICE_LOGGER.Initialize(path, _logName, "LOG", _createDailyPath, _maxFileSize) == 0) {
    return 0;
  }
  G_SERVICE_LOGGER.SetKeepDays(_keepDays);
  G_SERVICE_LOGGER.SetMask(_logMask);
  return 1;
}

void QIR_CLOSE_SERVICE_LOG() { G_SERVICE_LOGGER.Finalize(); }
