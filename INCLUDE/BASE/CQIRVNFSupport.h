#ifndef QIR_BASE_CQIRVNFSUPPORT_H
#define QIR_BASE_CQIRVNFSUPPORT_H

#include <stddef.h>

#include <string>
#include <unordered_map>

#include "CQIRMutex.h"

// component name + network interface id (no separator) -> address text
typedef std::unordered_map<std::string, std::string> QIR_VNF_IP_MAP;

// Facts about this process's place in a virtualised network function, read
// from files the platform puts on the host:
//   host name          the file named by $QIR_HOST_NAME, else /etc/vnf/hostname
//   server list (JSON) $QIR_SERVER_LIST, else /etc/vnf/server_list.txt
//   properties (INI)   /etc/vnf_env.properties
// Used by the INI container to resolve "$(VNF:component;interface)" in
// values. GetServerIP rereads the list on every call; it is locked, so the
// container's getters may run on several threads.
class CQIRVNFSupport {
 public:
  CQIRVNFSupport();
  ~CQIRVNFSupport() { Finalize(); }
  CQIRVNFSupport(const CQIRVNFSupport&) = delete;
  CQIRVNFSupport& operator=(const CQIRVNFSupport&) = delete;

  int Initialize();  // reads the host name; 1 ok, 0 failed (logged)
  void Finalize();   // forgets the server list

  const char* GetHostName() const { return hostName_; }  // "unknown" until read
  // The number that ends the host name: the text after the last character
  // above '9' (app07 -> 7, app-03 -> -3); -1 when there is none or the name
  // is unknown.
  int GetHostSeq() const;

  // Copies the address of interface _ipName of component _serverName into
  // _result (_size bytes, NUL included). 1 copied; 0 list unreadable, pair
  // unknown or address too long (logged).
  int GetServerIP(const char* _serverName, const char* _ipName, char* _result, size_t _size);

  // Value of key _key in section _tag of the properties file into _value
  // (the caller's buffer holds it). 1 found; 0 missing or file unreadable.
  int GetVNFEnvProperty(const char* _tag, const char* _key, char* _value);
  int GetVNFEnvProperty(const char* _tag, const char* _key, char* _value,
                        const char* _propertyFile);

 private:
  int _GetHostName();
  int _GetServerList();  // under mutex_
  void WalkServerList(const char* _json, size_t _length);

  QIR_VNF_IP_MAP ipMap_;  // guarded by mutex_
  char hostName_[128];
  CQIRMutex mutex_;
};

#endif  // QIR_BASE_CQIRVNFSUPPORT_H
