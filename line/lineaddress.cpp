#include "line/lineaddress.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QStringList>

namespace {

const QLatin1String Rfc2217Scheme("rfc2217://");
const QLatin1String SocketScheme("socket://");

// Options pyserial takes after a '?'. None of them changes what crosses the line, so a
// URL copied from a pyserial tool works here unchanged.
bool isKnownOption(const QString &option)
{
    const QString name = option.section(QLatin1Char('='), 0, 0);
    static const QStringList known{QStringLiteral("logging"), QStringLiteral("ign_set_control"),
                                   QStringLiteral("poll_modem"), QStringLiteral("timeout")};
    return known.contains(name);
}

// Letters, digits, '-', '_' and '.': what a host name may hold.
bool isHostName(const QString &host)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,252}$"));
    return name.match(host).hasMatch();
}

// Takes "HOST:PORT" or "[IPV6]:PORT" into `line`; the error otherwise.
QString takeHostAndPort(const QString &rest, const QString &text, const QString &form,
                        LineAddress &line)
{
    QString host;
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || rest.mid(close + 1, 1) != QLatin1String(":"))
            return LineAddress::tr("%1 is not of the form %2").arg(text, form);
        host = rest.mid(1, close - 1);
        portText = rest.mid(close + 2);
        QHostAddress literal;
        if (!literal.setAddress(host) || literal.protocol() != QAbstractSocket::IPv6Protocol)
            return LineAddress::tr("%1 is not an IPv6 address in %2").arg(host, text);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return LineAddress::tr("%1 gives no port: use %2").arg(text, form);
        host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return LineAddress::tr("an IPv6 address goes in brackets: %1").arg(form);
        if (!isHostName(host))
            return LineAddress::tr("%1 gives no valid host: use %2").arg(text, form);
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const uint port = digits.match(portText).hasMatch() ? portText.toUInt() : 0;
    if (port < 1 || port > 65535)
        return LineAddress::tr("%1 gives no valid port (1 to 65535): use %2").arg(text, form);
    line.host = host;
    line.port = static_cast<quint16>(port);
    return QString();
}

} // namespace

QString LineAddress::kindName() const
{
    switch (kind) {
    case Kind::Rfc2217:
        return QStringLiteral("rfc2217");
    case Kind::RawSocket:
        return QStringLiteral("socket");
    case Kind::Device:
        break;
    }
    return QStringLiteral("device");
}

QString LineAddress::where() const
{
    if (!isNetwork())
        return device;
    // Concatenated: an IPv6 zone may hold "%1", which a later arg() would fill.
    QString shown = host;
    if (host.contains(QLatin1Char(':')))
        shown = QLatin1Char('[') + host + QLatin1Char(']');
    return shown + QLatin1Char(':') + QString::number(port);
}

std::optional<LineAddress> LineAddress::parse(const QString &text, QString *error)
{
    const auto refuse = [error](const QString &why) -> std::optional<LineAddress> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (text.trimmed().isEmpty())
        return refuse(tr("no device given"));

    LineAddress line;
    QString rest;
    if (text.startsWith(Rfc2217Scheme, Qt::CaseInsensitive)) {
        line.kind = Kind::Rfc2217;
        rest = text.mid(Rfc2217Scheme.size());
    } else if (text.startsWith(SocketScheme, Qt::CaseInsensitive)) {
        line.kind = Kind::RawSocket;
        rest = text.mid(SocketScheme.size());
    } else if (text.contains(QLatin1String("://"))) {
        return refuse(tr("\"%1\" is not a kind of line rollcall knows; use a device, "
                         "rfc2217://HOST:PORT or socket://HOST:PORT")
                          .arg(text.section(QLatin1String("://"), 0, 0)));
    } else {
        line.device = text;
        return line;
    }

    const QString form = line.kind == Kind::Rfc2217 ? QStringLiteral("rfc2217://HOST:PORT")
                                                    : QStringLiteral("socket://HOST:PORT");
    const qsizetype query = rest.indexOf(QLatin1Char('?'));
    if (query >= 0) {
        const QStringList options = rest.mid(query + 1).split(QLatin1Char('&'));
        for (const QString &option : options) {
            if (!isKnownOption(option))
                return refuse(tr("\"%1\" is not an option rollcall knows in %2").arg(option, text));
        }
        rest.truncate(query);
    }
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);

    const QString malformed = takeHostAndPort(rest, text, form, line);
    if (!malformed.isEmpty())
        return refuse(malformed);
    return line;
}
