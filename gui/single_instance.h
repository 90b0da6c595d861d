// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "platform/file_lock.h"

class QLocalServer;

namespace gui {

// Makes sure one wizard runs per user: an exclusive lock on a file in
// $XDG_RUNTIME_DIR (else the data folder), held for the process's life, and
// a local server the next start knocks at to raise the running window.
// Window thread only.
class CSingleInstance final : public QObject {
  Q_OBJECT

 public:
  enum class Outcome {
    kFirst,          // this process is the one: Listen, then show the window
    kRaisedOther,    // another one runs and was asked to show its window
    kOtherNoWindow,  // another one runs but could not be reached: say "Quellmoor is running."
  };
  // lockFolder defaults to $XDG_RUNTIME_DIR (else the data folder), the
  // server to a socket beside the lock (tests pass theirs).
  explicit CSingleInstance(QString lockFolder = {}, QString serverName = {}, QObject* parent = nullptr);
  ~CSingleInstance() override;

  Outcome Claim();
  // Starts the server (first instance only); Raise is emitted at each knock.
  bool Listen();

 signals:
  void Raise();

 private:
  QString m_lockPath;
  QString m_serverName;
  platform::FileLock m_lock;
  QLocalServer* m_server = nullptr;
};

}  // namespace gui
