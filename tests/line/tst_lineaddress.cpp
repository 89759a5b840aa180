#include "line/lineaddress.h"

#include <QTest>

class TestLineAddress : public QObject
{
    Q_OBJECT
private slots:
    void aLineIsNamedAsPyserialNamesIt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("taken"); // kind, then where(); "refused: <words in the error>"
        QTest::newRow("device") << "/dev/ttyUSB0"
                                << "device /dev/ttyUSB0";
        QTest::newRow("rfc2217") << "rfc2217://127.0.0.1:2217"
                                 << "rfc2217 127.0.0.1:2217";
        QTest::newRow("socket, a host name") << "socket://cabinet-7.local:4001"
                                             << "socket cabinet-7.local:4001";
        QTest::newRow("IPv6 literal") << "rfc2217://[::1]:2217"
                                      << "rfc2217 [::1]:2217";
        QTest::newRow("pyserial's options") << "rfc2217://h:1?ign_set_control&timeout=3"
                                            << "rfc2217 h:1";
        QTest::newRow("empty") << ""
                               << "refused: no device";
        QTest::newRow("unknown scheme") << "loop://"
                                        << "refused: \"loop\" is not a kind";
        QTest::newRow("no port") << "socket://host"
                                 << "refused: gives no port";
        QTest::newRow("port 0") << "socket://host:0"
                                << "refused: no valid port";
        QTest::newRow("no host") << "rfc2217://:2217"
                                 << "refused: no valid host";
        QTest::newRow("IPv6 unbracketed") << "socket://::1:2000"
                                          << "refused: in brackets";
        QTest::newRow("unknown option") << "rfc2217://h:1?baudrate=9600"
                                        << "refused: \"baudrate=9600\" is not an option";
    }

    void aLineIsNamedAsPyserialNamesIt()
    {
        QFETCH(QString, text);
        QFETCH(QString, taken);
        QString error;
        const std::optional<LineAddress> line = LineAddress::parse(text, &error);
        if (taken.startsWith(QLatin1String("refused: "))) {
            QVERIFY(!line.has_value());
            QVERIFY2(error.contains(taken.mid(9)), qPrintable(error));
        } else {
            QVERIFY2(line.has_value(), qPrintable(error));
            QCOMPARE(line->kindName() + QLatin1Char(' ') + line->where(), taken);
        }
    }
};

QTEST_APPLESS_MAIN(TestLineAddress)
#include "tst_lineaddress.moc"
