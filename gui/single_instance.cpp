// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include "platform/folders.h"

namespace gui {

CSingleInstance::CSingleInstance(QString lockFolder, QString serverName, QObject* parent)
    : QObject(parent), m_serverName(std::move(serverName)) {
  if (lockFolder.isEmpty()) {
    lockFolder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (lockFolder.isEmpty() || !QDir(lockFolder).exists()) {
      lockFolder = QString::fromStdString(platform::DataFolder());
      QDir().mkpath(lockFolder);
    }
  }
  m_lockPath = QDir(lockFolder).filePath(QStringLiteral("quellmoor-gui.lock"));
  // The socket lies beside the lock, in the user's own folder (not in the shared /tmp).
  if (m_serverName.isEmpty()) m_serverName = QDir(lockFolder).filePath(QStringLiteral("quellmoor-gui.socket"));
}

CSingleInstance::~CSingleInstance() = default;

CSingleInstance::Outcome CSingleInstance::Claim() {
  if (m_lock.Lock(m_lockPath.toStdString(), platform::FileLock::Kind::kExclusive, platform::FileLock::Mode::kTryOnly) ==
      platform::kStatusOk) {
    return Outcome::kFirst;
  }
  QLocalSocket socket;
  socket.connectToServer(m_serverName);
  if (!socket.waitForConnected(1500)) return Outcome::kOtherNoWindow;
  socket.write("raise\n");
  socket.waitForBytesWritten(1500);
  socket.disconnectFromServer();
  return Outcome::kRaisedOther;
}

bool CSingleInstance::Listen() {
  if (!m_lock.IsHeld()) return false;
  m_server = new QLocalServer(this);
  m_server->setSocketOptions(QLocalServer::UserAccessOption);
  // We hold the lock: a server of that name is a leftover of a crash.
  QLocalServer::removeServer(m_serverName);
  if (!m_server->listen(m_serverName)) return false;
  connect(m_server, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      emit Raise();
    }
  });
  return true;
}

}  // namespace gui
