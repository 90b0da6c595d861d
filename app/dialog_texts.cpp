// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/dialog_texts.h"

namespace app {

const std::vector<std::string>& ImageFilePatterns() {
  static const std::vector<std::string> kPatterns = [] {
    std::vector<std::string> out;
    for (const char* extension :
         {"img", "dd", "raw", "bin", "ima", "iso", "e01", "ex01", "vhd", "vhdx", "vmdk", "qcow", "qcow2"}) {
      std::string lower = std::string("*.") + extension;
      std::string upper = lower;
      for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
      out.push_back(lower);
      out.push_back(upper);
    }
    return out;
  }();
  return kPatterns;
}

std::string DialogText(const jobs::ITextSource* texts, std::string_view key, std::string_view fallback) {
  std::string text = texts != nullptr ? texts->Text("Dialogs", key) : std::string();
  return text.empty() ? std::string(fallback) : text;
}

std::vector<std::string> ImageFileFilters(const jobs::ITextSource* texts) {
  std::string patterns;
  for (const std::string& p : ImageFilePatterns()) {
    if (!patterns.empty()) patterns += " ";
    patterns += p;
  }
  // The patterns are the program's own: a translation never breaks a filter.
  return {DialogText(texts, "ImageFilter", "Disk images") + " (" + patterns + ")",
          DialogText(texts, "AllFiles", "All files") + " (*)"};
}

}  // namespace app
