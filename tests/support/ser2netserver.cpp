#include "tests/support/ser2netserver.h"

#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <algorithm>

namespace {

// From the kernel's table of TCP sockets: state 0A is LISTEN.
bool isListening(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    const QList<QByteArray> lines = table.readAll().split('\n');
    return std::any_of(lines.cbegin(), lines.cend(), [&local](const QByteArray &line) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        return fields.size() > 3 && fields.at(1).endsWith(local) && fields.at(3) == "0A";
    });
}

} // namespace

quint16 freeLocalPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

Ser2netServer::Ser2netServer(const QString &device, int baud)
{
    const QString program = QStandardPaths::findExecutable(
        QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (program.isEmpty()) {
        m_error = QStringLiteral("ser2net is not installed (scripts/deps installs it)");
        return;
    }
    m_rfc2217Port = freeLocalPort();
    m_rawPort = freeLocalPort();
    // -n: stay in the foreground; -u: no UUCP lock files for the test's pty; -Y: the
    // configuration itself, '#' for a new line.
    const QString connector =
        QStringLiteral("#  connector: serialdev,%1,%2n81,local").arg(device).arg(baud);
    const QString config =
        QStringLiteral("connection: &rfc2217#  accepter: telnet(rfc2217),tcp,127.0.0.1,%1%3#"
                       "connection: &raw#  accepter: tcp,127.0.0.1,%2%3")
            .arg(m_rfc2217Port)
            .arg(m_rawPort)
            .arg(connector);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program,
                    {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-Y"), config});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return;
    }
    // Ready once both ports listen. Connecting to find out would make the server open
    // the device, and keep it busy for a moment after.
    for (int attempt = 0; attempt < 250; ++attempt) {
        if (isListening(m_rfc2217Port) && isListening(m_rawPort))
            return;
        if (m_process.state() != QProcess::Running)
            break;
        QTest::qWait(20);
    }
    m_error =
        QStringLiteral("ser2net did not start: ") + QString::fromLocal8Bit(m_process.readAll());
}

Ser2netServer::~Ser2netServer()
{
    kill();
}

bool Ser2netServer::isRunning() const
{
    return m_error.isEmpty() && m_process.state() == QProcess::Running;
}

QString Ser2netServer::rfc2217Url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_rfc2217Port);
}

QString Ser2netServer::socketUrl() const
{
    return QStringLiteral("socket://127.0.0.1:%1").arg(m_rawPort);
}

void Ser2netServer::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}
