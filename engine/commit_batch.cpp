// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/commit_batch.h"

#include <atomic>
#include <map>
#include <set>
#include <utility>

#include "engine/output_path.h"
#include "platform/output_tree.h"

namespace engine {
namespace {

thread_local CommitBatch* g_open = nullptr;
std::atomic<CommitBatch::StepHook> g_hook{nullptr};

// A name taken between choosing it and the rename: this many other names are tried.
constexpr int kNameAttempts = 8;

std::string Key(const std::string& root, const std::string& relative) {
  return root + '\n' + relative;
}

std::string FolderOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

std::string NameOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

void Reach(CommitBatch::Step step) {
  if (CommitBatch::StepHook hook = g_hook.load()) hook(step);
}

}  // namespace

CommitBatch::CommitBatch() : m_outer(g_open) {
  g_open = this;
}

CommitBatch::~CommitBatch() {
  for (const Waiting& w : m_files) (void)platform::RemoveFileBelow(w.root, w.temp);  // never named: never complete
  g_open = m_outer;
}

CommitBatch* CommitBatch::OnThisThread() {
  return g_open;
}

void CommitBatch::SetStepHookForTesting(StepHook hook) {
  g_hook.store(hook);
}

void CommitBatch::Add(const std::string& root, const std::string& tempRelative, const std::string& targetRelative,
                      uint64_t byteCount) {
  m_files.push_back({root, tempRelative, targetRelative});
  m_targets.insert(Key(root, targetRelative));
  m_bytes += byteCount;
}

uint64_t CommitBatch::NextNumber(const std::string& key) const {
  auto it = m_nextNumbers.find(key);
  return it == m_nextNumbers.end() ? 1 : it->second;
}

void CommitBatch::NoteNumber(const std::string& key, uint64_t next) {
  m_nextNumbers[key] = next;
}

bool CommitBatch::Holds(const std::string& root, const std::string& relative) const {
  return m_targets.count(Key(root, relative)) != 0;
}

void CommitBatch::Flush(std::vector<Named>* named) {
  std::vector<Waiting> files = std::move(m_files);
  m_files.clear();
  m_targets.clear();
  m_bytes = 0;
  if (files.empty()) return;
  // Every byte of the batch reaches the medium before any name does.
  std::set<std::string> roots;
  for (const Waiting& w : files) roots.insert(w.root);
  std::map<std::string, Status> flushed;
  for (const std::string& root : roots) flushed[root] = platform::SyncFileSystemBelow(root);
  Reach(Step::kBeforeRenames);
  const size_t first = named->size();
  std::set<std::pair<std::string, std::string>> folders;
  for (const Waiting& w : files) {
    Named result{w.root, w.target, {}, flushed[w.root]};
    if (result.status != kStatusOk) {
      (void)platform::RemoveFileBelow(w.root, w.temp);
      named->push_back(std::move(result));
      continue;
    }
    std::string target = w.target;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      result.status = platform::RenameBelow(w.root, w.temp, target);
      if (result.status != platform::kErrorAlreadyExists) break;
      // Taken meanwhile (another program writes there too): the next free name.
      target = JoinRelative(FolderOf(w.target), UniqueChildName(w.root, FolderOf(w.target), NameOf(w.target)));
    }
    if (result.status == kStatusOk) {
      result.named = target;
      folders.insert({w.root, FolderOf(target)});
    } else {
      (void)platform::RemoveFileBelow(w.root, w.temp);
    }
    named->push_back(std::move(result));
  }
  Reach(Step::kBeforeFolderSync);
  // The names themselves: a folder that cannot be flushed leaves its new names unsure.
  for (const auto& [root, folder] : folders) {
    const Status s = platform::SyncFolderBelow(root, folder);
    if (s == kStatusOk) continue;
    for (size_t i = first; i < named->size(); ++i) {
      Named& n = (*named)[i];
      if (n.status == kStatusOk && n.root == root && FolderOf(n.named) == folder) n.status = s;
    }
  }
}

}  // namespace engine
