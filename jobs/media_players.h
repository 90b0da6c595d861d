// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/preview_tools.h"
#include "platform/process.h"
#include "platform/status.h"

namespace jobs {

// The media players this program started for previews, and only those:
// they are ended by their own process ids (and the groups they lead),
// never by a program name, so a player the user started himself is never
// touched. Thread-safe.
class CMediaPlayers {
 public:
  CMediaPlayers() = default;
  // Ends what still runs (at once).
  ~CMediaPlayers();
  CMediaPlayers(const CMediaPlayers&) = delete;
  CMediaPlayers& operator=(const CMediaPlayers&) = delete;

  // Starts the first of choices that can be started, each word "%f"
  // replaced by path (a command without it gets path last). Returns at once
  // (the player runs on); 0, or the status of the last try (the window then
  // shows "MSG1207"). path is the preview's own temporary file, whose name
  // is fixed, so a found name never reaches the player.
  [[nodiscard]] platform::Status Play(const ToolChoices& choices, const std::string& path);
  // Ends every player started here that still runs: asks each to end, waits
  // up to grace in all for them, then kills what is left and waits for it.
  // Blocks up to grace: call it on a worker thread (the preview job does)
  // or at exit with a short grace.
  void EndAll(std::chrono::milliseconds grace);
  // Players started here that still run.
  size_t Running();

 private:
  std::mutex m_mutex;
  std::vector<std::unique_ptr<platform::ChildProcess>> m_players;
};

}  // namespace jobs
