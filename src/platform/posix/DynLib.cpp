#include "platform/DynLib.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform {

// The handle returned by dlopen, behind the opaque type of the header.
struct TDynLib {
  void* Handle = nullptr;
};

namespace {

// dlopen leaves errno alone, so the code is worked out from what can be seen:
// the file itself for a path, the message for a name searched by the system.
int ErrorCodeFor(const std::string& path, const std::string& message) {
  if (path.find('/') != std::string::npos) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return errno != 0 ? errno : ENOENT;
    return message.find(std::strerror(EACCES)) != std::string::npos ? EACCES : ENOEXEC;
  }
  if (message.find(std::strerror(ENOENT)) != std::string::npos) return ENOENT;
  if (message.find(std::strerror(EACCES)) != std::string::npos) return EACCES;
  return ENOEXEC;
}

}  // namespace

TOsResult OpenDynLib(const std::string& path, TDynLib*& lib) {
  lib = nullptr;
  ::dlerror();  // clears any earlier message
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = ::dlerror();
    const std::string message = text != nullptr ? text : "unknown error";
    const int code = ErrorCodeFor(path, message);
    return TOsResult::Failure(
        code == ENOENT ? TOsResult::TKind::not_found : TOsResult::TKind::failed,
        "dlopen '" + path + "': " + message, code);
  }
  lib = new TDynLib{handle};
  return TOsResult::Success();
}

TDynProc DynLibProc(TDynLib* lib, const char* name) {
  if (lib == nullptr || name == nullptr) return nullptr;
  void* address = ::dlsym(lib->Handle, name);
  return reinterpret_cast<TDynProc>(address);
}

std::string DynLibPath(TDynLib* lib) {
  if (lib == nullptr) return {};
  link_map* map = nullptr;
  if (::dlinfo(lib->Handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    return {};
  return map->l_name;
}

void CloseDynLib(TDynLib* lib) {
  if (lib == nullptr) return;
  ::dlclose(lib->Handle);
  delete lib;
}

}  // namespace platform
