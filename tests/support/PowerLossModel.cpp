#include "support/PowerLossModel.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

namespace fs = std::filesystem;

namespace testing_support {

namespace {

using TOpKind = platform::TFileOp::TKind;

// One file or folder; never dropped, since an older state of a folder may
// still name it.
struct TNode {
  bool Folder = false;
  std::string Data;                            // the content as the program sees it
  std::string Durable;                         // the content as of its last flush
  std::map<std::string, int> Children;         // a folder's entries as the program sees them
  std::map<std::string, int> DurableChildren;  // ... as of its last flush
};

// The tree replayed operation by operation.
class TReplay {
 public:
  TReplay(const std::string& root, const TDiskState& initial) : FRoot(root) {
    FNodes.push_back(TNode{true, {}, {}, {}, {}});
    // Sorted paths: a folder comes before what it holds.
    for (const auto& [rel, content] : initial) {
      const auto parts = Parts(FRoot + "/" + rel);
      if (!parts || parts->empty()) continue;
      const int parent = Find(*parts, parts->size() - 1);
      if (parent < 0) continue;
      const int made = New(!content.has_value(), content.value_or(""));
      FNodes[parent].Children[parts->back()] = made;
    }
    for (TNode& node : FNodes) {
      node.Durable = node.Data;
      node.DurableChildren = node.Children;
    }
  }

  // The node a write at `op` changes, or -1.
  int Apply(const platform::TFileOp& op) {
    const auto parts = Parts(op.Path);
    if (!parts || parts->empty()) return -1;
    const int parent = Find(*parts, parts->size() - 1);
    if (parent < 0) return -1;
    const std::string& name = parts->back();
    auto& entries = FNodes[parent].Children;
    const auto found = entries.find(name);
    const int node = found == entries.end() ? -1 : found->second;
    switch (op.Kind) {
      case TOpKind::create:
        if (node < 0) {
          const int made = New(false, "");  // may move `entries`
          FNodes[parent].Children[name] = made;
        } else if (op.Truncate) {
          FNodes[node].Data.clear();
          FNodes[node].Durable.clear();
        }
        return -1;
      case TOpKind::make_folder:
        if (node < 0) {
          const int made = New(true, "");
          FNodes[parent].Children[name] = made;
        }
        return -1;
      case TOpKind::write:
        if (node >= 0) FNodes[node].Data += op.Data;
        return node;
      case TOpKind::truncate:
        if (node >= 0) {
          const auto size = static_cast<size_t>(op.Size);
          FNodes[node].Data.resize(size);
          if (FNodes[node].Durable.size() > size) FNodes[node].Durable.resize(size);
        }
        return -1;
      case TOpKind::flush:
        if (node >= 0) FNodes[node].Durable = FNodes[node].Data;
        return -1;
      case TOpKind::flush_folder:
        if (node >= 0) FNodes[node].DurableChildren = FNodes[node].Children;
        return -1;
      case TOpKind::remove:
        entries.erase(name);
        return -1;
      case TOpKind::rename: {
        const auto to = Parts(op.Target);
        if (node < 0 || !to || to->empty()) return -1;
        const int toParent = Find(*to, to->size() - 1);
        if (toParent < 0) return -1;
        entries.erase(name);
        FNodes[toParent].Children[to->back()] = node;
        return -1;
      }
    }
    return -1;
  }

  // Every name as given, each file with its flushed content; `torn`, when
  // not negative, keeps its content as the program sees it, cut to
  // `tornSize` bytes.
  TDiskState Ordered(int torn, size_t tornSize) const {
    TDiskState state;
    Walk(0, "", false, torn, tornSize, state);
    return state;
  }
  // Every folder with its flushed entries, each file with its flushed content.
  TDiskState Strict() const {
    TDiskState state;
    Walk(0, "", true, -1, 0, state);
    return state;
  }
  size_t Size(int node) const { return FNodes[node].Data.size(); }

