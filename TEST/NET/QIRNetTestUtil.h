#ifndef QIR_TEST_NET_QIRNETTESTUTIL_H
#define QIR_TEST_NET_QIRNETTESTUTIL_H

// Helpers shared by the TLS and socket tests.

#include "BASE/QIRLogTestUtil.h"

#include <stdlib.h>

#include <fstream>
#include <string>

using qirtest::Captured;
using qirtest::Has;
using qirtest::ScopedEnv;

// Keys and certificates made with the openssl command in a private temporary
// directory, removed afterwards. P-256 keys keep it fast.
class QIRTlsTestPki {
 public:
  std::string Path(const std::string& _file) const { return dir_ / _file; }

  // <name>.key/<name>.pem, self-signed, valid now.
  bool MakeSelfSigned(const std::string& _name = "self") { return qirtest::MakeCert(dir_.path(), _name); }
  // <name>.key/<name>.pem, self-signed, valid _start to _end (CCYYMMDDhhmmssZ).
  bool MakeDated(const std::string& _name, const char* _start, const char* _end) {
    std::ofstream(Path("ca.cnf")) << "[ca]\ndefault_ca=d\n[d]\ndatabase=" << Path("index.txt")
                                  << "\nnew_certs_dir=" << dir_.path() << "\nserial=" << Path("serial")
                                  << "\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n";
    std::ofstream(Path("index.txt")).close();
    std::ofstream(Path("serial")) << "01\n";
    return Run(kNewKey + "-keyout " + Path(_name + ".key") + " -out " + Path(_name + ".csr") +
               " -subj /CN=" + _name) &&
           Run("openssl ca -batch -config " + Path("ca.cnf") + " -selfsign -keyfile " +
               Path(_name + ".key") + " -in " + Path(_name + ".csr") + " -out " + Path(_name + ".pem") +
               " -startdate " + _start + " -enddate " + _end);
  }

 private:
  static bool Run(const std::string& _cmd) { return qirtest::RunCmd(_cmd + " </dev/null") == 0; }
  const std::string kNewKey = "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  qirtest::TempDir dir_;
};

#endif  // QIR_TEST_NET_QIRNETTESTUTIL_H
