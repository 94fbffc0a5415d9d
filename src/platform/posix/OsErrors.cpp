#include "platform/posix/OsErrors.h"

#include <cerrno>
#include <cstring>

namespace platform::posix {

namespace {

bool MachineError(int err) {
  return err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO || err == EMFILE ||
         err == ENFILE;
}

TOsResult Failure(const std::string& context, int err, bool environment) {
  const auto kind =
      (err == ENOENT || err == ENOTDIR) ? TOsResult::TKind::not_found : TOsResult::TKind::failed;
  return TOsResult::Failure(kind, context + ": " + std::strerror(err), err, environment);
}

}  // namespace

TOsResult Error(const std::string& context, int err) {
  return Failure(context, err, MachineError(err));
}

TOsResult WriteError(const std::string& context, int err) {
  const bool closed =
      err == EACCES || err == EPERM || err == ENOENT || err == ENOTDIR || err == EEXIST;
  return Failure(context, err, closed || MachineError(err));
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

}  // namespace platform::posix
