// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/preview_job.h"

#include "jobs/data_folder_guard.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/message_keys.h"
#include "jobs/text_format.h"
#include "platform/error.h"
#include "platform/folders.h"

namespace jobs {
namespace {

// How long players get to end (and let go of "tmp.avi") before a media preview.
constexpr std::chrono::milliseconds kPlayerGrace{1000};

}  // namespace

CPreviewSession::CPreviewSession(PreviewTools tools) : m_tools(std::move(tools)) {}

CPreviewSession::~CPreviewSession() {
  Shutdown();
}

std::unique_ptr<CPreviewJob> CPreviewSession::Select(const FoundItem& item, IJobView& view, const ITextSource* texts,
                                                     PreviewProduct* shown) {
  if (item.item.isFolder != 0) {
    *shown = FolderPreview(texts);
    return nullptr;
  }
  *shown = PreviewProduct{};
  return std::make_unique<CPreviewJob>(PreviewJobInput{item, this}, view, texts);
}

platform::Status CPreviewSession::Play(const PreviewProduct& product) {
  if (product.kind != PreviewProductKind::kMedia || product.filePath.empty()) return platform::kStatusInvalidParameter;
  return m_players.Play(product.audio ? m_tools.audioPlayer : m_tools.videoPlayer, product.filePath);
}

void CPreviewSession::RememberFile(const std::string& path) {
  if (path.empty()) return;
  std::lock_guard lock(m_mutex);
  m_files.insert(path);
}

void CPreviewSession::DeletePreviousFiles() {
  std::set<std::string> files;
  {
    std::lock_guard lock(m_mutex);
    files.swap(m_files);
  }
  // Files of our own private folder; one already gone is fine.
  for (const auto& f : files) (void)platform::RemoveFile(f);
}

void CPreviewSession::Shutdown() {
  m_players.EndAll(std::chrono::milliseconds(0));
  DeletePreviousFiles();
  platform::RemoveSessionFolder();
}

CPreviewJob::CPreviewJob(PreviewJobInput input, IJobView& view, const ITextSource* texts)
    : CJob(JobKind::kPreview, view, texts), m_input(std::move(input)) {}

CPreviewJob::~CPreviewJob() {
  JoinWorker();
}

int32_t CPreviewJob::OnExtract(void* userData, int32_t percent, int32_t) {
  auto* job = static_cast<CPreviewJob*>(userData);
  if (int32_t r = job->CheckPoint(); r != 0) return r;
  job->View().SetBar(percent);
  job->View().SetLine(ViewLine::kPercent, FormatText("%s %d%%", {job->Msg(keys::kPreviewPercent), percent}));
  return 0;
}

JobResult CPreviewJob::Run() {
  CPreviewSession& session = *m_input.session;
  const FoundItem& found = m_input.item;
  m_record = PreviewRecord{};
  m_record.item = found.item;
  ClassifyForPreview(found.item.Name(), &m_record);
  View().SetLine(ViewLine::kStage, FormatText("%s %s", {Msg(keys::kPreviewStage), found.item.Name()}));
  View().SetLine(ViewLine::kPercent, FormatText("%s %d%%", {Msg(keys::kPreviewPercent), 0}));
  View().SetBar(0);

  // Our players, by their pids; a media preview gives them a second to let go of "tmp.avi".
  session.Players().EndAll(m_record.media ? kPlayerGrace : std::chrono::milliseconds(0));
  session.DeletePreviousFiles();

  auto fail = [&](platform::Status status, std::string text) {
    m_record.extractStatus = status;
    m_product = PreviewProduct{};
    m_product.kind = PreviewProductKind::kFailed;
    m_product.status = status;
    m_product.text = std::move(text);
    return JobResult::kFinished;
  };
  auto readFailed = [&](platform::Status status) {
    return fail(status, FormatText(Msg(keys::kPreviewReadFailed), {ErrorText(Texts(), status)}));
  };
  if (!found.source || found.item.isFolder != 0) return readFailed(platform::kStatusInvalidParameter);
  // The preview files are written to the data folder: never onto the medium being recovered.
  std::string movedFrom, movedTo;
  if (KeepDataFolderOffSources({found.source}, &movedFrom, &movedTo) != platform::kStatusOk) {
    return fail(platform::kErrorAccessDenied, Msg(keys::kDataFolderNowhere));
  }
  if (!movedTo.empty()) {
    View().Notify(MessageKind::kInformation, FormatText(Msg(keys::kDataFolderMoved), {movedFrom, movedTo}));
  }
  ScanSource& source = *found.source;
  std::unique_lock busy(source.inUse, std::try_to_lock);
  if (!busy.owns_lock()) return readFailed(platform::kErrorBusy);
  if (!source.engine) return readFailed(platform::kStatusInvalidParameter);

  std::vector<uint8_t> buffer(kPreviewBufferBytes);
  uint32_t length = kPreviewBufferBytes;
  std::string tempPath;
  const platform::Status extracted =
      source.engine->ExtractItem(&m_record.item, tempPath, buffer.data(), &length, OnExtract, this);
  busy.unlock();
  session.RememberFile(tempPath);
  if (extracted == platform::kStatusCancelled || CheckPoint() != 0) {
    session.DeletePreviousFiles();
    return JobResult::kCancelled;
  }
  m_record.extractStatus = extracted;
  m_record.tempPath = tempPath;
  buffer.resize(std::min<size_t>(length, buffer.size()));
  m_record.data = std::move(buffer);

  m_product = MakePreviewProduct(m_record, session.Tools(), Texts(),
                                 [] { return JobControl::For(JobKind::kPreview).IsCancelled(); });
  if (m_product.kind == PreviewProductKind::kPicture) session.RememberFile(m_product.filePath);
  if (m_product.status == platform::kStatusCancelled || CheckPoint() != 0) {
    m_product = PreviewProduct{};
    session.DeletePreviousFiles();
    return JobResult::kCancelled;
  }
  View().SetBar(100);
  return JobResult::kFinished;
}

}  // namespace jobs
