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

  bool Ok() const { return Kind == TKind::ok; }
  bool NotFound() const { return Kind == TKind::not_found; }

  static TOsResult Success() { return {}; }
  static TOsResult Failure(TKind k, std::string t, int c = 0) { return {k, std::move(t), c}; }
};

}  // namespace platform
