#pragma once

#include <QString>
#include <QStringList>

// The lock file QSerialPort keeps while it holds a device open ("LCK..pts_3" for
// /dev/pts/3), looked for in every directory it may choose for it.
class SerialLockFile
{
public:
    explicit SerialLockFile(const QString &device);

    QString fileName() const { return m_fileName; }
    // The lock file as it stands now; empty when there is none.
    QString find() const;
    // The pid written on the lock file's first line, 0 when there is no such file.
    static qint64 ownerOf(const QString &path);

    static QStringList directories();

private:
    QString m_fileName;
};
