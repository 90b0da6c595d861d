// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include "jobs/preview_product.h"
#include "jobs/text_source.h"

namespace app {

// Whether a character dump reads as text: at most one character in four is
// a control character (other than tab and line breaks), a character of
// the Latin-1 range where raw binary bytes land, or a dot of a run of four
// or more (zero bytes). Letters of other scripts count as text.
bool LooksLikeText(std::string_view dump);

// The text the preview pane shows for a product that is not drawn or
// played: a folder's, a document's or an archive's text as it is; a dump
// that reads as text after the note of a failed conversion; a dump that
// does not (a binary file no helper could read) as the window text
// "NoTextPreview" after that note, never as a screen of noise; a failed
// extraction's reason. Empty for a picture or a player.
std::string PreviewPaneText(const jobs::PreviewProduct& product, const jobs::ITextSource* texts);

}  // namespace app
