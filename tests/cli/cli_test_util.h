// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include <string>

#include "tests/support/test_support.h"

namespace cli_testing {

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the built quellmoor with its data and config folders below home and
// no disk table override; env is put before the command ("A=b C=d").
inline CliResult RunCli(const std::string& home, const std::string& args, const std::string& env = "") {
  CliResult r;
  r.status = testing_support::RunCommand("QUELLMOOR_DISKS= XDG_DATA_HOME='" + home + "data' XDG_CONFIG_HOME='" + home +
                                             "config' " + env + " '" + testing_support::CliPath() + "' " + args +
                                             " </dev/null",
                                         &r.out, &r.err);
  return r;
}

}  // namespace cli_testing
