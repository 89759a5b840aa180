#pragma once

#include "bus/frames.h"

#include <QObject>
#include <QString>

class ReaderLink;

// Polls each address of a range once, in order (every address from 0 to 126 unless told
// otherwise), and lists the readers that answer.
class BusScan : public QObject
{
    Q_OBJECT
public:
    explicit BusScan(ReaderLink &link, QObject *parent = nullptr);

    // Both ends lie in 0..126, first <= last.
    void run(int first = frames::FirstAddress, int last = frames::LastAddress);

    static QString listEntry(int address);
    static QString progressText(int address);
    static QString resultText(int readersFound);

signals:
    void listCleared();
    // After each of the scan's own polls that left bytes waiting when its window ended,
    // before readerListed() and addressChecked() for that address; firstByteNs as
    // ReaderLink::lastFirstByteNs().
    void replyReceived(int address, qint64 firstByteNs, qint64 bytesWaiting);
    void readerListed(const QString &entry, int address);
    // Every address whose poll ended, listed or not, after readerListed() for it.
    void addressChecked(int address, bool listed);
    // The window shows it at once, so the operator sees which address is polled.
    void statusChanged(const QString &text);
    // The line went down: the scan ends early and says where and why, in one text and
    // in its parts.
    void stopped(const QString &text, int address, const QString &reason);

private:
    void stopAt(int address);

    ReaderLink &m_link;
};
