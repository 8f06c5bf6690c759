#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QLocalSocket>
#include <QPointer>
#include <QtEndian>
#include <windows.h>

#include "platform/transport/wire.h"

namespace Ramdeck {

namespace {

constexpr qint64 kHeaderBytes = 8;
// A command line is at most 32767 characters on Windows; more than this is
// no message of ours.
constexpr uint32_t kMaxPayload = 1 << 20;

bool AuthenticationId(LUID *id) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_STATISTICS statistics{};
  DWORD length = 0;
  BOOL ok = GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length);
  CloseHandle(token);
  if (!ok) return false;
  *id = statistics.AuthenticationId;
  return true;
}

// The whole of `bytes` arrived, or the connection ended first.
bool ReadExactly(QLocalSocket &socket, char *bytes, qint64 length, int timeoutMs) {
  qint64 done = 0;
  while (done < length) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs)) return false;
    qint64 n = socket.read(bytes + done, length - done);
    if (n < 0) return false;
    done += n;
  }
  return true;
}

}  // namespace

QString SingleInstanceChannelName() {
  LUID id;
  if (!AuthenticationId(&id)) return {};
  // Systems of different roots are different machines: their sessions may
  // have the same ids.
  QByteArray root = QCryptographicHash::hash(QByteArray::fromStdString(bw::wire::DefaultRoot()),
                                             QCryptographicHash::Sha256)
                        .toHex()
                        .left(16);
  return QString::asprintf("BWCorvane-%s-%08X-%08X", root.constData(),
                           static_cast<unsigned>(id.HighPart), static_cast<unsigned>(id.LowPart));
}

QByteArray CommandLinePayload(const QString &commandLine) {
  QByteArray payload;
  for (QChar c : commandLine) {
    char16_t unit = qToLittleEndian(c.unicode());
    payload.append(reinterpret_cast<const char *>(&unit), 2);
  }
  payload.append(2, '\0');
  return payload;
}

bool SendToRunningManager(uint32_t dataId, const QByteArray &payload, int timeoutMs,
                          const QString &channel) {
  if (channel.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(channel);
  if (!socket.waitForConnected(timeoutMs)) return false;
  char header[kHeaderBytes];
  qToLittleEndian<quint32>(dataId, header);
  qToLittleEndian<quint32>(static_cast<quint32>(payload.size()), header + 4);
  socket.write(header, kHeaderBytes);
  socket.write(payload);
  while (socket.bytesToWrite() > 0)
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
  char taken = 0;
  return ReadExactly(socket, &taken, 1, timeoutMs) && taken == 1;
}

TSingleInstanceServer::TSingleInstanceServer(QObject *parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &TSingleInstanceServer::Accept);
}

bool TSingleInstanceServer::Listen(const QString &channel) {
  if (channel.isEmpty()) return false;
  // Someone answering there is a running manager. A socket nobody answers
  // on was left by one that ended without removing it. (A listen with
  // access options would also replace a live manager's socket, so the
  // question comes first.)
  QLocalSocket probe;
  probe.connectToServer(channel);
  if (probe.waitForConnected(1000)) return false;
  QLocalServer::removeServer(channel);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  return server_.listen(channel);
}

void TSingleInstanceServer::Accept() {
  while (QLocalSocket *socket = server_.nextPendingConnection()) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
      buffer->append(socket->readAll());
      if (buffer->size() < kHeaderBytes) return;
      quint32 id = qFromLittleEndian<quint32>(buffer->constData());
      quint32 length = qFromLittleEndian<quint32>(buffer->constData() + 4);
      // An odd count, one too large, or a command line without its zero is
      // nothing a manager sends.
      bool sane = length <= kMaxPayload && length % 2 == 0;
      if (sane && buffer->size() < kHeaderBytes + qint64(length)) return;
      QByteArray payload = buffer->mid(kHeaderBytes, length);
      buffer->remove(0, kHeaderBytes + length);
      QString text;
      if (id == kCopyDataCommandLine) {
        sane = sane && length >= 2 && payload.endsWith(QByteArray(2, '\0'));
        // The text ends at its first zero, as a receiver of WM_COPYDATA reads it.
        for (qsizetype i = 0; sane && i + 2 <= payload.size(); i += 2) {
          quint16 unit = qFromLittleEndian<quint16>(payload.constData() + i);
          if (unit == 0) break;
          text += QChar(unit);
        }
      } else {
        sane = sane && id == kCopyDataActivate;
      }
      if (!sane) {
        socket->abort();
        return;
      }
      QPointer<QLocalSocket> alive(socket);
      emit MessageReceived(id, text);
      if (alive) {
        alive->write("\1", 1);
        alive->flush();
      }
    });
  }
}

}  // namespace Ramdeck
