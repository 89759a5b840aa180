#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace sim {

// How a reader misbehaves when polled.
//   None: answers `reply` after `delay`; Silent: never answers;
//   OneByte: answers a lone 0x06 after `delay`; Late: answers `reply` 250 ms after the poll;
//   WrongFirstByte: answers 0x15 0x03 after `delay`;
//   Garbled: answers 0x13 0x55 0xAA 0x41 after `delay`, what the program makes of two
//   readers set to one address answering over each other.
enum class Fault { None, Silent, OneByte, Late, WrongFirstByte, Garbled };

struct Reader
{
    int address = 0;
    Fault fault = Fault::None;
    std::chrono::milliseconds delay{3};
    QByteArray reply = QByteArray("\x02OK\x03", 4);
    // The speed the reader is set to: at any other it hears only garbage and stays quiet.
    // 0 hears every speed.
    int baud = 0;
    // False for a reader that ignores the set-address frame and stays where it is.
    bool takesNewAddress = true;
};

// What a reader puts on the line in answer to a poll, and how long after the poll.
struct Reply
{
    QByteArray bytes;
    std::chrono::milliseconds after{0};
};

constexpr std::chrono::milliseconds LateReplyDelay{250};

// Nothing for a silent reader.
std::optional<Reply> replyTo(const Reader &reader);

std::optional<Fault> faultFromName(const QString &name);

// True when the reader understands frames sent at `lineBaud`.
bool hearsAt(const Reader &reader, int lineBaud);

// Parses "ADDR[:setting]..." as given on the command line, a setting being a fault name,
// delay=MS, baud=9600|19200, reply=HEX or keeps (the reader ignores a new address); e.g.
// "5", "9:wrongfirst", "7:delay=60:baud=19200", "8:reply=0603", "0:keeps".
std::optional<Reader> parseReaderOption(const QString &text, QString *error = nullptr);

} // namespace sim
