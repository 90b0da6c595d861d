// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/preview_product.h"

#include "engine/categories.h"
#include "jobs/character_dump.h"
#include "jobs/error_text.h"
#include "jobs/message_keys.h"
#include "jobs/picture_converter.h"
#include "jobs/text_decoding.h"
#include "jobs/text_format.h"
#include "platform/error.h"
#include "platform/utf.h"

namespace jobs {

void ClassifyForPreview(std::string_view name, PreviewRecord* record) {
  record->media = record->audio = record->document = record->pdf = false;
  record->converter = ConverterKind::kNone;
  const std::string_view extension = engine::ExtensionOf(name);
  // The exact photo entries first, as whole entries (as every category rule tests them).
  if (engine::IsExactPhotoExtension(extension)) {
    if (NeedsPictureConversion(extension)) record->converter = ConverterKind::kPicture;
    return;
  }
  if (engine::IsExactDocumentExtension(extension)) {
    // Text: a spreadsheet (csv) through its converter, the rest as it is.
    if (engine::ExtensionIsEntryOf(extension, engine::kPreviewDocumentList)) {
      record->document = true;
      record->converter = ConverterFor(extension);
    }
    return;
  }
  if (engine::ExtensionInList(extension, engine::kAudioList)) {
    record->audio = true;
    record->media = true;
  } else if (engine::ExtensionInList(extension, engine::kVideoList)) {
    record->media = true;
  } else if (engine::ExtensionInList(extension, engine::kPreviewDocumentList)) {
    record->document = true;
  }
  if (!record->media && !record->document && NeedsPictureConversion(extension)) {
    record->converter = ConverterKind::kPicture;  // a photo the pane cannot draw as it is
    return;
  }
  if (!record->document) return;
  record->pdf = platform::AsciiLower(extension) == "pdf";
  record->converter = ConverterFor(extension);
}

std::string_view ProductKindWord(PreviewProductKind kind) {
  switch (kind) {
    case PreviewProductKind::kFolder: return "folder";
    case PreviewProductKind::kPicture: return "picture";
    case PreviewProductKind::kText: return "text";
    case PreviewProductKind::kListing: return "listing";
    case PreviewProductKind::kDump: return "dump";
    case PreviewProductKind::kMedia: return "media";
    case PreviewProductKind::kFailed: break;
  }
  return "failed";
}

PreviewProduct FolderPreview(const ITextSource* texts) {
  PreviewProduct product;
  product.kind = PreviewProductKind::kFolder;
  product.text = MessageText(texts, keys::kPreviewFolder);
  return product;
}

PreviewProduct MakePreviewProduct(const PreviewRecord& record, const PreviewTools& tools, const ITextSource* texts,
                                  const std::function<bool()>& stop) {
  PreviewProduct product;
  if (record.extractStatus != platform::kStatusOk) {
    // The reason, never an empty pane.
    product.kind = PreviewProductKind::kFailed;
    product.status = record.extractStatus;
    product.text = FormatText(MessageText(texts, keys::kPreviewReadFailed), {ErrorText(texts, record.extractStatus)});
    return product;
  }
  if (record.tempPath.empty()) {
    // Text as its encoding says (UTF-8, UTF-16 by its mark, else Windows-1252); anything else byte by byte.
    if (DecodeText(record.data.data(), record.data.size(), &product.text) != TextEncoding::kNone) {
      product.kind = PreviewProductKind::kText;
      return product;
    }
    product.kind = PreviewProductKind::kDump;
    product.text = CharacterDump(record.data.data(), record.data.size());
    return product;
  }
  if (record.media) {
    product.kind = PreviewProductKind::kMedia;
    product.filePath = record.tempPath;
    product.audio = record.audio;
    return product;
  }
  const ConverterKind kind = record.pdf ? ConverterKind::kPdf : record.converter;
  if (kind == ConverterKind::kNone) {
    product.kind = PreviewProductKind::kPicture;
    product.filePath = record.tempPath;
    product.fallbackText = MessageText(texts, keys::kPreviewNoPicture);
    return product;
  }
  CToolRunner runner(tools, stop);
  std::unique_ptr<IDocumentConverter> converter = MakeConverter(kind, runner, engine::ExtensionOf(record.item.Name()));
  ConversionOutput output;
  const platform::Status converted = converter->Convert(record.tempPath, &output);
  if (converted == platform::kStatusOk) {
    if (kind == ConverterKind::kPdf || kind == ConverterKind::kPicture) {
      product.kind = PreviewProductKind::kPicture;
      product.filePath = output.picturePath;
      product.fallbackText = MessageText(texts, keys::kPreviewNoPicture);
    } else {
      product.kind = kind == ConverterKind::kArchive ? PreviewProductKind::kListing : PreviewProductKind::kText;
      product.text = std::move(output.text);
    }
    return product;
  }
  product.status = converted;
  if (converted == platform::kStatusCancelled) return product;
  // A missing helper, a hung one or a document it cannot read: the first bytes as they are.
  std::string dump;
  if (platform::Status s = DumpOfFileHead(record.tempPath, &dump); s != platform::kStatusOk) {
    product.kind = PreviewProductKind::kFailed;
    product.status = s;
    product.text = FormatText(MessageText(texts, keys::kPreviewReadFailed), {ErrorText(texts, s)});
    return product;
  }
  product.kind = PreviewProductKind::kDump;
  product.text = std::move(dump);
  product.note = FormatText(MessageText(texts, keys::kPreviewShownAsDump),
                            {output.problem.empty() ? ErrorText(texts, converted) : output.problem});
  return product;
}

}  // namespace jobs
