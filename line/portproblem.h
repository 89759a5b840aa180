#pragma once

#include <QCoreApplication>
#include <QString>

// Why a port could not be opened, or why it went down while open, in words an operator
// understands. The kind is decided from what the device path is, not from the wording
// of an error, so it stays right whatever language the system speaks.
struct PortProblem
{
    Q_GADGET
    Q_DECLARE_TR_FUNCTIONS(PortProblem)

public:
    enum class Kind {
        None,
        DoesNotExist,
        InUse,
        NoPermission,
        NotSerialDevice,
        NoHardware,
        Unplugged,
        // A serial server on the network.
        NotListening,
        UnknownHost,
        NoAnswer,
        SettingsRefused,
        ConnectionLost,
        Stalled, // open, but the server no longer answers
        Other
    };
    Q_ENUM(Kind)

    Kind kind = Kind::None;
    QString device; // the device path as it was given
    // The system's own words (strerror, QSerialPort::errorString) or, where no call
    // failed, what the path turned out to be. May be empty.
    QString systemReason;

    bool isProblem() const { return kind != Kind::None; }

    // A few plain words naming `shownDevice`, which the window may shorten to fit a
    // status line; the words around it are kept short for that reason. Empty for None.
    QString summary(const QString &shownDevice) const;
    QString summary() const { return summary(device); }
    // The status line's words for the port numbered `port`: "Com 1: ... does not exist".
    QString statusText(int port) const;
    // The whole story for a tooltip or a message box: the summary with the full path,
    // the system's reason, and what to do where the operator can fix it.
    QString details() const;
};
