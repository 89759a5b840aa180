#pragma once

#include <QObject>
#include <QString>

class OperatorDialogs;
class ReaderLink;

// Gives the reader that answers at address 0 the address the operator types.
class AddressAssignment : public QObject
{
    Q_OBJECT
public:
    // How it ended; the operator has been told already, this is for an exit status.
    enum class Outcome { Changed, NotOnline, Invalid, Taken, Cancelled, Stopped };

    AddressAssignment(ReaderLink &link, OperatorDialogs &dialogs, QObject *parent = nullptr);

    Outcome run();

    static QString notOnlineText() { return tr("Reader Address 0 is not online"); }
    static QString promptText() { return tr("Enter New Address"); }
    static QString invalidText() { return tr("Invalid address"); }
    static QString takenText() { return tr("Address already being used"); }
    static QString changedText()
    {
        return tr("Reader address has been changed - rerun \"Show Addresses\" to verify the "
                  "change");
    }
    // The same from a terminal, where the scan to run is a command line.
    static QString changedText(int newAddress);

signals:
    void statusChanged(const QString &text);
    // The line went down: nothing more is sent, and this says why.
    void stopped(const QString &text);

private:
    Outcome stopOnLineDown();

    ReaderLink &m_link;
    OperatorDialogs &m_dialogs;
};
