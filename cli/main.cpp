// SPDX-License-Identifier: GPL-3.0-or-later
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"Quellmoor: recovers deleted and lost files from FAT and NTFS volumes, disks and images"};
  app.set_version_flag("--version", std::string("quellmoor ") + QUELLMOOR_VERSION);
  app.require_subcommand(1);

  std::string probeSource;
  auto* probe = app.add_subcommand("probe", "Show the partitions of SOURCE and the file system of each volume");
  probe->add_option("SOURCE", probeSource, "image file, block device, disk:N or disk:N:P")->required();

  auto* disks = app.add_subcommand("disks", "List the disk table");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  if (probe->parsed()) return cli::RunProbe(probeSource);
  if (disks->parsed()) return cli::RunDisks();
  return cli::kExitUsage;
}
