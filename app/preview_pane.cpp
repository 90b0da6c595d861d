// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/preview_pane.h"

#include "jobs/error_text.h"
#include "platform/error.h"

namespace app {
namespace {

constexpr size_t kDotRun = 4;

}  // namespace

bool LooksLikeText(std::string_view dump) {
  size_t characters = 0;
  size_t binary = 0;
  size_t dots = 0;
  size_t i = 0;
  while (i < dump.size()) {
    const auto b = static_cast<unsigned char>(dump[i]);
    char32_t c = b;
    size_t length = 1;
    if (b >= 0xC0 && b < 0xE0 && i + 1 < dump.size()) {
      c = ((b & 0x1Fu) << 6) | (static_cast<unsigned char>(dump[i + 1]) & 0x3Fu);
      length = 2;
    } else if (b >= 0xE0) {
      c = 0x3000;  // beyond the Latin-1 range: a letter of another script
      length = b >= 0xF0 ? 4 : 3;
    }
    i += length;
    ++characters;
    if (c == '.') {
      if (++dots == kDotRun)
        binary += kDotRun;
      else if (dots > kDotRun)
        ++binary;
      continue;
    }
    dots = 0;
    const bool control = (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
    if (control || (c >= 0x80 && c <= 0xFF)) ++binary;
  }
  return characters == 0 || binary * 4 <= characters;
}

std::string PreviewPaneText(const jobs::PreviewProduct& product, const jobs::ITextSource* texts) {
  switch (product.kind) {
    case jobs::PreviewProductKind::kPicture:
    case jobs::PreviewProductKind::kMedia: return {};
    case jobs::PreviewProductKind::kFolder:
    case jobs::PreviewProductKind::kText:
    case jobs::PreviewProductKind::kListing: return product.text;
    case jobs::PreviewProductKind::kDump: {
      std::string shown = LooksLikeText(product.text)
                              ? product.text
                              : (texts != nullptr ? texts->Text("MainWnd", "NoTextPreview") : std::string());
      if (product.note.empty()) return shown;
      return shown.empty() ? product.note : product.note + "\n\n" + shown;
    }
    case jobs::PreviewProductKind::kFailed:
      return product.text.empty() ? jobs::ErrorText(texts, product.status) : product.text;
  }
  return {};
}

}  // namespace app
