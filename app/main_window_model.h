// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "jobs/file_category.h"
#include "jobs/scan_source.h"
#include "jobs/stored_scans.h"
#include "jobs/text_source.h"
#include "storage/disk_list.h"

namespace app {

// The three pages of the wizard ("TabPage"): mode, disk and scan, results.
enum class WizardPage : int32_t { kMode = 0, kDisk = 1, kResults = 2 };

// One row of the disk list: a disk with its partitions as child rows, then
// the group of image files the user loaded, with each image as a child row.
struct DiskRow {
  enum class Kind { kDisk, kPartition, kImageGroup, kImage };
  Kind kind = Kind::kDisk;
  int32_t parent = -1;       // index of the parent row; -1 for a top-level row
  int32_t diskIndex = -1;    // into Disks() (kDisk, kPartition)
  int32_t volumeIndex = -1;  // into the disk's volumes (kPartition) or Images() (kImage)
  std::string text;          // what the list shows
  std::string detail;        // device, size and mount point, for a tooltip or second column
  bool removable = false;
  bool unreadable = false;  // the disk's partition table could not be read (rights, a broken table)
};

// What the window has to do after an event. The model changes its own state
// and tells the widgets the rest: show a page, run a job, ask for a file.
enum class WindowAction {
  kNone,
  kShowPage,         // show Page()
  kMessage,          // show message (message kind in messageKind)
  kStartScan,        // run the scan job over ScanInput()
  kStartSearch,      // run the search job over SearchInput()
  kStartRecovery,    // choose the output folder, then run the recovery of CheckedItems()
  kChooseImageFile,  // the open dialog "Image Files (*.img)", then AddImage
  kStartImage,       // the save dialog, then the image job for SelectedVolumes()
};

struct WindowReaction {
  WindowAction action = WindowAction::kNone;
  std::string message;      // kMessage: the text to show
  int32_t messageKind = 2;  // 0 error, 1 confirm, 2 information, 3 warning, 4 question
};

// The fixed text of "BtnNext" without a selected disk.
inline constexpr std::string_view kSelectDiskText = "Please select disk media for next step!";

// The six nodes of the type tree, in order, with their control names and
// the check boxes of the file-type selection.
struct TypeNode {
  jobs::FileCategory category;
  std::string_view nodeName;   // "NodePhoto"
  std::string_view checkName;  // "ChkPhoto"
};
const std::array<TypeNode, 6>& TypeNodes();

// A type node's label: its text in the language file is a format with the
// count ("Photo Files (%d)", "Fotodateien (%d)"); a text without "%" gets
// " (count)" behind it.
std::string TypeNodeLabel(std::string_view nodeFormat, uint64_t count);

// The 64-bit key of the checked-item set: drive letter, source kind and
// record id. Letters are unique among the sources of a session.
uint64_t CheckedKey(const engine::ItemRecord& item);

// The state and event logic of the main window, without widgets: the mode,
// the page, the disk list and its selection, the scan session (kept apart
// from the disk list: a device change rebuilds the rows, never the
// sources), the results of the last search by category, the checked items
// and the type selection. The widgets forward clicks and job ends here and
// do what the returned reaction says. Not thread-safe: the window thread
// owns it.
class CMainWindowModel {
 public:
  explicit CMainWindowModel(const jobs::ITextSource* texts) : m_texts(texts) {}

  // --- state
  WizardPage Page() const { return m_page; }
  bool Professional() const { return m_professional; }
  bool CreateImageMode() const { return m_createImageMode; }
  jobs::ScanMode Mode() const { return m_professional ? jobs::ScanMode::kDeep : jobs::ScanMode::kFast; }

  // --- disk list
  // Rebuilds the rows from the disks and images (the first load and every
  // device change). The selection follows the same disk or volume (by
  // device path and position) when it is still there, else it is cleared.
  // The scan session is never touched.
  void SetDisks(std::vector<storage::DiskEntry> disks, std::vector<storage::VolumeEntry> images);
  const std::vector<DiskRow>& Rows() const { return m_rows; }
  const std::vector<storage::DiskEntry>& Disks() const { return m_disks; }
  const std::vector<storage::VolumeEntry>& Images() const { return m_images; }
  // True when no disk is listed (commonly: no rights to read the disks).
  bool NoDisksListed() const { return m_disks.empty(); }
  // True when some disk could not be read for lack of rights.
  bool AccessDenied() const;
  // Selects a row (-1: none). Out of range is none.
  void SelectRow(int32_t row);
  int32_t SelectedRow() const { return m_selected; }
  // The volumes the selected row stands for: a disk's partitions in list
  // order (in deep mode followed by the stretches no partition covers, the
  // whole disk when its partition table is gone), or the one partition or
  // image; empty for none or the image group.
  std::vector<storage::VolumeEntry> SelectedVolumes() const;
  // The selected row as a whole disk (image job): the disk's index, or -1.
  int32_t SelectedDiskIndex() const;
  // Whether the results of the scan session are of the selected row, in the
  // mode chosen now (the disk page's one action then shows them, else it
  // scans). False when the session's scan left no engine.
  bool SelectionHasResults() const;

