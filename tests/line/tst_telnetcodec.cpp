#include "line/telnetcodec.h"

#include <QTest>

namespace {

QByteArray bytes(const char *hexText)
{
    return QByteArray::fromHex(hexText);
}

// "accepted", "refused", "nonsense", "1=9600@0" (request=value@position).
QString describe(const TelnetCodec::Event &event)
{
    switch (event.kind) {
    case TelnetCodec::Event::Kind::ComPortAccepted:
        return QStringLiteral("accepted");
    case TelnetCodec::Event::Kind::ComPortRefused:
        return QStringLiteral("refused");
    case TelnetCodec::Event::Kind::Nonsense:
        return QStringLiteral("nonsense");
    case TelnetCodec::Event::Kind::Confirmed:
        break;
    }
    return QStringLiteral("%1=%2@%3").arg(event.request).arg(event.value).arg(event.position);
}

} // namespace

// What a server sends, taken apart; the server is untrusted, so the rows are mostly what
// a broken or hostile one could send.
class TestTelnetCodec : public QObject
{
    Q_OBJECT
private slots:
    void theServersBytesAreTakenApart_data();
    void theServersBytesAreTakenApart();
    void requestsEscapeEveryIac();
};

void TestTelnetCodec::theServersBytesAreTakenApart_data()
{
    QTest::addColumn<QList<QByteArray>>("segments"); // as they arrive, one read each
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QStringList>("events");

    const QByteArray longSub = bytes("FFFA2C65") + QByteArray(5000, '\x01') + bytes("FFF041");
    QByteArray storm;
    for (int i = 0; i < 1000; ++i)
        storm += bytes("FFFD18FFFB18"); // DO and WILL TERMINAL-TYPE, over and over
    QTest::newRow("IAC IAC is one 0xFF on the line")
        << QList<QByteArray>{bytes("41FFFF42")} << bytes("41FF42") << QByteArray() << QStringList();
    QTest::newRow("an IAC at the end of a segment")
        << QList<QByteArray>{bytes("41FF"), bytes("FF42FF"), bytes("FA2C6501FFF0")}
        << bytes("41FF42") << QByteArray() << QStringList{"nonsense"};
    QTest::newRow("SE without SB")
        << QList<QByteArray>{bytes("FFF041")} << bytes("41") << QByteArray() << QStringList();
    QTest::newRow("a subnegotiation that never ends is cut and dropped")
        << QList<QByteArray>{longSub} << bytes("41") << QByteArray() << QStringList{"nonsense"};
    QTest::newRow("an option storm is refused once")
        << QList<QByteArray>{storm} << QByteArray() << bytes("FFFC18FFFE18") << QStringList();
    QTest::newRow("the server takes COM-PORT; its acknowledgements get no answer")
        << QList<QByteArray>{bytes("FFFD2CFFFB00FFFD00")} << QByteArray() << QByteArray()
        << QStringList{"accepted"};
    QTest::newRow("the server refuses COM-PORT")
        << QList<QByteArray>{bytes("FFFE2C")} << QByteArray() << bytes("FFFC2C")
        << QStringList{"refused"};
    QTest::newRow("settings confirmed, 0xFF in a value escaped")
        << QList<QByteArray>{bytes("FFFA2C650000FFFF00FFF0FFFA2C6608FFF0")} << QByteArray()
        << QByteArray() << QStringList{"1=65280@0", "2=8@0"};
    QTest::newRow("a purge confirmed between line bytes, where it came")
        << QList<QByteArray>{bytes("4142FFFA2C7001FFF043")} << bytes("414243") << QByteArray()
        << QStringList{"12=1@2"};
    QTest::newRow("COM-PORT answers that make no sense")
        << QList<QByteArray>{bytes("FFFA2CFFF0FFFA2C6500FFF0FFFA2C9901FFF0FFFA2C0101FFF0")}
        << QByteArray() << QByteArray()
        << QStringList{"nonsense", "nonsense", "nonsense", "nonsense"};
    QTest::newRow("notifications and other options' subnegotiations are ignored")
        << QList<QByteArray>{bytes("FFFA2C6A00FFF0FFFA1801FFF041")} << bytes("41") << QByteArray()
        << QStringList();
    QTest::newRow("a command inside a subnegotiation ends it")
        << QList<QByteArray>{bytes("FFFA2C6501FFFD1841")} << bytes("41") << bytes("FFFC18")
        << QStringList();
}

void TestTelnetCodec::theServersBytesAreTakenApart()
{
    QFETCH(QList<QByteArray>, segments);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, events);

    TelnetCodec codec;
    const QByteArray started = codec.start();
    QVERIFY(started.contains(bytes("FFFB2C"))); // WILL COM-PORT
    QByteArray gotData;
    QByteArray gotAnswers;
    QStringList gotEvents;
    for (const QByteArray &segment : segments) {
        gotData += codec.receive(segment);
        gotAnswers += codec.takeAnswers();
        for (const TelnetCodec::Event &event : codec.takeEvents())
            gotEvents << describe(event);
    }
    QCOMPARE(gotData.toHex(' '), data.toHex(' '));
    QCOMPARE(gotAnswers.toHex(' '), answers.toHex(' '));
    QCOMPARE(gotEvents, events);
}

void TestTelnetCodec::requestsEscapeEveryIac()
{
    QCOMPARE(TelnetCodec::escape(bytes("01FF02FF")).toHex(), QByteArray("01ffff02ffff"));
    // 65535 baud holds two 0xFF in its value.
    QCOMPARE(TelnetCodec::setBaudRate(65535).toHex(), QByteArray("fffa2c010000fffffffffff0"));
}

QTEST_APPLESS_MAIN(TestTelnetCodec)
#include "tst_telnetcodec.moc"
