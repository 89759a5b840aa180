#pragma once

#include <QCoreApplication>
#include <QString>

#include <optional>

// Where a reader line is: a serial device of this computer, or a serial server on the
// network. Named as pyserial names them, so a URL that works there works here:
//   /dev/ttyUSB0, COM3                 a device of this computer
//   rfc2217://HOST:PORT               telnet with the COM-PORT option (RFC 2217)
//   socket://HOST:PORT                raw TCP, bytes as they are; the speed is the server's
// HOST is a name, an IPv4 address or an IPv6 address in brackets ([::1]).
struct LineAddress
{
    Q_DECLARE_TR_FUNCTIONS(LineAddress)

public:
    enum class Kind { Device, Rfc2217, RawSocket };

    Kind kind = Kind::Device;
    QString device; // for Device: the path as given
    QString host;   // for the network kinds: without brackets
    quint16 port = 0;

    bool isNetwork() const { return kind != Kind::Device; }
    // "rfc2217", "socket" or "device": for traces and messages.
    QString kindName() const;
    // "127.0.0.1:2217", "[::1]:2217"; the device path for a Device.
    QString where() const;

    // Nothing and a plain-words `error` for a text that names no line: empty, an unknown
    // scheme, a missing or malformed host or port.
    static std::optional<LineAddress> parse(const QString &text, QString *error = nullptr);
};
