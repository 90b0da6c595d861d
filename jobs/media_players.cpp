// SPDX-License-Identifier: GPL-3.0-or-later
#include "jobs/media_players.h"

#include <algorithm>

namespace jobs {

CMediaPlayers::~CMediaPlayers() {
  EndAll(std::chrono::milliseconds(0));
}

platform::Status CMediaPlayers::Play(const ToolChoices& choices, const std::string& path) {
  platform::Status status = platform::kErrorFileNotFound;
  for (const ToolCommand& choice : choices) {
    std::vector<std::string> argv;
    bool placed = false;
    for (const auto& word : choice) {
      if (word == "%f") {
        argv.push_back(path);
        placed = true;
      } else {
        argv.push_back(word);
      }
    }
    if (!placed) argv.push_back(path);
    std::unique_ptr<platform::ChildProcess> player;
    status = platform::ChildProcess::Start(argv, &player);
    if (status == platform::kStatusOk) {
      std::lock_guard lock(m_mutex);
      // Players that ended by themselves are forgotten.
      m_players.erase(std::remove_if(m_players.begin(), m_players.end(), [](const auto& p) { return !p->IsRunning(); }),
                      m_players.end());
      m_players.push_back(std::move(player));
      return status;
    }
  }
  return status;
}

void CMediaPlayers::EndAll(std::chrono::milliseconds grace) {
  std::vector<std::unique_ptr<platform::ChildProcess>> players;
  {
    std::lock_guard lock(m_mutex);
    players.swap(m_players);
  }
  const auto until = std::chrono::steady_clock::now() + grace;
  for (auto& p : players) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    p->End(std::max(left, std::chrono::milliseconds(0)));
  }
}

size_t CMediaPlayers::Running() {
  std::lock_guard lock(m_mutex);
  return static_cast<size_t>(
      std::count_if(m_players.begin(), m_players.end(), [](const auto& p) { return p->IsRunning(); }));
}

}  // namespace jobs
