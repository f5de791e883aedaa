#ifndef QIR_TEST_NET_QIRNETTESTUTIL_H
#define QIR_TEST_NET_QIRNETTESTUTIL_H

// Helpers shared by the TLS and socket tests and the trust tests end to end.

#include "BASE/QIRLogTestUtil.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <string>

using qirtest::Captured;
using qirtest::Has;
using qirtest::ScopedEnv;

// A small PKI made with the openssl command in a private temporary
// directory: CAs, and leaves with subject alternative names, signed by a CA
// or by themselves, valid now or for given dates. P-256 keys keep it fast.
class QIRTlsTestCerts {
 public:
  std::string Path(const std::string& _file) const { return dir_ / _file; }
  std::string Key(const std::string& _name) const { return Path(_name + ".key"); }
  std::string Pem(const std::string& _name) const { return Path(_name + ".pem"); }

  // <name>.key/<name>.pem, a self-signed CA valid for two days.
  bool Ca(const std::string& _name) {
    return Run(kNewKey + "-x509 -days 2 -subj /CN=" + _name + " -keyout " + Key(_name) + " -out " +
               Pem(_name));
  }
  // <name>.key/<name>.pem with CN=<name> and _san ("DNS:localhost,IP:127.0.0.1"),
  // issued by the CA _issuer, or by itself when _issuer is empty; _dates as
  // openssl ca takes them.
  bool Leaf(const std::string& _name, const std::string& _issuer, const std::string& _san,
            const std::string& _dates = " -days 2") {
    std::ofstream(Path("ca.cnf")) << "[ca]\ndefault_ca=d\n[d]\ndatabase=" << Path("index.txt")
                                  << "\nnew_certs_dir=" << dir_.path() << "\nserial=" << Path("serial")
                                  << "\ndefault_md=sha256\npolicy=p\ncopy_extensions=copy\n"
                                  << "unique_subject=no\n[p]\ncommonName=supplied\n";
    if (!qirtest::Exists(Path("index.txt"))) std::ofstream(Path("index.txt")).close();
    if (!qirtest::Exists(Path("serial"))) std::ofstream(Path("serial")) << "01\n";
    const std::string signer =
        _issuer.empty() ? " -selfsign -keyfile " + Key(_name)
                        : " -cert " + Pem(_issuer) + " -keyfile " + Key(_issuer);
    return Run(kNewKey + "-subj /CN=" + _name + " -addext subjectAltName=" + _san + " -keyout " +
               Key(_name) + " -out " + Path(_name + ".csr")) &&
           Run("openssl ca -batch -notext -config " + Path("ca.cnf") + signer + " -in " +
               Path(_name + ".csr") + " -out " + Pem(_name) + _dates);
  }

 private:
  static bool Run(const std::string& _cmd) {
    return qirtest::RunCmd(_cmd + " >/dev/null 2>&1 </dev/null") == 0;
  }
  const std::string kNewKey =
      "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  qirtest::TempDir dir_;
};

// The trust tests' PKI, made once per process: ca and other-ca; server
// leaves for localhost and 127.0.0.1 (good from ca, expired, selfsigned,
// unknownca from other-ca) and wronghost for other.example; client leaves
// (client from ca, client-self, client-other, client-expired).
inline QIRTlsTestCerts& QIRTrustPki() {
  static QIRTlsTestCerts* pki = [] {
    QIRTlsTestCerts* p = new QIRTlsTestCerts();
    const std::string local = "DNS:localhost,IP:127.0.0.1", client = "DNS:client.example";
    const std::string expired = " -startdate 20200101000000Z -enddate 20200102000000Z";
    bool ok = p->Ca("ca") && p->Ca("other-ca") && p->Leaf("good", "ca", local) &&
              p->Leaf("wronghost", "ca", "DNS:other.example") &&
              p->Leaf("expired", "ca", local, expired) && p->Leaf("selfsigned", "", local) &&
              p->Leaf("unknownca", "other-ca", local) &&
              p->Leaf("client", "ca", client + ",IP:10.0.0.7") && p->Leaf("client-self", "", client) &&
              p->Leaf("client-other", "other-ca", client) &&
              p->Leaf("client-expired", "ca", client, expired);
    if (!ok) fprintf(stderr, "trust test PKI: openssl failed\n");
    return p;
  }();
  return *pki;
}

#endif  // QIR_TEST_NET_QIRNETTESTUTIL_H
