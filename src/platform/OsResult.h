#pragma once

#include <string>
#include <utility>

namespace platform {

// Outcome of one operating-system call: a kind plus a text naming the call,
// the path and the system's message ("rename 'a.tra' -> 'done/a.tra':
// Permission denied"). Platform functions never log; callers word their own
// message and decide what the failure means.
struct TOsResult {
  enum class TKind { ok, not_found, failed };
  TKind Kind = TKind::ok;
  std::string Text;
  // The system's own error number, for the few messages that print one
  // ("erreur 2"); 0 when there is none. Callers decide on `Kind`, never on it.
  int Code = 0;
  // The machine failed rather than the data: no space left, a read-only or
  // failing disk, or a destination folder that is missing or closed to the
  // service. Such a failure goes away once the machine is put right.
  bool Environment = false;

  bool Ok() const { return Kind == TKind::ok; }
  bool NotFound() const { return Kind == TKind::not_found; }
  bool EnvironmentFault() const { return !Ok() && Environment; }

  static TOsResult Success() { return {}; }
  static TOsResult Failure(TKind k, std::string t, int c = 0, bool environment = false) {
    return {k, std::move(t), c, environment};
  }
};

// The work in progress on this thread could not write its output because of
// an environment fault: the operation that saw the failure notes it (the
// first reason noted is kept), and whoever runs that work takes the note to
// decide whether to try again later. One note per thread.
namespace internal {
inline thread_local std::string GEnvironmentFault;
}  // namespace internal

inline void NoteEnvironmentFault(const std::string& reason) {
  if (internal::GEnvironmentFault.empty()) {
    internal::GEnvironmentFault = reason.empty() ? std::string("?") : reason;
  }
}
// The reason noted since the last call, empty when none; clears the note.
inline std::string TakeEnvironmentFault() {
  return std::exchange(internal::GEnvironmentFault, std::string());
}

}  // namespace platform
