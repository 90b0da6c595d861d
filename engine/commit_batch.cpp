// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/commit_batch.h"

#include <atomic>
#include <map>
#include <set>
#include <system_error>
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
  if (m_namer.joinable()) m_namer.join();  // the handful being named is named
  for (const Waiting& w : m_files) {
    // Never named: never complete. A file without a name goes when it is closed.
    if (!w.temp.empty()) (void)platform::RemoveFileBelow(w.root, w.temp);
  }
  g_open = m_outer;
}

CommitBatch* CommitBatch::OnThisThread() {
  return g_open;
}

void CommitBatch::SetStepHookForTesting(StepHook hook) {
  g_hook.store(hook);
}

void CommitBatch::Add(const std::string& root, const std::string& tempRelative, const std::string& targetRelative,
                      uint64_t byteCount, platform::OutputFile open) {
  if (open.IsOpen()) ++m_heldOpen;
  m_files.push_back({root, tempRelative, targetRelative, std::move(open)});
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
  const std::string key = Key(root, relative);
  return m_targets.count(key) != 0 || m_namingTargets.count(key) != 0;
}

void CommitBatch::NoteMadeFolder(const std::string& root, const std::string& folderRelative) {
  m_given.insert(Key(root, folderRelative));
  // Where names fold case, "A.JPG" would meet "a.jpg": the disk is asked there.
  if (platform::FolderNamesAreExact(root, folderRelative)) m_madeFolders.insert(Key(root, folderRelative));
}

bool CommitBatch::KnowsNamesIn(const std::string& root, const std::string& folderRelative) const {
  return m_madeFolders.count(Key(root, folderRelative)) != 0;
}

bool CommitBatch::Gave(const std::string& root, const std::string& relative) const {
  return m_given.count(Key(root, relative)) != 0 || Holds(root, relative);
}

void CommitBatch::Collect(std::vector<Named>* named) {
  if (m_namer.joinable()) m_namer.join();
  for (Named& n : m_namingOutcomes) {
    if (!n.named.empty() && KnowsNamesIn(n.root, FolderOf(n.named))) m_given.insert(Key(n.root, n.named));
    // A name found taken at naming (someone else's file): not offered again.
    if (n.named != n.wanted && KnowsNamesIn(n.root, FolderOf(n.wanted))) m_given.insert(Key(n.root, n.wanted));
    named->push_back(std::move(n));
  }
  m_namingOutcomes.clear();
  m_naming.clear();
  m_namingTargets.clear();
}

void CommitBatch::Hand(std::vector<Named>* named) {
  Collect(named);
  if (m_files.empty()) return;
  m_naming = std::move(m_files);
  m_files.clear();
  m_namingTargets = std::move(m_targets);
  m_targets.clear();
  m_bytes = 0;
  m_heldOpen = 0;
  try {
    m_namer = std::thread([this] {
      platform::FolderCacheScope folders;
      NameFiles(m_naming, &m_namingOutcomes);
    });
  } catch (const std::system_error&) {
    NameFiles(m_naming, &m_namingOutcomes);  // no thread to be had: named here and now
  }
}

void CommitBatch::Flush(std::vector<Named>* named) {
  Hand(named);
  Collect(named);
}

void CommitBatch::NameFiles(std::vector<Waiting>& files, std::vector<Named>* named) {
  if (files.empty()) return;
  // Every byte of the batch reaches the medium before any name does.
  std::set<std::string> roots;
  for (const Waiting& w : files) roots.insert(w.root);
  std::map<std::string, Status> flushed;
  for (const std::string& root : roots) flushed[root] = platform::SyncFileSystemBelow(root);
  Reach(Step::kBeforeRenames);
  const size_t first = named->size();
  std::set<std::pair<std::string, std::string>> folders;
  for (Waiting& w : files) {
    Named result{w.root, w.target, {}, flushed[w.root]};
    const bool unnamed = w.temp.empty();  // kept open: closing it without a name lets it go
    if (result.status == kStatusOk) w.file.DropWrittenPages();
    if (!unnamed && w.file.IsOpen()) {
      const Status closed = w.file.Close();
      if (result.status == kStatusOk) result.status = closed;
    }
    if (result.status == kStatusOk) {
      std::string target = w.target;
      for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        result.status = unnamed ? platform::LinkFileBelow(w.file, w.root, target)
                                : platform::RenameBelow(w.root, w.temp, target);
        if (result.status != platform::kErrorAlreadyExists) break;
        // Taken meanwhile (another program writes there too): the next free name.
        target = JoinRelative(FolderOf(w.target), UniqueChildName(w.root, FolderOf(w.target), NameOf(w.target)));
      }
      if (result.status == kStatusOk) {
        result.named = target;
        folders.insert({w.root, FolderOf(target)});
      }
    }
    // Its data was on the medium before it was named: closing it now has nothing left to report.
    (void)w.file.Close();
    if (result.status != kStatusOk && !unnamed) (void)platform::RemoveFileBelow(w.root, w.temp);
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
