#ifndef QIR_TEST_NET_QIRTLSTESTPKI_H
#define QIR_TEST_NET_QIRTLSTESTPKI_H

// Keys and certificates made with the openssl command at test time, in a
// private temporary directory removed afterwards. P-256 keys keep it fast.

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

class QIRTlsTestPki {
 public:
  QIRTlsTestPki() {
    char tmpl[] = "/tmp/qir-pki-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  }
  ~QIRTlsTestPki() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  std::string Path(const std::string& _file) const { return dir_ + "/" + _file; }

  // self.key/self.pem: self-signed leaf, valid now.
  bool MakeSelfSigned() {
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
               " -keyout " + Path("self.key") + " -out " + Path("self.pem") +
               " -days 2 -subj /CN=localhost");
  }

  // ca.key/ca.pem: a CA; srv.key/srv.pem: a leaf it signed.
  bool MakeCaSigned() {
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
               " -keyout " + Path("ca.key") + " -out " + Path("ca.pem") +
               " -days 2 -subj /CN=qir-test-ca") &&
           Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
               " -keyout " + Path("srv.key") + " -out " + Path("srv.csr") + " -subj /CN=localhost") &&
           Run("openssl x509 -req -in " + Path("srv.csr") + " -CA " + Path("ca.pem") + " -CAkey " +
               Path("ca.key") + " -CAcreateserial -days 2 -out " + Path("srv.pem"));
  }

  // <name>.key/<name>.pem: self-signed leaf with the given validity
  // (CCYYMMDDhhmmssZ), for expired and known-expiry certificates.
  bool MakeDated(const std::string& _name, const char* _start, const char* _end) {
    std::ofstream cnf(Path("ca.cnf"));
    cnf << "[ca]\ndefault_ca = d\n[d]\ndatabase = " << Path("index.txt")
        << "\nnew_certs_dir = " << dir_ << "\nserial = " << Path("serial")
        << "\ndefault_md = sha256\npolicy = p\nunique_subject = no\n[p]\ncommonName = supplied\n";
    cnf.close();
    std::ofstream(Path("index.txt")).close();
    std::ofstream(Path("serial")) << "01\n";
    return Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
               " -keyout " + Path(_name + ".key") + " -out " + Path(_name + ".csr") +
               " -subj /CN=" + _name) &&
           Run("openssl ca -batch -config " + Path("ca.cnf") + " -selfsign -keyfile " +
               Path(_name + ".key") + " -in " + Path(_name + ".csr") + " -out " +
               Path(_name + ".pem") + " -startdate " + _start + " -enddate " + _end);
  }

  bool ok() const { return !dir_.empty(); }

 private:
  static bool Run(const std::string& _cmd) {
    std::string quiet = _cmd + " >/dev/null 2>&1 </dev/null";
    return system(quiet.c_str()) == 0;
  }

  std::string dir_;
};

#endif  // QIR_TEST_NET_QIRTLSTESTPKI_H
