// SPDX-License-Identifier: GPL-3.0-or-later
// quellmoor-gui: the desktop wizard. Start-up in this order: the crash-dump
// writer, the single instance, the resource folder, the data folder's
// owner, the texts, the window; at exit the preview's players end and its
// temporary files go.
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/language_config.h"
#include "app/startup.h"
#include "app/text_table.h"
#include "gui/icons.h"
#include "gui/main_wnd.h"
#include "gui/single_instance.h"
#include "platform/crash_handler.h"
#include "platform/folders.h"
#include "platform/termination_notice.h"

namespace {

void PlainMessage(const QString& caption, const QString& text) {
  QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok);
  box.setMinimumSize(400, 160);
  box.exec();
}

// "--grant-disk-read": the privileged part runs through polkit, never the
// window: pkexec runs the helper that lets this user read the disks.
void GrantDiskRead() {
  const QString helper = QString::fromStdString(platform::ProgramFolder()) + QStringLiteral("quellmoor-grant-read");
  const QString installed = QStringLiteral(QUELLMOOR_LIBEXEC_DIR "/quellmoor-grant-read");
  const QString program = QFile::exists(installed) ? installed : helper;
  const int code = QProcess::execute(QStringLiteral("pkexec"), {program});
  if (code != 0) {
    PlainMessage(QStringLiteral("Quellmoor"),
                 QStringLiteral("The disks could not be opened for reading (administrator rights were not given). "
                                "Image files can still be opened."));
  }
}

}  // namespace

int main(int argc, char** argv) {
  // 1. Crash dumps, before anything else can fail.
  if (platform::InstallCrashHandler(platform::DataFolder() + "D-Error/") != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor-gui: crash dumps cannot be written\n");
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quellmoor"));
  QApplication::setWindowIcon(gui::AppIcon());

  // The window never runs as root: only the disk reading gets rights.
  if (::geteuid() == 0) {
    PlainMessage(QStringLiteral("Quellmoor"),
                 QStringLiteral("Quellmoor's window does not run as root. Start it as yourself; to read disks, "
                                "start \"Quellmoor (read disks as administrator)\", which asks for the rights "
                                "it needs through polkit."));
    return 0;
  }

  // 2. One instance: a second start raises the first window.
  gui::CSingleInstance instance;
  switch (instance.Claim()) {
    case gui::CSingleInstance::Outcome::kFirst: break;
    case gui::CSingleInstance::Outcome::kRaisedOther: return 0;
    case gui::CSingleInstance::Outcome::kOtherNoWindow:
      PlainMessage(QStringLiteral("Quellmoor"), QString::fromUtf8(app::kAlreadyRunningText));
      return 0;
  }

  // 3. The program's own resources take the place of a component registration.
  if (app::FindResourceFolder(platform::ProgramDataFolders()).empty()) {
    PlainMessage(QString::fromUtf8(app::kResourcesMissingCaption), QString::fromUtf8(app::kResourcesMissingText));
    return 0;
  }

  // 4. A data folder left to root by an earlier sudo run.
  const std::string data = platform::DataFolder();
  const std::string foreign = app::ForeignOwnedDataPath(data, ::getuid());
  if (!foreign.empty()) {
    PlainMessage(QStringLiteral("Quellmoor"), QString::fromStdString(app::ForeignOwnedDataText(data, foreign)));
    return 0;
  }

  for (int i = 1; i < argc; ++i) {
    if (QString::fromLocal8Bit(argv[i]) == QStringLiteral("--grant-disk-read")) GrantDiskRead();
  }

  // 5. Texts and the window.
  app::CLanguageConfig languages;
  languages.Load();
  app::CTextTable& texts = app::CTextTable::Instance();
  if (languages.LoadTexts(texts) != platform::kStatusOk) {
    std::fprintf(stderr, "quellmoor-gui: the language file of %s is missing; the window shows its own texts\n",
                 languages.CurrentLanguage().c_str());
  }

  int code = 0;
  {
    gui::CMainWnd window(texts, languages);
    QObject::connect(&instance, &gui::CSingleInstance::Raise, &window, [&window] {
      window.showNormal();
      window.raise();
      window.activateWindow();
    });
    instance.Listen();
    // A logout or a kill asks the program to end: it ends in order.
    std::unique_ptr<QSocketNotifier> termination;
    if (const int fd = platform::InstallTerminationNotice(); fd >= 0) {
      termination = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
      QObject::connect(termination.get(), &QSocketNotifier::activated, &window, [&window, fd] {
        const int signal = platform::TakeTerminationNotice(fd);
        if (signal == 0) return;
        if (!window.IsBusy()) {
          window.close();  // the last window closed ends the loop; the clean-up below runs
          return;
        }
        // A job is running and cannot be waited for: players and preview files go, then the process.
        window.Shutdown();
        (void)app::DeleteLeftoverPreviewVideo();
        std::_Exit(128 + signal);
      });
    }
    window.show();
    code = application.exec();
    // 6. At exit: players end, preview files go.
    window.Shutdown();
  }
  if (!app::DeleteLeftoverPreviewVideo()) std::fprintf(stderr, "quellmoor-gui: tmp.avi could not be deleted\n");
  return code;
}
