// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/status.h"
#include "platform/output_tree.h"
#include "platform/raw_file.h"

namespace engine {

// Recovered files given their names together. While a batch is open on a
// thread, RecoveredFile::Commit on that thread neither flushes nor names:
// it hands the complete file here, made without a name where the file
// system can (platform::CreateUnnamedFileBelow), else under a temporary
// one. Hand (or Flush) then writes the whole output file system to its
// medium once (syncfs), gives every file its name (never replacing
// anything: a name taken meanwhile gives the next free one), and flushes
// each folder that got names. So no name ever points at data that is not
// on the medium, at the cost of one flush per handful instead of one per
// file; and the wait for the medium is spent writing the next handful.
// Names a batch will give count as taken for UniqueChildName. Files never
// handed over are removed when the batch goes. A file may stay open until
// it is named (up to platform::FilesABatchMayHoldOpen of them): once
// flushed, its pages are let go of (platform::OutputFile::DropWrittenPages),
// so the next handful is written into the memory this one used. Owned by
// one thread; not copyable.
class CommitBatch {
 public:
  // What became of one file at Flush.
  struct Named {
    std::string root;
    std::string wanted;  // the target it was written for (relative to root)
    std::string named;   // the name it got (relative to root); empty when it failed
    Status status = kStatusOk;
  };
  // Steps of Flush a test can stop at (a pulled plug): after the file
  // system was flushed and before the first rename; after the renames and
  // before the folders are flushed.
  enum class Step { kBeforeRenames, kBeforeFolderSync };
  using StepHook = void (*)(Step);

  // Opens the batch on the calling thread. REQUIRES: none is open there.
  CommitBatch();
  ~CommitBatch();
  CommitBatch(const CommitBatch&) = delete;
  CommitBatch& operator=(const CommitBatch&) = delete;

  // The batch open on this thread, or null.
  static CommitBatch* OnThisThread();

  // A complete file at tempRelative below root (empty: a file without a
  // name, handed over open) that is to be named targetRelative. Called by
  // RecoveredFile::Commit with the file still open when MayHoldOpen (the
  // batch takes it over), else with it closed.
  void Add(const std::string& root, const std::string& tempRelative, const std::string& targetRelative,
           uint64_t byteCount, platform::OutputFile open = {});
  bool MayHoldOpen() const { return m_heldOpen < platform::FilesABatchMayHoldOpen(); }
  // Whether a file waits to be named relative below root.
  bool Holds(const std::string& root, const std::string& relative) const;

  // A folder the caller made new (it was not there): on a file system that
  // tells names apart exactly, the names in it are then the ones this batch
  // gave, and UniqueChildName chooses one there without looking at the
  // disk. A name someone else takes meanwhile is still never replaced
  // (naming a file never does) and is not offered again once met.
  void NoteMadeFolder(const std::string& root, const std::string& folderRelative);
  // Whether the batch knows every name in the folder (NoteMadeFolder).
  bool KnowsNamesIn(const std::string& root, const std::string& folderRelative) const;
  // Whether relative below root is a name the batch gave, will give or
  // made a folder of.
  bool Gave(const std::string& root, const std::string& relative) const;

  // Where UniqueChildName goes on numbering a name in a folder ("a(7).jpg"
  // was the last given): the numbers below are taken, so each copy of a
  // name costs one look, not one per copy before it. Kept across flushes.
  uint64_t NextNumber(const std::string& key) const;
  void NoteNumber(const std::string& key, uint64_t next);

  size_t FileCount() const { return m_files.size(); }
  uint64_t ByteCount() const { return m_bytes; }

  // Hands the files added so far over to be flushed, named and their
  // folders flushed (see above) on a thread of the batch's own, while the
  // caller goes on writing the next ones; one handful is named at a time.
  // Appends to *named what became of the files of the handful named before
  // (waiting for it to end), one entry per file in the order they were
  // added. After a failed flush of the file system no file of a handful is
  // named (each is removed and carries the status). The batch is empty
  // afterwards; the names being given still count as taken (Holds).
  void Hand(std::vector<Named>* named);
  // Hand, then waits until every file handed over is named, and appends
  // what became of all of them.
  void Flush(std::vector<Named>* named);

  // Process-wide, for tests: called at each Step of every Flush.
  static void SetStepHookForTesting(StepHook hook);

 private:
  struct Waiting {
    std::string root;
    std::string temp;
    std::string target;
    platform::OutputFile file;  // open until it is named, or closed
  };
  // Flushes the file system of each root, names the files and flushes the
  // folders that got names (see the class); one entry per file in *named.
  static void NameFiles(std::vector<Waiting>& files, std::vector<Named>* named);
  // Waits for the handful being named and appends what became of it.
  void Collect(std::vector<Named>* named);

  std::vector<Waiting> m_files;
  std::unordered_set<std::string> m_targets;  // root + '\n' + target of every waiting file
  // The handful being named on m_namer, its outcomes and its targets (read
  // by Holds on the owning thread; the namer never touches the targets).
  std::thread m_namer;
  std::vector<Waiting> m_naming;
  std::vector<Named> m_namingOutcomes;
  std::unordered_set<std::string> m_namingTargets;
  uint64_t m_bytes = 0;
  size_t m_heldOpen = 0;
  std::unordered_map<std::string, uint64_t> m_nextNumbers;
  std::unordered_set<std::string> m_madeFolders;  // Key(root, folder) of every folder made new
  std::unordered_set<std::string> m_given;        // Key(root, relative): those folders and the names in them
  CommitBatch* m_outer = nullptr;
};

}  // namespace engine
