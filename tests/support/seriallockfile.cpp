#include "tests/support/seriallockfile.h"

#include <QDir>
#include <QFile>

SerialLockFile::SerialLockFile(const QString &device)
{
    // Qt names the port after the device path without "/dev/", with '/' made '_'.
    QString port = device;
    if (port.startsWith(QLatin1String("/dev/")))
        port.remove(0, 5);
    port.replace(QLatin1Char('/'), QLatin1Char('_'));
    m_fileName = QStringLiteral("LCK..") + port;
}

QStringList SerialLockFile::directories()
{
    // The places QSerialPort tries in turn, plus the directory /var/lock often links to.
    return {QStringLiteral("/var/lock"),       QStringLiteral("/run/lock"),
            QStringLiteral("/etc/locks"),      QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"), QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/var/tmp"),        QDir::tempPath()};
}

QString SerialLockFile::find() const
{
    for (const QString &directory : directories()) {
        QString path = QDir(directory).filePath(m_fileName);
        if (QFile::exists(path))
            return path;
    }
    return QString();
}

qint64 SerialLockFile::ownerOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readLine().trimmed().toLongLong();
}
