#pragma once

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <optional>

// Speed and framing of the line, parsed once from text such as "9600,N,8,1" and handed
// on typed from there.
struct LineSettings
{
    qint32 baud = 9600;
    char parity = 'N'; // 'N', 'E' or 'O'
    int dataBits = 8;
    int stopBits = 1;

    // The readers' own framing, 8N1, at `baud`.
    static LineSettings at(qint32 baud);
    static std::optional<LineSettings> parse(const QString &text);
    // As parse() takes it: "9600,N,8,1".
    QString text() const;
    // "8 data bits, parity none, 1 stop bit", for the trace.
    QString framingText() const;
    // How long a UART takes to send `bytes` characters at these settings: a start bit,
    // the data bits, the parity bit if any and the stop bits each.
    std::chrono::microseconds timeOnTheWire(qint64 bytes) const;
};
