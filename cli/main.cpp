// SPDX-License-Identifier: GPL-3.0-or-later
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "cli/cli_texts.h"
#include "cli/cli_view.h"
#include "cli/commands.h"
#include "cli/verify_command.h"

namespace {

// --lang must be known before the help texts are made.
std::string LanguageArgument(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--lang" && i + 1 < argc) return argv[i + 1];
    if (arg.rfind("--lang=", 0) == 0) return arg.substr(7);
  }
  return {};
}

void AddSourceOptions(CLI::App* command, cli::ScanOptions& options) {
  command->add_option("--mode", options.mode, cli::Tr("OptMode"))->check(CLI::IsMember({"fast", "deep"}));
  command->add_option("SOURCE", options.source, cli::Tr("OptSource"))->required();
}

void AddTypes(CLI::App* command, cli::ScanOptions& options) {
  command->add_option("--types", options.types, cli::Tr("OptTypes"))->delimiter(',');
}

}  // namespace

int main(int argc, char** argv) {
  std::string problem;
  const std::string language = LanguageArgument(argc, argv);
  const bool haveTexts = cli::LoadLanguage(language, &problem);
  if (!problem.empty()) std::fprintf(stderr, "quellmoor: %s\n", problem.c_str());
  if (!haveTexts) return cli::kExitFailed;

  CLI::App app{cli::Tr("HelpApp")};
  app.footer(cli::Tr("HelpFooter"));
  app.set_version_flag("--version", std::string("quellmoor ") + QUELLMOOR_VERSION);
  app.require_subcommand(1);
  std::string ignoredLanguage;
  app.add_option("--lang", ignoredLanguage, cli::Tr("OptLang"));

  bool disksJson = false;
  auto* disks = app.add_subcommand("disks", cli::Tr("HelpDisks"));
  disks->add_flag("--json", disksJson, cli::Tr("OptJson"));
  disks->footer(cli::Tr("ExampleDisks"));

  std::string probeSource;
  auto* probe = app.add_subcommand("probe", cli::Tr("HelpProbe"));
  probe->add_option("SOURCE", probeSource, cli::Tr("OptSource"))->required();
  probe->footer(cli::Tr("ExampleProbe"));

  cli::ScanOptions scanOptions;
  auto* scan = app.add_subcommand("scan", cli::Tr("HelpScan"));
  AddSourceOptions(scan, scanOptions);
  AddTypes(scan, scanOptions);
  scan->add_flag("--json", scanOptions.json, cli::Tr("OptJson"));
  scan->add_flag("--reuse", scanOptions.reuse, cli::Tr("OptReuse"));
  scan->add_option("--resume", scanOptions.resume, cli::Tr("OptResume"))->check(CLI::IsMember({"yes", "no"}));
  scan->footer(cli::Tr("ExampleScan"));

  cli::ScanOptions listOptions;
  auto* ls = app.add_subcommand("ls", cli::Tr("HelpLs"));
  AddSourceOptions(ls, listOptions);
  ls->add_option("FOLDER", listOptions.folder, cli::Tr("OptFolder"));
  ls->add_flag("--json", listOptions.json, cli::Tr("OptJson"));
  ls->footer(cli::Tr("ExampleLs"));

  cli::ScanOptions recoverOptions;
  auto* recover = app.add_subcommand("recover", cli::Tr("HelpRecover"));
  AddSourceOptions(recover, recoverOptions);
  AddTypes(recover, recoverOptions);
  recover->add_option("--out", recoverOptions.outputFolder, cli::Tr("OptOut"))->required();
  recover->add_option("--select", recoverOptions.select, cli::Tr("OptSelect"));
  recover->add_flag("--tree", recoverOptions.tree, cli::Tr("OptTree"));
  recover->add_flag("--reuse", recoverOptions.reuse, cli::Tr("OptReuse"));
  recover->add_option("--resume", recoverOptions.resume, cli::Tr("OptResume"))->check(CLI::IsMember({"yes", "no"}));
  recover->footer(cli::Tr("ExampleRecover"));

  cli::ImageOptions imageOptions;
  auto* image = app.add_subcommand("image", cli::Tr("HelpImage"));
  image->add_option("SOURCE", imageOptions.source, cli::Tr("OptImageSource"))->required();
  image->add_option("--out", imageOptions.target, cli::Tr("OptImageOut"))->required();
  image->add_flag("--keep-going", imageOptions.keepGoing, cli::Tr("OptKeepGoing"));
  image->add_flag("--force", imageOptions.force, cli::Tr("OptForce"));
  image->footer(cli::Tr("ExampleImage"));

  cli::VerifyCommand verify(app);
  cli::PreviewOptions previewOptions;
  auto* preview = app.add_subcommand("preview", cli::Tr("HelpPreview"));
  preview->add_option("--mode", previewOptions.mode, cli::Tr("OptMode"))->check(CLI::IsMember({"fast", "deep"}));
  preview->add_option("SOURCE", previewOptions.source, cli::Tr("OptSource"))->required();
  preview->add_option("ITEM", previewOptions.item, cli::Tr("OptItem"))->required();
  preview->add_option("--out", previewOptions.outputFolder, cli::Tr("OptPreviewOut"))->required();
  preview->footer(cli::Tr("ExamplePreview"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? cli::kExitOk : cli::kExitUsage;
  }
  if (disks->parsed()) return cli::RunDisks(disksJson);
  if (probe->parsed()) return cli::RunProbe(probeSource);
  if (scan->parsed()) return cli::RunScan(scanOptions);
  if (ls->parsed()) return cli::RunList(listOptions);
  if (recover->parsed()) return cli::RunRecover(recoverOptions);
  if (image->parsed()) return cli::RunImage(imageOptions);
  if (verify.Parsed()) return verify.Run();
  if (preview->parsed()) return cli::RunPreview(previewOptions);
  return cli::kExitUsage;
}