  // --- events
  // A click on the control named name. The disk page's one action
  // ("BtnScan", and "BtnNext" there) shows the results when the selected
  // row has them and scans it otherwise; "BtnRescan" always scans.
  WindowReaction OnButton(std::string_view name);
  // The scan job ended (with or without 1025). Starts the search when any
  // source of the session holds an engine; else says "MSG0504", unless the
  // user left every source alone (skipped, cancelled): then nothing happens.
  WindowReaction OnScanEnded();
  // The search job ended (1026): the collected files.
  WindowReaction OnSearchEnded(std::vector<jobs::FoundItem> results);

  // --- scan session
  // Makes the sources of the selected row as a new session, releasing the
  // previous one (and its fast scan's store). Empty when nothing is selected.
  const jobs::ScanSourceList& NewSession();
  const jobs::ScanSourceList& Sources() const { return m_sources; }
  // What the session's results are of, as the disk list names it
  // ("card.img", "Removable disk 1", "Disk 0, C: Part1"); empty before a scan.
  const std::string& SessionName() const { return m_sessionName; }
  // The sources the scan job ended with (CScanJob::Sources: a deep scan of a
  // disk adds the volumes it found where no partition is): the session.
  void SetScannedSources(jobs::ScanSourceList sources) { m_sources = std::move(sources); }
  bool AnyEngine() const;
  // The search pattern of the type selection.
  std::string SearchPattern() const;

  // --- type selection ("ChkPhoto" ...)
  void SetTypeChecked(jobs::FileCategory category, bool checked);
  bool TypeChecked(jobs::FileCategory category) const { return m_typeChecked[Index(category)]; }

  // --- results
  const std::vector<jobs::FoundItem>& Results() const { return *m_results; }
  // The same list, shared with the views (never null; replaced, never changed, by a new search).
  std::shared_ptr<const std::vector<jobs::FoundItem>> SharedResults() const { return m_results; }
  uint64_t CountOf(jobs::FileCategory category) const { return m_counts[Index(category)]; }
  // The positions in Results() of a category's files, in result order.
  std::vector<uint32_t> ResultIndicesOf(jobs::FileCategory category) const;
  // Copies of those rows.
  std::vector<jobs::FoundItem> ResultsOf(jobs::FileCategory category) const;

  // --- checked items
  void SetChecked(const jobs::FoundItem& item, bool checked);
  bool IsChecked(const engine::ItemRecord& item) const { return m_checked.count(CheckedKey(item)) != 0; }
  size_t CheckedCount() const { return m_checked.size(); }
  // Of the checked items: the folders, and the bytes of the files.
  size_t CheckedFolderCount() const { return m_checkedFolders; }
  uint64_t CheckedBytes() const { return m_checkedBytes; }
  // The files of the results, every kind.
  uint64_t FoundCount() const;
  // Checks or unchecks every file of a category of the results (the type node's box).
  void SetCategoryChecked(jobs::FileCategory category, bool checked);
  // In key order.
  std::vector<jobs::FoundItem> CheckedItems() const;
  void ClearChecked();

  // --- imaging: read past unreadable sectors (the command line's --keep-going)
  void SetKeepGoing(bool keepGoing) { m_keepGoing = keepGoing; }
  bool KeepGoing() const { return m_keepGoing; }

  // --- output folder of the last recovery
  void SetOutputFolder(std::string folder) { m_outputFolder = std::move(folder); }
  const std::string& OutputFolder() const { return m_outputFolder; }

  // The text of a key of the window's section "MainWnd", or of "Messages".
  std::string WindowText(std::string_view key) const;
  std::string Message(std::string_view key) const;

 private:
  static size_t Index(jobs::FileCategory c) { return static_cast<size_t>(c); }
  void BuildRows();
  // What a row stands for, unchanged by a device change: its kind and path.
  std::string RowIdentity(int32_t row) const;
  WindowReaction ShowPage(WizardPage page);

  const jobs::ITextSource* m_texts;
  WizardPage m_page = WizardPage::kMode;
  bool m_professional = false;
  bool m_createImageMode = false;
  std::vector<storage::DiskEntry> m_disks;
  std::vector<storage::VolumeEntry> m_images;
  std::vector<DiskRow> m_rows;
  int32_t m_selected = -1;
  jobs::ScanSourceList m_sources;
  std::string m_sessionName;
  std::string m_sessionRow;  // RowIdentity of the row scanned
  bool m_sessionProfessional = false;
  std::shared_ptr<const std::vector<jobs::FoundItem>> m_results =
      std::make_shared<const std::vector<jobs::FoundItem>>();
  std::array<uint64_t, 6> m_counts{};
  std::array<bool, 6> m_typeChecked{};
  std::map<uint64_t, jobs::FoundItem> m_checked;
  size_t m_checkedFolders = 0;
  uint64_t m_checkedBytes = 0;
  std::string m_outputFolder;
  bool m_keepGoing = false;
};

}  // namespace app
