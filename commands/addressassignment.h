#pragma once

#include <QObject>
#include <QString>

class OperatorDialogs;
class ReaderLink;
class SerialLine;

// Gives the reader that answers at address 0 the address the operator types.
class AddressAssignment : public QObject
{
    Q_OBJECT
public:
    AddressAssignment(ReaderLink &link, SerialLine &line, OperatorDialogs &dialogs,
                      QObject *parent = nullptr);

    void run();

    static QString notOnlineText() { return QStringLiteral("Reader Address 0 is not online"); }
    static QString promptText() { return QStringLiteral("Enter New Address"); }
    static QString invalidText() { return QStringLiteral("Invalid address"); }
    static QString takenText() { return QStringLiteral("Address already being used"); }
    static QString changedText()
    {
        return QStringLiteral(
            "Reader address has been changed - rerun \"Show Addresses\" to verify the change");
    }

signals:
    void statusChanged(const QString &text);

private:
    void stopOnLineDown();

    ReaderLink &m_link;
    SerialLine &m_line;
    OperatorDialogs &m_dialogs;
};
