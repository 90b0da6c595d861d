// SPDX-License-Identifier: GPL-3.0-or-later
#include "storage/source_failure.h"

#include <mutex>
#include <utility>

namespace storage {
namespace {

struct FailureNote {
  std::mutex mutex;
  std::string text;
};

FailureNote& Note() {
  static FailureNote note;
  return note;
}

}  // namespace

void NoteSourceFailure(const std::string& text) {
  std::lock_guard lock(Note().mutex);
  Note().text = text;
}

std::string TakeSourceFailure() {
  std::lock_guard lock(Note().mutex);
  return std::exchange(Note().text, std::string());
}

}  // namespace storage