 private:
  int New(bool folder, std::string data) {
    TNode node;
    node.Folder = folder;
    node.Data = std::move(data);
    FNodes.push_back(std::move(node));
    return static_cast<int>(FNodes.size()) - 1;
  }
  // The names leading from the root to `path`; none for a path outside it.
  std::optional<std::vector<std::string>> Parts(const std::string& path) const {
    const fs::path rel = fs::path(path).lexically_normal().lexically_relative(FRoot);
    if (rel.empty() || *rel.begin() == "..") return std::nullopt;
    std::vector<std::string> parts;
    for (const fs::path& part : rel) {
      if (part != ".") parts.push_back(part.string());
    }
    return parts;
  }
  // The folder the first `count` names lead to, or -1.
  int Find(const std::vector<std::string>& parts, size_t count) const {
    int node = 0;
    for (size_t i = 0; i < count; ++i) {
      const auto& entries = FNodes[node].Children;
      const auto found = entries.find(parts[i]);
      if (found == entries.end() || !FNodes[found->second].Folder) return -1;
      node = found->second;
    }
    return node;
  }
  void Walk(int folder, const std::string& prefix, bool strict, int torn, size_t tornSize,
            TDiskState& state) const {
    const TNode& f = FNodes[folder];
    for (const auto& [name, id] : strict ? f.DurableChildren : f.Children) {
      const std::string rel = prefix.empty() ? name : prefix + "/" + name;
      const TNode& node = FNodes[id];
      if (node.Folder) {
        state[rel] = std::nullopt;
        Walk(id, rel, strict, torn, tornSize, state);
      } else {
        state[rel] = id == torn ? node.Data.substr(0, tornSize) : node.Durable;
      }
    }
  }

  std::string FRoot;
  std::vector<TNode> FNodes;
};

// What tells two states apart, without holding their contents twice.
std::string Signature(const TDiskState& state) {
  std::string text;
  for (const auto& [rel, content] : state) {
    text += rel;
    text += content ? "=" + std::to_string(std::hash<std::string>{}(*content)) + ":" +
                          std::to_string(content->size())
                    : "/";
    text += '\n';
  }
  return text;
}

const char* KindName(TOpKind kind) {
  switch (kind) {
    case TOpKind::create:
      return "create";
    case TOpKind::write:
      return "write";
    case TOpKind::truncate:
      return "truncate";
    case TOpKind::flush:
      return "flush";
    case TOpKind::flush_folder:
      return "flush folder";
    case TOpKind::rename:
      return "rename";
    case TOpKind::remove:
      return "remove";
    case TOpKind::make_folder:
      return "make folder";
  }
  return "?";
}

}  // namespace

TPowerLossModel::TPowerLossModel(std::string root) : FRoot(std::move(root)) {
  for (const auto& entry : fs::recursive_directory_iterator(FRoot)) {
    const std::string rel = entry.path().lexically_relative(FRoot).string();
    if (entry.is_directory()) {
      FInitial[rel] = std::nullopt;
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      FInitial[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
}

void TPowerLossModel::ForEachState(
    const std::vector<platform::TFileOp>& ops,
    const std::function<void(const std::string&, const TDiskState&)>& visit) const {
  // Writes that a later flush of the same file was to make durable: a crash
  // on one of them may leave it half done.
  std::vector<bool> flushedLater(ops.size(), false);
  std::set<std::string> flushed;
  for (size_t k = ops.size(); k-- > 0;) {
    if (ops[k].Kind == TOpKind::write) flushedLater[k] = flushed.count(ops[k].Path) > 0;
    if (ops[k].Kind == TOpKind::flush) flushed.insert(ops[k].Path);
  }

  TReplay replay(FRoot, FInitial);
  std::set<std::string> seen;
  const auto offer = [&](const std::string& label, const TDiskState& state) {
    if (seen.insert(Signature(state)).second) visit(label, state);
  };
  for (size_t k = 0; k <= ops.size(); ++k) {
    int written = -1;
    std::string where = "before the first operation";
    if (k > 0) {
      const platform::TFileOp& op = ops[k - 1];
      written = replay.Apply(op);
      where = "after operation " + std::to_string(k) + " (" + KindName(op.Kind) + " " + op.Path +
              (op.Target.empty() ? "" : " -> " + op.Target) + ")";
    }
    offer(where + ", ordered", replay.Ordered(-1, 0));
    if (written >= 0 && flushedLater[k - 1]) {
      const size_t size = replay.Size(written);
      // Two fifths of it: a cut that falls inside a line, not between two.
      const size_t lost = ops[k - 1].Data.size() - ops[k - 1].Data.size() * 2 / 5;
      offer(where + ", ordered, that write torn", replay.Ordered(written, size - lost));
    }
    offer(where + ", strict", replay.Strict());
  }
}

void TPowerLossModel::Write(const TDiskState& state) const {
  for (const auto& entry : fs::directory_iterator(FRoot)) fs::remove_all(entry.path());
  for (const auto& [rel, content] : state) {
    const fs::path path = fs::path(FRoot) / rel;
    if (!content) {
      fs::create_directories(path);
      continue;
    }
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content->data(), static_cast<std::streamsize>(content->size()));
  }
}

}  // namespace testing_support
