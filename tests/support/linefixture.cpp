#include "tests/support/linefixture.h"

#include "bus/frames.h"

#include <QFile>
#include <QTimer>

#include <ctime>

LineFixture::LineFixture(int replyWindowMs)
{
    link.setReplyWindowForTesting(std::chrono::milliseconds(replyWindowMs));
    port.choosePort(line.port());
    if (!port.open())
        qWarning("the line fixture could not open its port: %s",
                 qPrintable(port.problem().details()));
}

void LineFixture::addReaders(std::initializer_list<int> addresses)
{
    for (int address : addresses) {
        sim::Reader reader;
        reader.address = address;
        bus().addReader(reader);
    }
}

QByteArray hex(const QByteArray &bytes)
{
    return bytes.toHex(' ').toUpper();
}

QByteArray scanTraffic(int from, int to)
{
    QByteArray bytes;
    for (int a = from; a <= to; ++a)
        bytes += frames::ackFrame() + frames::pollFrame(a);
    return bytes;
}

QStringList texts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).toString();
    return out;
}

double cpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

void once(QObject *owner, const std::function<bool()> &condition,
          const std::function<void()> &action)
{
    auto *watcher = new QTimer(owner);
    watcher->setInterval(1);
    QObject::connect(watcher, &QTimer::timeout, owner, [=] {
        if (condition()) {
            watcher->stop();
            watcher->deleteLater();
            action();
        }
    });
    watcher->start();
}
