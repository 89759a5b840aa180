#include "line/systemqueue.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Both ends of a connection over the loopback, connected without an event loop.
struct Connection
{
    QTcpServer server;
    QTcpSocket near;
    std::unique_ptr<QTcpSocket> far;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost))
            return false;
        near.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!near.waitForConnected(5000) || !server.waitForNewConnection(5000))
            return false;
        far.reset(server.nextPendingConnection());
        return far != nullptr;
    }
};

// More than the loopback's buffers on both sides take (a few MB each at most).
QByteArray moreThanTheSystemTakes()
{
    return QByteArray(qsizetype{32} * 1024 * 1024, 'x');
}

} // namespace

// Without an event loop throughout, as the line uses them: nothing here is read by Qt
// unless asked.
class TestSystemQueue : public QObject
{
    Q_OBJECT
private slots:
    void countsWhatArrivedOnASocketBeforeQtReadsIt()
    {
        Connection connection;
        QVERIFY(connection.open());
        QCOMPARE(SystemQueue::waiting(connection.near), 0);
        QCOMPARE(connection.far->write("\x06\x80\x02\x3F\x03\x01\x02", 7), 7);
        QVERIFY(connection.far->waitForBytesWritten(5000));
        QElapsedTimer since;
        since.start();
        while (SystemQueue::waiting(connection.near) < 7 && since.elapsed() < 5000)
            std::this_thread::sleep_for(1ms);
        QCOMPARE(SystemQueue::waiting(connection.near), 7);
        QCOMPARE(connection.near.bytesAvailable(), 0); // all of it still with the system
        QVERIFY(connection.near.waitForReadyRead(0));
        QCOMPARE(connection.near.readAll(), QByteArray("\x06\x80\x02\x3F\x03\x01\x02", 7));
        QCOMPARE(SystemQueue::waiting(connection.near), 0);
    }

    void handsOverMoreThanTheSystemHoldsAtOnceWhileThePeerReads()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray bytes = moreThanTheSystemTakes();
        std::atomic<qint64> received{0};
        std::thread reader([port = server.serverPort(), total = bytes.size(), &received] {
            QTcpSocket far;
            far.connectToHost(QHostAddress::LocalHost, port);
            if (!far.waitForConnected(5000))
                return;
            while (received < total && far.waitForReadyRead(5000))
                received += far.readAll().size();
        });
        const bool accepted = server.waitForNewConnection(5000);
        const std::unique_ptr<QTcpSocket> near(server.nextPendingConnection());
        bool handedOver = false;
        if (accepted && near && near->write(bytes) == bytes.size())
            handedOver = SystemQueue::handOver(*near);
        reader.join();
        QVERIFY(accepted && near);
        QVERIFY(handedOver);
        QCOMPARE(near->bytesToWrite(), 0);
        QCOMPARE(received.load(), bytes.size());
    }

    // A peer that reads nothing is a stalled server: the wait ends at the limit, neither
    // at the first wait for room nor never.
    void givesUpOnAPeerThatTakesNothingAfterTheWriteLimit()
    {
#ifdef Q_OS_WIN
        // Winsock as Wine gives it takes all 32 MB from a peer that reads nothing, so no
        // stall can be made on a socket here; the pseudo-terminal's test stalls a device.
        QSKIP("Winsock under Wine takes every byte: no stalled peer can be made");
#endif
        Connection connection;
        QVERIFY(connection.open());
        const QByteArray bytes = moreThanTheSystemTakes();
        QCOMPARE(connection.near.write(bytes), bytes.size());
        QElapsedTimer since;
        since.start();
        QVERIFY(!SystemQueue::handOver(connection.near));
        const qint64 tookMs = since.elapsed();
        QVERIFY2(tookMs >= SystemQueue::WriteLimit.count() - 50,
                 qPrintable(QString::number(tookMs)));
        QVERIFY(connection.near.bytesToWrite() > 0);
        QVERIFY(connection.near.bytesToWrite() < bytes.size()); // the system took its fill
    }
};

QTEST_GUILESS_MAIN(TestSystemQueue)
#include "tst_systemqueue.moc"
