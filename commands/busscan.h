#pragma once

#include <QObject>
#include <QString>

class ReaderLink;

// Polls every address from 0 to 126 once and lists the readers that answer.
class BusScan : public QObject
{
    Q_OBJECT
public:
    explicit BusScan(ReaderLink &link, QObject *parent = nullptr);

    void run();

    static QString listEntry(int address);
    static QString progressText(int address);
    static QString resultText(int readersFound);

signals:
    void listCleared();
    void readerListed(const QString &entry);
    // The window shows it at once, so the operator sees which address is polled.
    void statusChanged(const QString &text);
    // The line went down: the scan ends early and says where and why.
    void stopped(const QString &text);

private:
    void stopAt(int address);

    ReaderLink &m_link;
};
