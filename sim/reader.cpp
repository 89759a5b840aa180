#include "sim/reader.h"

#include "sim/frameparser.h"

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
    }
    return std::nullopt;
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
    if (parts.size() > 2)
        return fail(QStringLiteral("expected ADDR[:fault], got \"%1\"").arg(text));

    bool ok = false;
    const int address = parts[0].toInt(&ok);
    if (!ok || address < 0 || address > wire::MaxAddress)
        return fail(QStringLiteral("reader address must be 0..%1, got \"%2\"")
                        .arg(wire::MaxAddress)
                        .arg(parts[0]));

    Reader reader;
    reader.address = address;
    if (parts.size() == 2) {
        const std::optional<Fault> fault = faultFromName(parts[1]);
        if (!fault)
            return fail(QStringLiteral("unknown fault \"%1\" (none, silent, onebyte, late, "
                                       "wrongfirst)")
                            .arg(parts[1]));
        reader.fault = *fault;
    }
    return reader;
}

} // namespace sim
