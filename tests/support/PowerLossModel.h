#pragma once

// The states a power loss can leave a folder tree in, rebuilt from the file
// layer's record of what the service did (platform::TFileOp): for a crash
// after any operation, the tree as it would be found when the machine comes
// back, under two models of the disk.
//
// - Ordered (ext4 in its default mode): names reach the disk in the order
//   they were given, so every name given up to the crash is there; but the
//   content of a file reaches it only when flushed, so a file never flushed
//   is empty and an append not flushed is lost. Beside it, when the crash
//   falls on a write that a flush was about to make durable, the torn
//   variant: that write cut short part-way.
// - Strict (what POSIX alone promises): a folder holds the entries it had
//   when it was last flushed (a folder never flushed keeps the ones it had
//   before the record began; a new one never flushed into its parent is
//   gone), and a file the content of its last flush.
//
// Files and folders present when the model is made count as on the disk.

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/FaultSeam.h"

namespace testing_support {

// A tree as a power loss leaves it: path relative to the root -> content
// (no value for a folder).
using TDiskState = std::map<std::string, std::optional<std::string>>;

class TPowerLossModel {
 public:
  // Takes everything under `root` as it is now, all of it on the disk.
  explicit TPowerLossModel(std::string root);

  // Calls `visit` with every distinct state that a crash after one of the
  // operations (0: before the first) can leave, in order, each once even
  // when several crash points give it; `label` names the crash point and
  // the model. Operations on paths outside the root are left out.
  void ForEachState(
      const std::vector<platform::TFileOp>& ops,
      const std::function<void(const std::string& label, const TDiskState& state)>& visit) const;

  // Replaces everything under the root with `state`.
  void Write(const TDiskState& state) const;

 private:
  std::string FRoot;
  TDiskState FInitial;
};

}  // namespace testing_support
