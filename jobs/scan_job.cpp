// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/scan_job.h"

#include "engine/deep/deep_scan_state.h"
#include "engine/deep/professional_recovery.h"
#include "engine/engine_factory.h"
#include "engine/scan_gaps.h"
#include "engine/store/scan_index.h"
#include "jobs/data_folder_guard.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/lost_volumes.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "jobs/volume_head.h"
#include "platform/disk_table.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "storage/volume_identity.h"

namespace jobs {
namespace {

bool IsAsciiLetter(uint16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The words for why a kept deep scan cannot be used.
std::string_view KeptFaultKey(engine::deep::KeptStateFault fault) {
  using engine::deep::KeptStateFault;
  switch (fault) {
    case KeptStateFault::kNone:
    case KeptStateFault::kUnreadable: return keys::kKeptScanUnreadable;
    case KeptStateFault::kDamaged: return keys::kKeptScanChanged;
    case KeptStateFault::kOtherVersion: return keys::kKeptScanOtherVersion;
    case KeptStateFault::kOtherVolume: return keys::kKeptScanOtherVolume;
    case KeptStateFault::kOutside: return keys::kKeptScanOutside;
    case KeptStateFault::kReplay: return keys::kKeptScanReplay;
    case KeptStateFault::kCarvedFiles: return keys::kKeptScanCarved;
  }
  return keys::kKeptScanChanged;
}

// The file systems whose deleted entries fast mode reads in place.
bool FastModeReads(engine::VolumeKind kind) {
  switch (kind) {
    case engine::VolumeKind::kFat12:
    case engine::VolumeKind::kFat16:
    case engine::VolumeKind::kFat32:
    case engine::VolumeKind::kNtfs:
    case engine::VolumeKind::kExFat:
    case engine::VolumeKind::kExt: return true;
    default: return false;
  }
}

}  // namespace

CScanJob::CScanJob(ScanJobInput input, IJobView& view, const ITextSource* texts)
    : CJob(JobKind::kScan, view, texts), m_input(std::move(input)) {}

CScanJob::~CScanJob() {
  JoinWorker();
}

std::string CScanJob::StageText(const ScanSource& source) const {
  const storage::VolumeTarget& t = source.target;
  if (t.isImage) {
    return FormatText("%s %s", {Msg(keys::kScanStageImage), FileNameOfPath(t.imagePath)});
  }
  if (IsAsciiLetter(t.driveLetter)) return FormatText(Msg(keys::kScanStageLetter), {TextArg::Character(t.driveLetter)});
  return FormatText(Msg(keys::kScanStageNoLetter), {static_cast<int>(t.driveLetter)});
}

void CScanJob::NotifyKeptScanUnusable(std::string_view key, const ScanSource& source, platform::Status status) {
  const auto* deep = dynamic_cast<const engine::deep::CProfessionalRecovery*>(source.engine.get());
  const std::string why = deep != nullptr && deep->KeptFault() != engine::deep::KeptStateFault::kNone
                              ? Msg(KeptFaultKey(deep->KeptFault()))
                              : platform::ErrorText(status);
  View().Notify(MessageKind::kWarning, FormatText(Msg(key), {source.target.label, why}));
}

void CScanJob::NotifySource(std::string_view key, const ScanSource& source, const std::string& detail) {
  View().Notify(MessageKind::kWarning, FormatText(Msg(key), {source.target.label, detail}));
}

int32_t CScanJob::OnProgress(void* userData, int32_t percent, int32_t weight, int32_t remainingSeconds,
                             uint64_t sectorsDone, uint64_t sectorsTotal, uint64_t filesFound, int32_t) {
  auto* job = static_cast<CScanJob*>(userData);
  if (int32_t r = job->CheckPoint(); r != 0) return r;
  const int32_t shown = WeightedPercent(percent, weight);
  IJobView& view = job->View();
  view.SetBar(shown);
  view.SetLine(ViewLine::kTime, remainingSeconds == -1
                                    ? job->Msg(keys::kScanTimeUnknown)
                                    : job->Msg(keys::kScanTime) + DurationText(remainingSeconds, job->Texts()));
  view.SetLine(ViewLine::kPercent, FormatText("%s %d%%", {job->Msg(keys::kScanPercent), shown}));
  const int wanted = sectorsTotal != 0 ? 1 : 0;
  if (wanted == 1) {
    view.SetLine(ViewLine::kSector, FormatText("%s %I64u / %I64u", {job->Msg(keys::kScanSectors),
                                                                    static_cast<unsigned long long>(sectorsDone),
                                                                    static_cast<unsigned long long>(sectorsTotal)}));
    view.SetLine(ViewLine::kFilesFound,
                 FormatText("%s %I64u", {job->Msg(keys::kScanFiles), static_cast<unsigned long long>(filesFound)}));
  }
  if (wanted != job->m_linesShown) {
    view.ShowControl(ViewControl::kSectorLine, wanted == 1);
    view.ShowControl(ViewControl::kFilesLine, wanted == 1);
    job->m_linesShown = wanted;
  }
  return 0;
}

void CScanJob::SplitStretches() {
  ScanSourceList split;
  for (auto& source : m_input.sources) {
    if (!source->target.unpartitioned) {
      split.push_back(source);
      continue;
    }
    // A stretch no partition covers: the volumes still in it are scanned as partitions, the rest raw.
    View().SetLine(ViewLine::kSourceName, source->target.label);
    View().SetLine(ViewLine::kStage, FormatText(Msg(keys::kSearchingVolumes), {source->target.label}));
    for (StretchPart& part : SplitStretch(source->target)) {
      if (part.kind != engine::VolumeKind::kUnknown) {
        View().Notify(MessageKind::kInformation,
                      FormatText(Msg(keys::kLostVolumeFound), {part.target.label, engine::VolumeKindName(part.kind)}));
      }
      auto found = std::make_shared<ScanSource>(std::move(part.target));
      found->fromStretch = true;
      split.push_back(std::move(found));
    }
  }
  m_input.sources = std::move(split);
}

JobResult CScanJob::Run() {
  if (m_input.mode == ScanMode::kDeep || m_input.modeOfStoredScan) SplitStretches();
  if (m_input.sources.empty()) return JobResult::kFinished;  // nothing to scan, nothing to post
  EnsureUniqueLetters(m_input.sources);

  std::string movedFrom, movedTo;
  if (KeepDataFolderOffSources(m_input.sources, &movedFrom, &movedTo) != platform::kStatusOk) {
    // Results would be written onto the medium being recovered: not a byte.
    View().Notify(MessageKind::kError, Msg(keys::kDataFolderNowhere));
    for (auto& s : m_input.sources) s->outcome = SourceOutcome::kNotScanned;
    return JobResult::kFailed;
  }
  if (!movedTo.empty()) {
    View().Notify(MessageKind::kWarning, FormatText(Msg(keys::kDataFolderMoved), {movedFrom, movedTo}));
  }

  for (auto& s : m_input.sources) s->outcome = SourceOutcome::kNotScanned;
  for (auto& pointer : m_input.sources) {
    if (CheckPoint() != 0) break;  // cancelled between sources
    ScanSource& source = *pointer;
    std::unique_lock busy(source.inUse, std::try_to_lock);
    if (!busy.owns_lock()) {
      source.outcome = SourceOutcome::kBusy;
      NotifySource(keys::kSourceBusy, source);
      continue;
    }
    ScanOne(source);
    if (source.outcome == SourceOutcome::kCancelled || CancelConfirmed()) break;
  }

  bool anyEngine = false;
  for (const auto& s : m_input.sources) anyEngine = anyEngine || s->engine != nullptr;
  if (anyEngine) View().Post(JobEvent::kScanFinished);
  if (CancelConfirmed()) return JobResult::kCancelled;
  return anyEngine ? JobResult::kFinished : JobResult::kFailed;
}

void CScanJob::ScanOne(ScanSource& source) {
  const storage::VolumeTarget& t = source.target;
  View().SetLine(ViewLine::kSourceName, t.label);
  View().SetLine(ViewLine::kStage, StageText(source));
  source.ResetEngine();
  source.status = platform::kStatusOk;

  // Disk numbers follow the order devices are found in: a stick plugged in
  // since the list was made moves them, and this number may name another disk.
  if (!t.isImage && platform::DiskPath(t.diskNumber) != t.diskPath) {
    source.outcome = SourceOutcome::kUnreadable;
    source.status = platform::kErrorFileNotFound;
    NotifySource(keys::kSourceMoved, source);
    return;
  }

  VolumeHead head;
  const platform::Status readable = ReadVolumeHead(t, &head);
  source.fileSystem = head.fileSystem;
  // What stays with the medium, and what the volume says of itself.
  const std::string place = storage::VolumeIdentityKey(t);
  source.identity = place.empty() || readable != platform::kStatusOk ? std::string() : place + head.identity;
  if (readable != platform::kStatusOk) {
    source.outcome = SourceOutcome::kUnreadable;
    source.status = readable;
    NotifySource(keys::kSourceUnreadable, source, ErrorText(Texts(), readable));
    return;
  }
  source.mode = m_input.mode;
  if (m_input.modeOfStoredScan && (m_input.reuse == ReusePolicy::kReuse || m_input.reuse == ReusePolicy::kStoredOnly)) {
    ScanMode storedMode = m_input.mode;
    if (StoredScanMode(source, &storedMode)) {
      source.mode = storedMode;
    } else if (m_input.reuse == ReusePolicy::kStoredOnly || source.fromStretch) {
      // Nothing kept: a stretch is left alone (it was never scanned on its own), like any source of a stored-only view.
      source.outcome = SourceOutcome::kNotStored;
      return;
    }
  }
  const bool deep = source.mode == ScanMode::kDeep;
  if (!head.encryption.empty()) {
    // Nothing of an encrypted volume's files can be read before it is unlocked, by any mode.
    NotifySource(deep ? keys::kEncryptedDeep : keys::kEncryptedFast, source, head.encryption);
    if (!deep) {
      source.outcome = SourceOutcome::kNoEngine;
      source.status = platform::kErrorNotSupported;
      return;
    }
  } else if (!deep && !FastModeReads(head.kind)) {
    source.outcome = SourceOutcome::kNoEngine;
    source.status = platform::kErrorNotSupported;
    if (head.kind == engine::VolumeKind::kUnknown && head.fileSystem == engine::VolumeKindName(head.kind)) {
      NotifySource(keys::kNoFileSystemTryDeep, source);
    } else {
      NotifySource(keys::kSourceNoEngine, source, head.fileSystem);
    }
    return;
  }
  const int32_t professional = deep ? 1 : 0;
  std::unique_ptr<engine::IFileRecoveryParse> engine =
      t.isImage
          ? engine::CreateEngineForImage(t.imagePath, t.driveLetter, professional)
          : engine::CreateEngineForPartition(t.diskNumber, t.startSector, t.sectorCount, t.driveLetter, professional);
  if (!engine) {
    source.outcome = SourceOutcome::kNoEngine;
    source.status = platform::kErrorNotSupported;
    if (deep) {
      NotifySource(keys::kDeepNotAvailable, source);
    } else {
      NotifySource(keys::kSourceNoEngine, source, source.fileSystem);
    }
    return;
  }
  source.ResetEngine(std::move(engine));

  StoredScan stored;
  bool reuse = false;
  const bool foundStored = FindStoredScan(source, source.mode, &stored);
  if (foundStored && !stored.finished) {
    bool leave = false;
    const bool resume = DecideResume(source, stored, &leave);
    if (leave) return;
    if (resume) {
      // FindStoredScan made the stored folder the index's current one.
      source.scanFolder = stored.folder;
      source.storeKept = true;
      source.status = RunEngineScan(source, stored.baseName.c_str());
      if (source.status == platform::kStatusOk || source.status == platform::kStatusCancelled ||
          source.status == platform::kErrorDeviceRemoved) {
        Conclude(source);
        return;
      }
      // The stored state does not fit this volume or cannot be read: it is
      // dropped and the volume scanned from the start with a new engine.
      NotifyKeptScanUnusable(keys::kKeptScanSetAside, source, source.status);
      ForgetStoredScan(stored.folder);
      source.storeKept = false;
      source.ResetEngine(t.isImage ? engine::CreateEngineForImage(t.imagePath, t.driveLetter, professional)
                                   : engine::CreateEngineForPartition(t.diskNumber, t.startSector, t.sectorCount,
                                                                      t.driveLetter, professional));
      if (!source.engine) {
        source.outcome = SourceOutcome::kUnreadable;
        NotifySource(keys::kSourceUnreadable, source, ErrorText(Texts(), source.status));
        return;
      }
    }
  } else if (foundStored) {
    switch (m_input.reuse) {
      case ReusePolicy::kReuse:
      case ReusePolicy::kStoredOnly: reuse = true; break;
      case ReusePolicy::kFresh: ForgetStoredScan(stored.folder); break;
      case ReusePolicy::kAsk: {
        const Answer answer = View().Ask(MessageKind::kQuestion, Msg(keys::kReuseQuestion));
        if (CheckPoint() != 0) {
          // Cancelled while the question was open: nothing more is done, whatever the answer.
          source.ResetEngine();
          source.outcome = SourceOutcome::kNotScanned;
          return;
        }
        if (answer == Answer::kOk) {
          reuse = true;
        } else if (answer == Answer::kNo) {
          ForgetStoredScan(stored.folder);
        } else {
          // Closed: "not now". The stored results stay as they are, and so does the source.
          source.ResetEngine();
          source.outcome = SourceOutcome::kSkipped;
          NotifySource(keys::kSourceSkipped, source);
          return;
        }
        break;
      }
    }
  }
  if (!reuse && m_input.reuse == ReusePolicy::kStoredOnly) {
    source.ResetEngine();
    source.outcome = SourceOutcome::kNotStored;
    return;
  }
  if (reuse) {
    // FindStoredScan made the stored folder the index's current one.
    const platform::Status s = source.engine->Scan(stored.baseName.c_str());
    if (s == platform::kStatusOk) {
      source.scanFolder = stored.folder;
      source.storeKept = true;
      source.outcome = SourceOutcome::kReused;
      NoteWalkGaps(source);  // the kept scan says what its walk could not read or follow
      // With the mode taken from the store the front end says which scan it shows.
      if (!m_input.modeOfStoredScan) {
        View().Notify(MessageKind::kInformation, FormatText(Msg(keys::kSourceReused), {t.label}));
      }
      return;
    }
    // The stored files cannot be opened: scan again with a new engine.
    if (m_input.mode == ScanMode::kDeep) NotifyKeptScanUnusable(keys::kKeptScanSetAside, source, s);
    ForgetStoredScan(stored.folder);
    source.ResetEngine(t.isImage ? engine::CreateEngineForImage(t.imagePath, t.driveLetter, professional)
                                 : engine::CreateEngineForPartition(t.diskNumber, t.startSector, t.sectorCount,
                                                                    t.driveLetter, professional));
    if (!source.engine) {
      source.outcome = SourceOutcome::kUnreadable;
      source.status = s;
      NotifySource(keys::kSourceUnreadable, source, ErrorText(Texts(), s));
      return;
    }
  }
  source.status = ScanFresh(source);
  Conclude(source);
}

bool CScanJob::DecideResume(ScanSource& source, const StoredScan& stored, bool* leave) {
  *leave = false;
  if (m_input.reuse == ReusePolicy::kStoredOnly || m_input.resume == ResumePolicy::kAsItIs) {
    // What the stopped scan found is shown as it is; nothing more is read.
    *leave = true;
    source.scanFolder = stored.folder;
    source.storeKept = true;
    source.status = source.engine->Scan(engine::deep::kDeepViewOnly);
    if (source.status == platform::kStatusOk) {
      source.outcome = SourceOutcome::kReused;
      NoteWalkGaps(source);  // the kept scan says what its walk could not read or follow
      NotifySource(keys::kDeepScanKept, source);
      return false;
    }
    NotifyKeptScanUnusable(keys::kKeptScanNotShown, source, source.status);
    source.storeKept = false;  // the folder stays remembered in the index; this engine lets go of it
    source.scanFolder.clear();
    source.ResetEngine();
    source.outcome = SourceOutcome::kNotStored;
    return false;
  }
  switch (m_input.resume) {
    case ResumePolicy::kResume: return true;
    case ResumePolicy::kAsItIs:
    case ResumePolicy::kRestart: break;
    case ResumePolicy::kAsk: {
      const Answer answer =
          View().Ask(MessageKind::kQuestion, FormatText(Msg(keys::kResumeQuestion), {source.target.label}));
      if (CheckPoint() != 0) {
        source.ResetEngine();
        source.outcome = SourceOutcome::kNotScanned;
        *leave = true;
        return false;
      }
      if (answer == Answer::kOk) return true;
      if (answer != Answer::kNo) {
        // Closed: "not now". The unfinished scan stays as it is, and so does the source.
        source.ResetEngine();
        source.outcome = SourceOutcome::kSkipped;
        NotifySource(keys::kSourceSkipped, source);
        *leave = true;
        return false;
      }
      ForgetStoredScan(stored.folder);
      return false;
    }
  }
  ForgetStoredScan(stored.folder);
  View().Notify(MessageKind::kInformation, FormatText(Msg(keys::kResumeRestarted), {source.target.label}));
  return false;
}

void CScanJob::NoteWalkGaps(ScanSource& source) {
  auto* deep = dynamic_cast<engine::deep::CProfessionalRecovery*>(source.engine.get());
  // Folders or records the file system's walk could not read: their files are missing from the list.
  engine::IFileRecoveryParse* walked = deep != nullptr ? deep->FastEngine() : source.engine.get();
  if (auto* gaps = dynamic_cast<engine::IScanGaps*>(walked);
      gaps != nullptr && gaps->UnreadableParts() != 0 && source.status != platform::kStatusCancelled) {
    View().Notify(MessageKind::kWarning,
                  FormatText(Msg(keys::kUnreadableParts),
                             {source.target.label, static_cast<unsigned long long>(gaps->UnreadableParts())}));
  }
  // A deep scan goes on with such folders itself; a fast scan only tells.
  if (auto* gaps = dynamic_cast<engine::IScanGaps*>(walked); deep == nullptr && gaps != nullptr) {
    source.foldersCutOff = source.status == platform::kStatusCancelled ? 0 : gaps->FoldersCutOff();
  }
}

void CScanJob::Conclude(ScanSource& source) {
  auto* deep = dynamic_cast<engine::deep::CProfessionalRecovery*>(source.engine.get());
  NoteWalkGaps(source);
  if (deep != nullptr && source.status != platform::kStatusCancelled) {
    if (deep->FastScanStatus() != platform::kStatusOk) {
      NotifySource(keys::kDeepFileSystemUnread, source, ErrorText(Texts(), deep->FastScanStatus()));
    }
    if (deep->UnreadableSectors() != 0) {
      View().Notify(MessageKind::kWarning,
                    FormatText(Msg(keys::kDeepUnreadableSectors),
                               {source.target.label, static_cast<unsigned long long>(deep->UnreadableSectors())}));
    }
  }
  if (source.status == platform::kStatusOk) {
    source.outcome = SourceOutcome::kScanned;
    // A result that cannot be remembered only costs a later run its reuse.
    if (RememberScan(source, source.mode) != platform::kStatusOk) source.storeKept = false;
    return;
  }
  source.outcome = source.status == platform::kStatusCancelled ? SourceOutcome::kCancelled : SourceOutcome::kScanFailed;
  if (source.outcome == SourceOutcome::kScanFailed) {
    NotifySource(keys::kSourceScanFailed, source, ErrorText(Texts(), source.status));
  }
  // A deep scan that kept its state can be continued later: it is remembered
  // with what it found so far.
  if (deep != nullptr && !source.scanFolder.empty() &&
      platform::PathExists(source.scanFolder + engine::deep::kDeepStateName)) {
    if (RememberScan(source, source.mode) == platform::kStatusOk) {
      NotifySource(keys::kDeepScanKept, source);
    } else {
      source.storeKept = false;
    }
  }
}

platform::Status CScanJob::ScanFresh(ScanSource& source) {
  auto& index = engine::store::ScanIndex::Instance();
  // Without a folder of its own the scan would have nowhere to keep what it finds.
  if (platform::Status s = index.NewScanFolder(); s != platform::kStatusOk) return s;
  source.scanFolder = index.CurrentScanFolder();
  source.storeKept = false;
  return RunEngineScan(source, nullptr);
}

platform::Status CScanJob::RunEngineScan(ScanSource& source, const char* previousName) {
  m_linesShown = -1;
  if (platform::Status s = source.engine->SetProgressCallbacks(OnProgress, nullptr, this, 100);
      s != platform::kStatusOk) {
    return s;  // without the callback the scan could not be cancelled: it is not started
  }
  const platform::Status s = source.engine->Scan(previousName);
  if (source.engine->SetProgressCallbacks(nullptr, nullptr, nullptr, 100) != platform::kStatusOk) {
    // The scan's own status is what the user is told.
  }
  return s;
}

}  // namespace jobs
