// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdio>
#include <cstring>

#include "app/preview_config.h"
#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "engine/categories.h"
#include "engine/output_path.h"
#include "jobs/display_text.h"
#include "jobs/error_text.h"
#include "jobs/folder_browser.h"
#include "jobs/preview_job.h"
#include "jobs/recovery_job.h"
#include "platform/error.h"
#include "platform/folders.h"
#include "platform/output_tree.h"
#include "platform/raw_file.h"

namespace cli {
namespace {

using jobs::EscapeForDisplay;

// "fast-fat:17": an engine's name and a record id, as scan --json shows them.
bool ParseEngineAndId(const std::string& text, std::string* engineName, int32_t* id) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() - colon > 11) return false;
  int64_t value = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value <= 0 || value > INT32_MAX) return false;
  *engineName = text.substr(0, colon);
  *id = static_cast<int32_t>(value);
  for (int32_t kind = 0; kind <= static_cast<int32_t>(engine::SourceKind::kProfessionalExt4); ++kind) {
    if (*engineName == EngineName(kind)) return true;
  }
  return false;
}

std::string FoundPath(const jobs::FoundItem& f) {
  return "/" + f.folderPath + std::string(f.item.Name());
}

// The found files and folders ITEM names (several when it is ambiguous).
std::vector<jobs::FoundItem> FindItem(Session& session, const std::string& item) {
  std::vector<jobs::FoundItem> found;
  std::string engineName;
  int32_t id = 0;
  if (ParseEngineAndId(item, &engineName, &id)) {
    for (const auto& f : session.files) {
      if (f.item.id == id && engineName == EngineName(f.item.sourceKind)) found.push_back(f);
    }
    return found;
  }
  std::string path = item;
  while (!path.empty() && path.front() == '/') path.erase(0, 1);
  while (!path.empty() && path.back() == '/') path.pop_back();
  for (const auto& f : session.files) {
    if (f.folderPath + std::string(f.item.Name()) == path) found.push_back(f);
  }
  if (!found.empty() || path.empty()) return found;
  // A folder: found through its parent's listing.
  const size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (const auto& source : session.sources) {
    if (!source->engine) continue;
    std::vector<jobs::FoundItem> children;
    if (jobs::ListFolderAt(source, parent, &children) != platform::kStatusOk) continue;
    for (auto& c : children) {
      if (c.item.isFolder != 0 && c.item.Name() == name) found.push_back(std::move(c));
    }
  }
  return found;
}

// ".png" and the like from a picture's first bytes; empty when unknown.
std::string PictureExtension(const std::string& path) {
  std::string head;
  if (platform::ReadWholeFile(path, &head, 16) != platform::kStatusOk) return {};
  if (head.starts_with("\x89PNG")) return ".png";
  if (head.starts_with("\xFF\xD8\xFF")) return ".jpg";
  if (head.starts_with("GIF8")) return ".gif";
  if (head.starts_with("BM")) return ".bmp";
  if (head.starts_with(std::string_view("II*\0", 4)) || head.starts_with(std::string_view("MM\0*", 4))) return ".tif";
  return {};
}

// "." + the item's extension, letters and digits only; empty when it has none.
std::string SafeExtension(std::string_view name) {
  std::string extension;
  for (char c : engine::ExtensionOf(name)) {
    if (extension.size() == 8) break;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) extension.push_back(c);
  }
  return extension.empty() ? extension : "." + extension;
}

// Writes bytes, or the file at fromPath, as a new file named name (made
// unique) in folder; *written is its path.
platform::Status WriteNew(const std::string& folder, const std::string& name, const std::string* bytes,
                          const std::string& fromPath, std::string* written) {
  if (platform::Status s = platform::CreateFoldersBelow(folder, ""); s != platform::kStatusOk) return s;
  platform::Status s = platform::kErrorAlreadyExists;
  for (int attempt = 0; attempt < 8 && s == platform::kErrorAlreadyExists; ++attempt) {
    const std::string unique = engine::UniqueChildName(folder, "", name);
    platform::OutputFile out;
    s = platform::CreateNewFileBelow(folder, unique, &out);
    if (s != platform::kStatusOk) continue;
    *written = (folder.back() == '/' ? folder : folder + "/") + unique;
    if (bytes != nullptr) {
      s = out.WriteAt(0, bytes->data(), bytes->size());
    } else {
      platform::RawFile in;
      s = in.Open(fromPath);
      std::vector<char> buffer(1 << 20);
      for (uint64_t offset = 0; s == platform::kStatusOk;) {
        size_t got = 0;
        s = in.ReadAt(offset, buffer.data(), buffer.size(), &got);
        if (s != platform::kStatusOk || got == 0) break;
        s = out.WriteAt(offset, buffer.data(), got);
        offset += got;
      }
    }
    const platform::Status closed = out.Close();
    if (s == platform::kStatusOk) s = closed;
    if (s != platform::kStatusOk) (void)platform::RemoveFileBelow(folder, unique);  // never a half-written file
  }
  return s;
}

}  // namespace

