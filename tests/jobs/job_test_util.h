// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "jobs/job.h"
#include "jobs/job_view.h"
#include "jobs/text_source.h"
#include "platform/disk_table.h"

namespace jobs::testing {

// Texts from a map; a missing key is empty, as in the real text table.
class MapTexts final : public ITextSource {
 public:
  MapTexts();
  explicit MapTexts(std::map<std::string, std::string> messages) : m_messages(std::move(messages)) {}
  std::string Text(std::string_view section, std::string_view key) const override {
    if (section != kMessagesSection) return {};
    auto it = m_messages.find(std::string(key));
    return it == m_messages.end() ? std::string() : it->second;
  }

 private:
  std::map<std::string, std::string> m_messages;
};

inline MapTexts::MapTexts()
    : m_messages({{"MSG0701", "Scanning drive %c:"},
                  {"MSG0702", "Scanning drive %d:"},
                  {"MSG0703", "Scanning image"},
                  {"MSG0704", "Current progress:"},
                  {"MSG0705", "Estimating time left..."},
                  {"MSG0706", "Reading sector"},
                  {"MSG0707", "Files found:"},
                  {"MSG0708", "Time left: "},
                  {"MSG1206", "Use the stored results?"},
                  {"MSG1101", "Current file:"},
                  {"MSG1102", "%d/%d file(s) processed, %d recovered, %d failed"},
                  {"MSG1201", "Searching drive %c:"},
                  {"MSG1202", "Searching drive %d:"},
                  {"MSG1203", "Searching image %s"},
                  {"MSG1204", "Searching:"},
                  {"MSG0301", "Current progress:"},
                  {"MSG0302", "Writing image"},
                  {"MSG0303", "Writing sector"},
                  {"MSG0304", "Estimating time left..."},
                  {"MSG0305", "Time left:"},
                  {"MSG1303", "%s: no engine for %s"},
                  {"MSG1335", "%s: encrypted with %s"},
                  {"MSG1304", "%s unreadable: %s"},
                  {"MSG1312", "%s is a link; written as %s"},
                  {"MSG1314", "Read error at sector %I64u."},
                  {"MSG1316", "Partial image kept as %s"},
                  {"MSG1319", "%s/s"}}) {}

// A view that records everything a job tells it, answers questions from a
// script, and lets a test act (cancel, for instance) when a line appears.
// Thread-safe; the job calls it on its worker thread.
class ScriptedView final : public IJobView {
 public:
  using LineHook = std::function<void(ViewLine, const std::string&)>;

  void SetLine(ViewLine line, const std::string& text) override {
    LineHook hook;
    {
      std::lock_guard lock(m_mutex);
      lines.emplace_back(line, text);
      hook = onLine;
    }
    if (hook) hook(line, text);
  }
  void SetBar(int32_t percent) override {
    std::lock_guard lock(m_mutex);
    bars.push_back(percent);
  }
  void ShowControl(ViewControl control, bool visible) override {
    std::lock_guard lock(m_mutex);
    controls.emplace_back(control, visible);
  }
  void AddDetailRow(const DetailRow& row, size_t position) override {
    std::lock_guard lock(m_mutex);
    shownRows.insert(shownRows.begin() + static_cast<std::ptrdiff_t>(std::min(position, shownRows.size())), row);
  }
  void Notify(MessageKind kind, const std::string& text) override {
    std::lock_guard lock(m_mutex);
    notes.emplace_back(kind, text);
  }
  Answer Ask(MessageKind, const std::string& text) override {
    std::lock_guard lock(m_mutex);
    questions.push_back(text);
    if (answers.empty()) return Answer::kClosed;
    Answer a = answers.front();
    answers.pop_front();
    return a;
  }
  void Post(JobEvent event) override {
    std::lock_guard lock(m_mutex);
    events.push_back(event);
  }
  void End(JobResult result) override {
    std::lock_guard lock(m_mutex);
    ended.push_back(result);
  }

  // The texts shown on one line, in order.
  std::vector<std::string> LinesOf(ViewLine line) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> out;
    for (const auto& [l, t] : lines) {
      if (l == line) out.push_back(t);
    }
    return out;
  }
  bool Noted(const std::string& fragment) const {
    std::lock_guard lock(m_mutex);
    for (const auto& [k, t] : notes) {
      if (t.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  LineHook onLine;
  std::deque<Answer> answers;
  std::vector<std::pair<ViewLine, std::string>> lines;
  std::vector<int32_t> bars;
  std::vector<std::pair<ViewControl, bool>> controls;
  std::vector<DetailRow> shownRows;
  std::vector<std::pair<MessageKind, std::string>> notes;
  std::vector<std::string> questions;
  std::vector<JobEvent> events;
  std::vector<JobResult> ended;

 private:
  mutable std::mutex m_mutex;
};

// QUELLMOOR_DISKS for a test's lifetime.
class ScopedDisks {
 public:
  explicit ScopedDisks(const std::string& paths) { ::setenv("QUELLMOOR_DISKS", paths.c_str(), 1); }
  ~ScopedDisks() {
    ::unsetenv("QUELLMOOR_DISKS");
    platform::SetDiskTableOverride({});
  }
};

}  // namespace jobs::testing
