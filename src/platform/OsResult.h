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

// What one stage of work came to: done, failed because of its input (the
// data), or failed because of the machine, with the machine's reason. A
// machine failure goes away once the machine is put right, so the work waits
// and is tried again then; an input failure does not.
struct TStageOutcome {
  enum class TKind { done, input_failed, machine_failed };
  TKind Kind = TKind::done;
  // The machine's reason ("write 'a.xml': No space left on device"), for
  // machine_failed.
  std::string Reason;

  bool MachineFailed() const { return Kind == TKind::machine_failed; }

  // Counts one failed system call against the stage: a machine fault makes
  // it a machine failure (the first reason is kept), any other failure an
  // input failure unless the machine already failed it.
  void Add(const TOsResult& r) {
    if (r.Ok()) return;
    if (r.EnvironmentFault()) {
      MachineFault(r.Text);
    } else if (Kind == TKind::done) {
      Kind = TKind::input_failed;
    }
  }
  // The stage could not write its output because of the machine.
  void MachineFault(const std::string& reason) {
    if (MachineFailed()) return;
    Kind = TKind::machine_failed;
    Reason = reason.empty() ? std::string("?") : reason;
  }
};

// Counts a failed call against the stage whose outcome the caller asked for
// (Outcome may be null: the caller does not want it).
inline void AddToOutcome(TStageOutcome* Outcome, const TOsResult& r) {
  if (Outcome != nullptr) Outcome->Add(r);
}

}  // namespace platform