int RunPreview(const PreviewOptions& options) {
  const platform::PathKind outKind = platform::KindOfPath(options.outputFolder);
  if (outKind != platform::PathKind::kMissing && outKind != platform::PathKind::kFolder) {
    PrintError(Tr("OutNotFolder", {options.outputFolder, platform::PathKindWord(outKind)}));
    return kExitUsage;
  }
  ScanOptions scanOptions;
  scanOptions.source = options.source;
  scanOptions.mode = options.mode;
  Session session;
  int exitCode = kExitOk;
  // The kept results of the last scan, like ls; a scan first when there are none.
  if (!ScanAndCollect(scanOptions, jobs::ReusePolicy::kReuse, true, &session, &exitCode, /*quiet=*/true)) {
    return exitCode;
  }
  if (session.cancelled) return kExitCancelled;
  const std::vector<jobs::FoundItem> found = FindItem(session, options.item);
  if (found.empty()) {
    PrintError(Tr("NoSuchItem", {options.item, options.source}));
    return kExitFailed;
  }
  if (found.size() > 1) {
    PrintError(Tr("AmbiguousItem", {options.item}));
    for (const auto& f : found) {
      std::fprintf(stderr, "  %s:%d  %s  %s\n", EngineName(f.item.sourceKind), static_cast<int>(f.item.id),
                   EscapeForDisplay(FoundPath(f)).c_str(), EscapeForDisplay(f.source->target.label).c_str());
    }
    return kExitUsage;
  }
  // Writing onto the medium being recovered could overwrite what is sought.
  const jobs::ScanSourceList holding = jobs::SourcesHoldingFolder(session.sources, options.outputFolder);
  if (!holding.empty()) {
    PrintError(Msg("MSG0805"));
    PrintError(Tr("OutOnSource", {options.outputFolder, holding.front()->target.label}));
    return kExitFailed;
  }

  jobs::CPreviewSession preview(app::LoadPreviewTools());
  jobs::PreviewProduct product;
  InterruptFlag().store(false);
  {
    CCliView view(CCliView::Layout::kPreview);
    std::unique_ptr<jobs::CPreviewJob> job = preview.Select(found.front(), view, &Texts(), &product);
    if (job) {
      if (job->Start() != platform::kStatusOk) {
        PrintError(ErrorText(&Texts(), platform::kErrorBusy));
        return kExitFailed;
      }
      const jobs::JobResult result = RunToEnd(*job);
      view.ClearLine();
      if (result == jobs::JobResult::kCancelled) {
        PrintError(Tr("PreviewCancelled"));
        return kExitCancelled;
      }
      product = job->Product();
    }
  }

  std::string name;
  std::string text = product.text;
  const std::string* bytes = &text;
  std::string_view wrote;
  switch (product.kind) {
    case jobs::PreviewProductKind::kFolder: std::printf("%s\n", product.text.c_str()); return kExitOk;
    case jobs::PreviewProductKind::kFailed: PrintError(product.text); return kExitFailed;
    case jobs::PreviewProductKind::kPicture: {
      std::string extension = PictureExtension(product.filePath);
      if (extension.empty()) extension = SafeExtension(found.front().item.Name());
      name = "picture" + extension;
      bytes = nullptr;
      wrote = "WrotePicture";
      break;
    }
    case jobs::PreviewProductKind::kMedia:
      name = "media" + SafeExtension(found.front().item.Name());
      bytes = nullptr;
      wrote = "WroteMedia";
      break;
    case jobs::PreviewProductKind::kText:
      if (!text.empty() && text.back() != '\n') text.push_back('\n');  // a text file ends its last line
      name = "text.txt";
      wrote = "WroteText";
      break;
    case jobs::PreviewProductKind::kListing:
      if (!text.empty() && text.back() != '\n') text.push_back('\n');
      name = "listing.txt";
      wrote = "WroteListing";
      break;
    case jobs::PreviewProductKind::kDump:
      name = "dump.txt";
      wrote = "WroteDump";
      break;
  }
  if (!product.note.empty()) PrintError(product.note);
  std::string written;
  if (platform::Status s = WriteNew(options.outputFolder, name, bytes, product.filePath, &written);
      s != platform::kStatusOk) {
    PrintError(Tr("PreviewNotWritten", {options.outputFolder, ErrorText(&Texts(), s)}));
    return kExitFailed;
  }
  std::printf("%s\n", Tr(wrote, {EscapeForDisplay(written)}).c_str());
  return kExitOk;
}

}  // namespace cli
