// SPDX-License-Identifier: GPL-3.0-or-later
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/commands.h"
#include "cli/verify_command.h"

namespace {

void AddScanOptions(CLI::App* command, cli::ScanOptions& options) {
  command->add_option("--mode", options.mode, "fast (deleted files of an intact volume) or deep")
      ->check(CLI::IsMember({"fast", "deep"}));
  command->add_option("--types", options.types, "photo, audio, video, document, archive, other and/or extensions")
      ->delimiter(',');
  command->add_option("SOURCE", options.source, "image file, block device, disk:N or disk:N:P")->required();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Quellmoor: recovers deleted and lost files from FAT and NTFS volumes, disks and images"};
  app.set_version_flag("--version", std::string("quellmoor ") + QUELLMOOR_VERSION);
  app.require_subcommand(1);

  std::string probeSource;
  auto* probe = app.add_subcommand("probe", "Show the partitions of SOURCE and the file system of each volume");
  probe->add_option("SOURCE", probeSource, "image file, block device, disk:N or disk:N:P")->required();

  auto* disks = app.add_subcommand("disks", "List the disk table");

  cli::ScanOptions scanOptions;
  auto* scan = app.add_subcommand("scan", "Scan SOURCE and list the files found");
  AddScanOptions(scan, scanOptions);
  scan->add_flag("--json", scanOptions.json, "print one JSON array");

  cli::ScanOptions recoverOptions;
  auto* recover = app.add_subcommand("recover", "Scan SOURCE and copy the files found below DIR");
  AddScanOptions(recover, recoverOptions);
  recover->add_option("--out", recoverOptions.outputFolder, "output folder (not on the medium being recovered)")
      ->required();
  recover->add_flag("--tree", recoverOptions.tree, "keep the found folder structure instead of category folders");

  cli::VerifyCommand verify(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  if (probe->parsed()) return cli::RunProbe(probeSource);
  if (disks->parsed()) return cli::RunDisks();
  if (scan->parsed()) return cli::RunScan(scanOptions);
  if (recover->parsed()) return cli::RunRecover(recoverOptions);
  if (verify.Parsed()) return verify.Run();
  return cli::kExitUsage;
}
