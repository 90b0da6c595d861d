// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_window_model.h"

#include "engine/boot_sector_tests.h"
#include "engine/categories.h"
#include "jobs/display_text.h"
#include "jobs/search_job.h"
#include "jobs/text_format.h"
#include "platform/status.h"

namespace app {
namespace {

constexpr std::string_view kWindowSection = "MainWnd";

// The extensions a check box of the file-type page selects: its category's list.
std::vector<std::string> ExtensionsOf(jobs::FileCategory category) {
  std::string list;
  switch (category) {
    case jobs::FileCategory::kPhoto:
      list = std::string(engine::kPhotoList) + "|" + std::string(engine::kExactPhotoList);
      break;
    case jobs::FileCategory::kAudio: list = engine::kAudioList; break;
    case jobs::FileCategory::kVideo: list = engine::kVideoList; break;
    case jobs::FileCategory::kDocument:
      list = std::string(engine::kDocumentList) + "|" + std::string(engine::kExactDocumentList);
      break;
    case jobs::FileCategory::kArchive: list = engine::kArchiveList; break;
    case jobs::FileCategory::kOther: return {};
  }
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find('|', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view entry = std::string_view(list).substr(start, end - start);
    if (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
    if (!entry.empty()) out.emplace_back(entry);
    start = end + 1;
  }
  return out;
}

std::string VolumeDetail(const storage::VolumeEntry& v) {
  std::string detail = v.target.devicePath.empty() ? v.target.label : v.target.devicePath;
  if (!v.fileSystem.empty()) detail += ", " + v.fileSystem;
  detail += ", " + jobs::SizeText(v.byteSize);
  if (!v.mountPoint.empty()) detail += ", " + v.mountPoint;
  return detail;
}

}  // namespace

const std::array<TypeNode, 6>& TypeNodes() {
  static const std::array<TypeNode, 6> kNodes = {{
      {jobs::FileCategory::kPhoto, "NodePhoto", "ChkPhoto"},
      {jobs::FileCategory::kAudio, "NodeAudio", "ChkMusic"},
      {jobs::FileCategory::kVideo, "NodeVideo", "ChkVideo"},
      {jobs::FileCategory::kDocument, "NodeOffice", "ChkOffice"},
      {jobs::FileCategory::kArchive, "NodeZip", "ChkZip"},
      {jobs::FileCategory::kOther, "NodeOther", "ChkOther"},
  }};
  return kNodes;
}

std::string TypeNodeLabel(std::string_view nodeFormat, uint64_t count) {
  // The language file words the whole label; a text without a place for the count gets it behind.
  const std::string format =
      nodeFormat.find('%') == std::string_view::npos ? std::string(nodeFormat) + " (%d)" : std::string(nodeFormat);
  return jobs::FormatText(format, {static_cast<unsigned long long>(count)});
}

uint64_t CheckedKey(const engine::ItemRecord& item) {
  const uint16_t letter = item.driveLetter;
  const int32_t kind = item.sourceKind;
  const int32_t id = item.id;
  return (static_cast<uint64_t>(letter) << 48) | (static_cast<uint64_t>(static_cast<uint16_t>(kind)) << 32) |
         static_cast<uint32_t>(id);
}

std::string CMainWindowModel::WindowText(std::string_view key) const {
  return m_texts != nullptr ? m_texts->Text(kWindowSection, key) : std::string();
}

std::string CMainWindowModel::Message(std::string_view key) const {
  return jobs::MessageText(m_texts, key);
}

void CMainWindowModel::SetDisks(std::vector<storage::DiskEntry> disks, std::vector<storage::VolumeEntry> images) {
  // Remember what was selected, to find it again in the new list.
  std::string selectedPath;
  int32_t selectedVolume = -1;
  DiskRow::Kind selectedKind = DiskRow::Kind::kDisk;
  if (m_selected >= 0) {
    const DiskRow& row = m_rows[static_cast<size_t>(m_selected)];
    selectedKind = row.kind;
    selectedVolume = row.volumeIndex;
    if (row.kind == DiskRow::Kind::kDisk || row.kind == DiskRow::Kind::kPartition) {
      selectedPath = m_disks[static_cast<size_t>(row.diskIndex)].path;
    } else if (row.kind == DiskRow::Kind::kImage) {
      selectedPath = m_images[static_cast<size_t>(row.volumeIndex)].target.imagePath;
    }
  }
  m_disks = std::move(disks);
  m_images = std::move(images);
  BuildRows();
  m_selected = -1;
  if (selectedPath.empty()) return;
  for (size_t i = 0; i < m_rows.size(); ++i) {
    const DiskRow& row = m_rows[i];
    if (row.kind != selectedKind) continue;
    if (row.kind == DiskRow::Kind::kImage) {
      if (m_images[static_cast<size_t>(row.volumeIndex)].target.imagePath == selectedPath) m_selected = int32_t(i);
    } else if (m_disks[static_cast<size_t>(row.diskIndex)].path == selectedPath &&
               (row.kind == DiskRow::Kind::kDisk || row.volumeIndex == selectedVolume)) {
      m_selected = static_cast<int32_t>(i);
    }
    if (m_selected >= 0) break;
  }
}

void CMainWindowModel::BuildRows() {
  m_rows.clear();
  for (size_t d = 0; d < m_disks.size(); ++d) {
    const storage::DiskEntry& disk = m_disks[d];
    DiskRow row;
    row.kind = DiskRow::Kind::kDisk;
    row.diskIndex = static_cast<int32_t>(d);
    row.removable = disk.removable;
    row.unreadable = disk.status != platform::kStatusOk;
    row.text = jobs::FormatText("%s %d", {Message(disk.removable ? "MSG0202" : "MSG0201"), disk.diskNumber});
    row.detail = disk.path;
    if (!disk.model.empty()) row.detail += ", " + disk.model;
    row.detail += ", " + jobs::SizeText(disk.byteLength);
    const int32_t parent = static_cast<int32_t>(m_rows.size());
    m_rows.push_back(row);
    for (size_t v = 0; v < disk.volumes.size(); ++v) {
      const storage::VolumeEntry& volume = disk.volumes[v];
      DiskRow child;
      child.kind = DiskRow::Kind::kPartition;
      child.parent = parent;
      child.diskIndex = static_cast<int32_t>(d);
      child.volumeIndex = static_cast<int32_t>(v);
      child.removable = disk.removable;
      // Its device (or number on a disk image), its label and its file system; the session's letter stays inside.
      std::string name = volume.target.devicePath;
      if (name.empty()) {
        std::string format = WindowText("PartitionRow");
        name = jobs::FormatText(format.empty() ? "Partition %d" : format, {volume.target.partitionNumber});
      }
      child.text = name + "  " + volume.description;
      if (!volume.fileSystem.empty() && volume.fileSystem != volume.description) {
        child.text += " (" + volume.fileSystem + ")";
      }
      child.detail = VolumeDetail(volume);
      m_rows.push_back(child);
    }
  }
  if (!m_images.empty()) {
    DiskRow group;
    group.kind = DiskRow::Kind::kImageGroup;
    group.text = WindowText("ImageFiles");
    if (group.text.empty()) group.text = "Image File";
    const int32_t parent = static_cast<int32_t>(m_rows.size());
    m_rows.push_back(group);
    for (size_t i = 0; i < m_images.size(); ++i) {
      DiskRow row;
      row.kind = DiskRow::Kind::kImage;
      row.parent = parent;
      row.volumeIndex = static_cast<int32_t>(i);
      row.text = std::string(jobs::FileNameOfPath(m_images[i].target.imagePath));
      row.detail = m_images[i].target.imagePath + ", " + jobs::SizeText(m_images[i].byteSize);
      m_rows.push_back(row);
    }
  }
}

bool CMainWindowModel::AccessDenied() const {
  for (const auto& disk : m_disks) {
    if (disk.status == platform::kErrorAccessDenied) return true;
  }
  return false;
}

void CMainWindowModel::SelectRow(int32_t row) {
  m_selected = (row >= 0 && static_cast<size_t>(row) < m_rows.size()) ? row : -1;
}

std::vector<storage::VolumeEntry> CMainWindowModel::SelectedVolumes() const {
  if (m_selected < 0) return {};
  const DiskRow& row = m_rows[static_cast<size_t>(m_selected)];
  switch (row.kind) {
    case DiskRow::Kind::kDisk: {
      const storage::DiskEntry& disk = m_disks[static_cast<size_t>(row.diskIndex)];
      if (!m_professional || m_createImageMode) return disk.volumes;
      // A deep scan of a disk also reads what no partition covers, all of it when the table is gone.
      std::vector<storage::VolumeEntry> volumes = disk.volumes;
      for (auto& space : storage::UnpartitionedSpaces(disk.diskNumber, disk.path, disk.sectorSize, disk.volumes,
                                                      disk.byteLength, engine::kClassifyBytes)) {
        volumes.push_back(std::move(space));
      }
      return volumes;
    }
    case DiskRow::Kind::kPartition:
      return {m_disks[static_cast<size_t>(row.diskIndex)].volumes[static_cast<size_t>(row.volumeIndex)]};
    case DiskRow::Kind::kImage: return {m_images[static_cast<size_t>(row.volumeIndex)]};
    case DiskRow::Kind::kImageGroup: return {};
  }
  return {};
}

int32_t CMainWindowModel::SelectedDiskIndex() const {
  if (m_selected < 0) return -1;
  const DiskRow& row = m_rows[static_cast<size_t>(m_selected)];
  return row.kind == DiskRow::Kind::kDisk ? row.diskIndex : -1;
}

std::string CMainWindowModel::RowIdentity(int32_t index) const {
  if (index < 0 || static_cast<size_t>(index) >= m_rows.size()) return {};
  const DiskRow& row = m_rows[static_cast<size_t>(index)];
  switch (row.kind) {
    case DiskRow::Kind::kDisk: return "disk:" + m_disks[static_cast<size_t>(row.diskIndex)].path;
    case DiskRow::Kind::kPartition:
      return "partition:" + m_disks[static_cast<size_t>(row.diskIndex)].path + ":" + std::to_string(row.volumeIndex);
    case DiskRow::Kind::kImage: return "image:" + m_images[static_cast<size_t>(row.volumeIndex)].target.imagePath;
    case DiskRow::Kind::kImageGroup: return {};
  }
  return {};
}

bool CMainWindowModel::SelectionHasResults() const {
  const std::string selected = RowIdentity(m_selected);
  return !selected.empty() && selected == m_sessionRow && m_sessionProfessional == m_professional && AnyEngine();
}

WindowReaction CMainWindowModel::ShowPage(WizardPage page) {
  m_page = page;
  return {WindowAction::kShowPage, {}, 2};
}

WindowReaction CMainWindowModel::OnButton(std::string_view name) {
  if (name == "BtnDeletedRecovery") {
    m_professional = false;
    m_createImageMode = false;
    return ShowPage(WizardPage::kDisk);
  }
  if (name == "BtnFormattedRecovery" || name == "BtnDeepRecovery" || name == "BtnStart") {
    m_professional = true;
    m_createImageMode = false;
    return ShowPage(WizardPage::kDisk);
  }
  if (name == "BtnCreateImageMode") {
    m_createImageMode = true;
    return ShowPage(WizardPage::kDisk);
  }
  if (name == "BtnScan" || name == "BtnRescan") {
    if (SelectedVolumes().empty()) return {WindowAction::kMessage, std::string(kSelectDiskText), 2};
    // One action: the drive's results when they are there, else its scan.
    if (name == "BtnScan" && SelectionHasResults()) return ShowPage(WizardPage::kResults);
    return {WindowAction::kStartScan, {}, 2};
  }
  if (name == "BtnRecover") {
    if (m_checked.empty()) return {WindowAction::kMessage, WindowText("NothingChecked"), 2};
    return {WindowAction::kStartRecovery, {}, 2};
  }
  if (name == "BtnPrev") {
    if (m_page == WizardPage::kMode) return {};
    return ShowPage(static_cast<WizardPage>(static_cast<int32_t>(m_page) - 1));
  }
  if (name == "BtnNext") {
    if (m_page == WizardPage::kMode) return ShowPage(WizardPage::kDisk);
    if (m_page == WizardPage::kDisk) return OnButton("BtnScan");  // the page's one action
    return {};
  }
  if (name == "BtnLoadImage") return {WindowAction::kChooseImageFile, {}, 2};
  if (name == "BtnCreateImage") {
    if (SelectedVolumes().empty() && SelectedDiskIndex() < 0) return {WindowAction::kMessage, Message("MSG0216"), 3};
    return {WindowAction::kStartImage, {}, 2};
  }
  return {};  // "BtnAdvanceScan" and anything unknown: no action
}

const jobs::ScanSourceList& CMainWindowModel::NewSession() {
  // Found items and checked items hold the old sources: they go first, so
  // the old engines (and a fast scan's store) are released with the session.
  ClearChecked();
  m_results = std::make_shared<const std::vector<jobs::FoundItem>>();
  m_counts = {};
  m_sources.clear();
  m_sessionName.clear();
  m_sessionRow = RowIdentity(m_selected);
  m_sessionProfessional = m_professional;
  if (m_selected >= 0) {
    const DiskRow& row = m_rows[static_cast<size_t>(m_selected)];
    m_sessionName = row.text;
    if (row.kind == DiskRow::Kind::kPartition && row.parent >= 0) {
      m_sessionName = m_rows[static_cast<size_t>(row.parent)].text + ", " + row.text;
    }
  }
  m_sources = jobs::MakeScanSources(SelectedVolumes());
  jobs::EnsureUniqueLetters(m_sources);
  return m_sources;
}

bool CMainWindowModel::AnyEngine() const {
  for (const auto& s : m_sources) {
    if (s->engine) return true;
  }
  return false;
}

WindowReaction CMainWindowModel::OnScanEnded() {
  if (!AnyEngine()) {
    // Sources the user left alone (the stored-results question closed) or
    // never reached are no volume without a file system: nothing to say.
    bool onlyLeft = !m_sources.empty();
    for (const auto& s : m_sources) {
      onlyLeft =
          onlyLeft && (s->outcome == jobs::SourceOutcome::kSkipped || s->outcome == jobs::SourceOutcome::kNotScanned ||
                       s->outcome == jobs::SourceOutcome::kCancelled);
    }
    if (onlyLeft) return {};
    return {WindowAction::kMessage, Message("MSG0504"), 3};
  }
  ClearChecked();
  m_results = std::make_shared<const std::vector<jobs::FoundItem>>();
  m_counts = {};
  return {WindowAction::kStartSearch, {}, 2};
}

WindowReaction CMainWindowModel::OnSearchEnded(std::vector<jobs::FoundItem> results) {
  m_results = std::make_shared<const std::vector<jobs::FoundItem>>(std::move(results));
  m_counts = {};
  for (const auto& f : *m_results) {
    if (f.item.isFolder != 0) continue;
    ++m_counts[Index(jobs::CategoryOf(f.item.Name()))];
  }
  return ShowPage(WizardPage::kResults);
}

std::string CMainWindowModel::SearchPattern() const {
  std::set<std::string> extensions;
  bool other = false;
  bool any = false;
  for (const auto& node : TypeNodes()) {
    if (!m_typeChecked[Index(node.category)]) continue;
    any = true;
    if (node.category == jobs::FileCategory::kOther) {
      other = true;
      continue;
    }
    for (auto& e : ExtensionsOf(node.category)) extensions.insert(std::move(e));
  }
  // Nothing ticked: every kind, the other files included.
  if (!any) return jobs::PatternFromSelection({}) + "|.other";
  std::string pattern = extensions.empty() ? std::string() : jobs::PatternFromSelection(extensions);
  if (other) pattern += pattern.empty() ? ".other" : "|.other";
  return pattern;
}

void CMainWindowModel::SetTypeChecked(jobs::FileCategory category, bool checked) {
  m_typeChecked[Index(category)] = checked;
}

std::vector<uint32_t> CMainWindowModel::ResultIndicesOf(jobs::FileCategory category) const {
  std::vector<uint32_t> out;
  const std::vector<jobs::FoundItem>& all = *m_results;
  for (size_t i = 0; i < all.size() && i <= UINT32_MAX; ++i) {
    if (all[i].item.isFolder == 0 && jobs::CategoryOf(all[i].item.Name()) == category) {
      out.push_back(static_cast<uint32_t>(i));
    }
  }
  return out;
}

std::vector<jobs::FoundItem> CMainWindowModel::ResultsOf(jobs::FileCategory category) const {
  std::vector<jobs::FoundItem> out;
  for (uint32_t i : ResultIndicesOf(category)) out.push_back((*m_results)[i]);
  return out;
}

void CMainWindowModel::SetChecked(const jobs::FoundItem& item, bool checked) {
  const uint64_t key = CheckedKey(item.item);
  auto forget = [this](const jobs::FoundItem& f) {
    if (f.item.isFolder != 0) {
      --m_checkedFolders;
    } else {
      m_checkedBytes -= f.item.size;
    }
  };
  auto it = m_checked.find(key);
  if (it != m_checked.end()) {
    forget(it->second);
    m_checked.erase(it);
  }
  if (!checked) return;
  m_checked.emplace(key, item);
  if (item.item.isFolder != 0) {
    ++m_checkedFolders;
  } else {
    m_checkedBytes += item.item.size;
  }
}

void CMainWindowModel::ClearChecked() {
  m_checked.clear();
  m_checkedFolders = 0;
  m_checkedBytes = 0;
}

uint64_t CMainWindowModel::FoundCount() const {
  uint64_t n = 0;
  for (uint64_t c : m_counts) n += c;
  return n;
}

void CMainWindowModel::SetCategoryChecked(jobs::FileCategory category, bool checked) {
  for (uint32_t i : ResultIndicesOf(category)) SetChecked((*m_results)[i], checked);
}

std::vector<jobs::FoundItem> CMainWindowModel::CheckedItems() const {
  std::vector<jobs::FoundItem> out;
  out.reserve(m_checked.size());
  for (const auto& [key, item] : m_checked) out.push_back(item);
  return out;
}

}  // namespace app
