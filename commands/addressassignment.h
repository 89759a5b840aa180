#pragma once

#include "bus/stopreason.h"

#include <QObject>
#include <QString>

class OperatorDialogs;
class ReaderLink;

// Gives the reader that answers at address 0 the address the operator types.
class AddressAssignment : public QObject
{
    Q_OBJECT
public:
    // How it ended, for an exit status. The command's own refusals the operator has been
    // told already; a change and a stop come by their signals, for the front end to word.
    enum class Outcome { Changed, NotOnline, Invalid, Taken, Cancelled, Stopped };

    AddressAssignment(ReaderLink &link, OperatorDialogs &dialogs, QObject *parent = nullptr);

    Outcome run();

    static QString notOnlineText() { return tr("Reader Address 0 is not online"); }
    static QString promptText() { return tr("Enter New Address"); }
    static QString invalidText() { return tr("Invalid address"); }
    static QString takenText() { return tr("Address already being used"); }

signals:
    void statusChanged(const QString &text);
    // The set-address frame went out: the reader at 0 now answers at `newAddress`.
    void changed(int newAddress);
    // The line went down, or another master talks on it: nothing more is sent, the new
    // address above all; `why` as ReaderLink::stopReason().
    void stopped(const StopReason &why);

private:
    Outcome stop();

    ReaderLink &m_link;
    OperatorDialogs &m_dialogs;
};
