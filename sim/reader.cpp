#include "sim/reader.h"

#include "sim/frameparser.h"

#include <QRegularExpression>
#include <QStringList>

namespace sim {

namespace {

struct FaultName
{
    Fault fault;
    const char *name;
};

constexpr FaultName FaultNames[] = {
    {Fault::None, "none"},
    {Fault::Silent, "silent"},
    {Fault::OneByte, "onebyte"},
    {Fault::Late, "late"},
    {Fault::WrongFirstByte, "wrongfirst"},
    {Fault::Garbled, "garbled"},
};

} // namespace

std::optional<Reply> replyTo(const Reader &reader)
{
    switch (reader.fault) {
    case Fault::None:
        return Reply{reader.reply, reader.delay};
    case Fault::Silent:
        return std::nullopt;
    case Fault::OneByte:
        return Reply{QByteArray(1, char(wire::Ack)), reader.delay};
    case Fault::Late:
        return Reply{reader.reply, LateReplyDelay};
    case Fault::WrongFirstByte: {
        const char bytes[] = {char(wire::Nak), char(wire::Etx)};
        return Reply{QByteArray(bytes, 2), reader.delay};
    }
    case Fault::Garbled: {
        const char bytes[] = {0x13, 0x55, char(0xAA), 0x41};
        return Reply{QByteArray(bytes, 4), reader.delay};
    }
    }
    return std::nullopt;
}

bool hearsAt(const Reader &reader, int lineBaud)
{
    return reader.baud == 0 || reader.baud == lineBaud;
}

std::optional<Fault> faultFromName(const QString &name)
{
    for (const FaultName &entry : FaultNames) {
        if (name == QLatin1String(entry.name))
            return entry.fault;
    }
    return std::nullopt;
}

std::optional<Reader> parseReaderOption(const QString &text, QString *error)
{
    auto fail = [error](const QString &message) -> std::optional<Reader> {
        if (error)
            *error = message;
        return std::nullopt;
    };

    const QStringList parts = text.split(QLatin1Char(':'));
    bool ok = false;
    const int address = parts[0].toInt(&ok);
    if (!ok || address < 0 || address > wire::MaxAddress)
        return fail(QStringLiteral("reader address must be 0..%1, got \"%2\"")
                        .arg(wire::MaxAddress)
                        .arg(parts[0]));

    Reader reader;
    reader.address = address;
    bool faultGiven = false;
    for (const QString &setting : parts.mid(1)) {
        const QString value = setting.section(QLatin1Char('='), 1);
        if (setting.startsWith(QLatin1String("delay="))) {
            const int ms = value.toInt(&ok);
            if (!ok || ms < 0 || ms > 10'000)
                return fail(QStringLiteral("delay must be 0..10000 ms, got \"%1\"").arg(value));
            reader.delay = std::chrono::milliseconds(ms);
        } else if (setting.startsWith(QLatin1String("baud="))) {
            reader.baud = value.toInt(&ok);
            if (reader.baud != 9600 && reader.baud != 19200)
                return fail(QStringLiteral("baud must be 9600 or 19200, got \"%1\"").arg(value));
        } else if (setting.startsWith(QLatin1String("reply="))) {
            static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2}){1,64}$"));
            if (!hex.match(value).hasMatch())
                return fail(
                    QStringLiteral("reply must be 1 to 64 bytes in hex, got \"%1\"").arg(value));
            reader.reply = QByteArray::fromHex(value.toLatin1());
        } else if (setting == QLatin1String("keeps")) {
            reader.takesNewAddress = false;
        } else if (const std::optional<Fault> fault = faultFromName(setting);
                   fault && !faultGiven) {
            reader.fault = *fault;
            faultGiven = true;
        } else {
            return fail(QStringLiteral("unknown setting \"%1\" (one fault of none, silent, "
                                       "onebyte, late, wrongfirst, garbled; delay=MS; "
                                       "baud=9600|19200; reply=HEX; keeps)")
                            .arg(setting));
        }
    }
    return reader;
}

} // namespace sim
