// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <CLI/CLI.hpp>
#include <string>

namespace cli {

// `quellmoor verify FILE`: hashes the whole media of an image (MD5 and
// SHA-1, with a progress line on a terminal; Ctrl-C cancels) and compares
// the result with the hashes an E01 stores. Exit 0 when every stored hash
// matches; 1 on a mismatch, an image without stored hashes or a read error
// (named with its file and offset); 130 when cancelled.
class VerifyCommand {
 public:
  // Adds the subcommand to app; this object must outlive the parse.
  explicit VerifyCommand(CLI::App& app);
  bool Parsed() const { return m_command->parsed(); }
  int Run() const;

 private:
  CLI::App* m_command;
  std::string m_path;
};

}  // namespace cli
