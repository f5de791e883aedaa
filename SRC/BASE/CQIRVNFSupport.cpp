#include "CQIRVNFSupport.h"

#include "CQIRIniConfigContainer.h"
#include "CQIRServiceLog.h"
#include "CQIRUtil.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <exception>

namespace {

const char kDefaultHostFile[] = "/etc/vnf/hostname";
const char kDefaultServerList[] = "/etc/vnf/server_list.txt";
const char kPropertyFile[] = "/etc/vnf_env.properties";

// A value of the wrong type ends the walk of the server list; the entries
// found before it stay.
class ServerListTypeError : public std::exception {
 public:
  explicit ServerListTypeError(const char* _what) : what_(_what) {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;
};

// Present and not null: what the list requires of a member it uses.
const rapidjson::Value* Member(const rapidjson::Value& _object, const char* _name) {
  if (!_object.IsObject()) return nullptr;
  auto it = _object.FindMember(_name);
  if (it == _object.MemberEnd() || it->value.IsNull()) return nullptr;
  return &it->value;
}

const char* Text(const rapidjson::Value& _value, const char* _what) {
  if (!_value.IsString()) throw ServerListTypeError(_what);
  return _value.GetString();
}

}  // namespace

CQIRVNFSupport::CQIRVNFSupport() : ipMap_(10) { strcpy(hostName_, "unknown"); }

int CQIRVNFSupport::Initialize() { return _GetHostName(); }

void CQIRVNFSupport::Finalize() {
  CQIRLockGuard guard(mutex_);
  ipMap_.clear();
}

int CQIRVNFSupport::_GetHostName() {
  const char* file = getenv("QIR_HOST_NAME");
  if (file == nullptr) file = kDefaultHostFile;
  char command[128];
  int n = snprintf(command, sizeof(command), "cat %s", file);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(command)) {
    // A cut command would read another file.
    QIR_LOG_E("host name file path too long(%s)...", file);
    return 0;
  }
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) {
    QIR_LOG_I("[%d-%s]popen(%s) failed...", errno, strerror(errno), command);
    return 0;
  }
  char line[sizeof(hostName_)];
  if (fgets(line, sizeof(line), pipe) == nullptr) {
    QIR_LOG_E("popen(%s) read failed...", command);
    pclose(pipe);
    return 0;
  }
  pclose(pipe);
  size_t len = strlen(line);
  if (len > 0 && line[len - 1] == '\n') line[len - 1] = '\0';
  memcpy(hostName_, line, sizeof(hostName_));
  return 1;
}

int CQIRVNFSupport::GetHostSeq() const {
  if (strcmp(hostName_, "unknown") == 0) return -1;
  const int len = static_cast<int>(strlen(hostName_));
  int i = len - 1;
  while (i >= 0 && static_cast<unsigned char>(hostName_[i]) <= '9') --i;
  if (i < 0 || i == len - 1) return -1;
  return atoi(hostName_ + i + 1);
}

void CQIRVNFSupport::WalkServerList(const char* _json, size_t _length) {
  rapidjson::Document doc;
  // The iterative parser keeps its nesting on the heap: the recursive one
  // lets a file of a few megabytes of "[" overflow the stack. The document's
  // pool allocator frees without walking the tree, so destruction is flat too.
  doc.Parse<rapidjson::kParseIterativeFlag>(_json, _length);
  if (doc.HasParseError()) {
    printf("%s\n", rapidjson::GetParseError_En(doc.GetParseError()));
    return;
  }
  try {
    const rapidjson::Value* list = Member(doc, "vnfcConfigurationData");
    if (list == nullptr) return;  // counts as empty
    if (!list->IsArray()) throw ServerListTypeError("vnfcConfigurationData is not an array");
    for (const rapidjson::Value& element : list->GetArray()) {
      const rapidjson::Value* data = Member(element, "vnfcSpecificData");
      if (data == nullptr || !data->IsObject()) continue;
      const rapidjson::Value* name = Member(*data, "name");
      if (name == nullptr) continue;
      std::string component = Text(*name, "name is not a string");
      const rapidjson::Value* interfaces = Member(*data, "interfaces");
      if (interfaces == nullptr) continue;
      if (!interfaces->IsArray()) throw ServerListTypeError("interfaces is not an array");
      for (const rapidjson::Value& itf : interfaces->GetArray()) {
        if (!itf.IsObject()) throw ServerListTypeError("interface is not an object");
        const rapidjson::Value* address = Member(itf, "address");
        const rapidjson::Value* id = Member(itf, "networkInterfaceId");
        if (address == nullptr || id == nullptr) continue;
        std::string key = component + Text(*id, "networkInterfaceId is not a string");
        // emplace keeps an existing key: the first occurrence wins.
        ipMap_.emplace(std::move(key), Text(*address, "address is not a string"));
      }
    }
  } catch (const ServerListTypeError& e) {
    printf("%s\n", e.what());
  } catch (...) {
    printf("Unknown Error\n");
  }
}

int CQIRVNFSupport::_GetServerList() {
  ipMap_.clear();
  const char* file = getenv("QIR_SERVER_LIST");
  if (file == nullptr) file = kDefaultServerList;
  size_t size = CQIRUtil::GetFileSize(file);
  if (size == static_cast<size_t>(-1)) {
    QIR_LOG_E("file(%s) get size failed...", file);
    return 0;
  }
  char* buffer = static_cast<char*>(calloc(size + 1, 1));
  if (buffer == nullptr) {
    QIR_LOG_E("file(%s) loading memory allocate failed...", file);
    return 0;
  }
  if (!CQIRUtil::LoadFile(file, buffer, static_cast<long>(size))) {
    free(buffer);
    QIR_LOG_E("file(%s) read failed...", file);
    return 0;
  }
  WalkServerList(buffer, size);
  fflush(stdout);
  free(buffer);
  return 1;
}

int CQIRVNFSupport::GetServerIP(const char* _serverName, const char* _ipName, char* _result,
                                size_t _size) {
  if (_serverName == nullptr || _ipName == nullptr || _result == nullptr) return 0;
  CQIRLockGuard guard(mutex_);
  if (_GetServerList() == 0) return 0;
  auto it = ipMap_.find(std::string(_serverName) + _ipName);
  if (it == ipMap_.end()) {
    QIR_LOG_E("IP-TAG[%s:%s] not found!", _serverName, _ipName);
    return 0;
  }
  const std::string& address = it->second;
  if (address.size() >= _size) {
    QIR_LOG_E("Buffer Size[%u:%u] invalid", static_cast<unsigned>(_size),
              static_cast<unsigned>(address.size()));
    return 0;
  }
  memcpy(_result, address.c_str(), address.size() + 1);
  return 1;
}

int CQIRVNFSupport::GetVNFEnvProperty(const char* _tag, const char* _key, char* _value) {
  return GetVNFEnvProperty(_tag, _key, _value, kPropertyFile);
}

int CQIRVNFSupport::GetVNFEnvProperty(const char* _tag, const char* _key, char* _value,
                                      const char* _propertyFile) {
  CQIRIniConfigContainer properties;
  if (properties.Initialize(_propertyFile, nullptr) == 0) return 0;
  return properties.Get(_tag, _key, _value);
}
