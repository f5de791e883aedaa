#include "CQIRServiceLogWriter.h"

// File mode is not available yet: Initialize refuses, so the front end
// reports the failure and stays usable in console mode.
CQIRServiceLogWriter::CQIRServiceLogWriter() : pipe_(0), doExit_(0) {}

CQIRServiceLogWriter::~CQIRServiceLogWriter() { Finalize(); }

int CQIRServiceLogWriter::Initialize(const char*, const char*, const char*, int, unsigned long) {
  return 0;
}

int CQIRServiceLogWriter::AddWriter(const char*) { return 0; }

void CQIRServiceLogWriter::SetKeepDays(int) {}

void CQIRServiceLogWriter::Finalize() {}

void CQIRServiceLogWriter::Run() {}
