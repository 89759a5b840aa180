#include "sim/reader.h"

#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(sim::Fault)

class TestSimReader : public QObject
{
    Q_OBJECT

private slots:
    void defaultsArePlausible();
    void replies_data();
    void replies();
    void silentReaderNeverReplies();
    void faultNames_data();
    void faultNames();
    void parsesReaderOptions_data();
    void parsesReaderOptions();
    void rejectsBadReaderOptions_data();
    void rejectsBadReaderOptions();
};

void TestSimReader::defaultsArePlausible()
{
    const sim::Reader reader;
    QCOMPARE(reader.address, 0);
    QCOMPARE(reader.fault, sim::Fault::None);
    QCOMPARE(reader.delay, 3ms);
    QVERIFY(reader.reply.size() >= 2);
    QCOMPARE(reader.reply.front(), '\x02');
}

void TestSimReader::replies_data()
{
    QTest::addColumn<sim::Fault>("fault");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("afterMs");
    const QByteArray own("\x02MINE\x03");
    QTest::newRow("none") << sim::Fault::None << own << 17;
    QTest::newRow("one byte") << sim::Fault::OneByte << QByteArray("\x06") << 17;
    QTest::newRow("late") << sim::Fault::Late << own << 250;
    QTest::newRow("wrong first") << sim::Fault::WrongFirstByte << QByteArray("\x15\x03") << 17;
    QTest::newRow("garbled") << sim::Fault::Garbled << QByteArray("\x13\x55\xAA\x41") << 17;
}

void TestSimReader::replies()
{
    QFETCH(sim::Fault, fault);
    QFETCH(QByteArray, bytes);
    QFETCH(int, afterMs);

    sim::Reader reader;
    reader.fault = fault;
    reader.delay = 17ms;
    reader.reply = QByteArray("\x02MINE\x03");
    const std::optional<sim::Reply> reply = sim::replyTo(reader);
    QVERIFY(reply.has_value());
    QCOMPARE(reply->bytes, bytes);
    QCOMPARE(reply->after, std::chrono::milliseconds(afterMs));
}

void TestSimReader::silentReaderNeverReplies()
{
    sim::Reader reader;
    reader.fault = sim::Fault::Silent;
    QVERIFY(!sim::replyTo(reader).has_value());
}

void TestSimReader::faultNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<std::optional<sim::Fault>>("fault");
    QTest::newRow("none") << "none" << std::optional(sim::Fault::None);
    QTest::newRow("silent") << "silent" << std::optional(sim::Fault::Silent);
    QTest::newRow("onebyte") << "onebyte" << std::optional(sim::Fault::OneByte);
    QTest::newRow("late") << "late" << std::optional(sim::Fault::Late);
    QTest::newRow("wrongfirst") << "wrongfirst" << std::optional(sim::Fault::WrongFirstByte);
    QTest::newRow("garbled") << "garbled" << std::optional(sim::Fault::Garbled);
    QTest::newRow("case matters") << "Silent" << std::optional<sim::Fault>();
    QTest::newRow("empty") << "" << std::optional<sim::Fault>();
    QTest::newRow("prefix") << "wrong" << std::optional<sim::Fault>();
}

void TestSimReader::faultNames()
{
    QFETCH(QString, name);
    QFETCH(std::optional<sim::Fault>, fault);
    QCOMPARE(sim::faultFromName(name), fault);
}

void TestSimReader::parsesReaderOptions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("address");
    QTest::addColumn<sim::Fault>("fault");
    QTest::newRow("bare 0") << "0" << 0 << sim::Fault::None;
    QTest::newRow("bare 126") << "126" << 126 << sim::Fault::None;
    QTest::newRow("explicit none") << "5:none" << 5 << sim::Fault::None;
    QTest::newRow("wrongfirst") << "9:wrongfirst" << 9 << sim::Fault::WrongFirstByte;
    QTest::newRow("late") << "33:late" << 33 << sim::Fault::Late;
    QTest::newRow("silent") << "1:silent" << 1 << sim::Fault::Silent;
}

void TestSimReader::parsesReaderOptions()
{
    QFETCH(QString, text);
    QFETCH(int, address);
    QFETCH(sim::Fault, fault);
    QString error;
    const std::optional<sim::Reader> reader = sim::parseReaderOption(text, &error);
    QVERIFY2(reader.has_value(), qPrintable(error));
    QCOMPARE(reader->address, address);
    QCOMPARE(reader->fault, fault);
    QCOMPARE(reader->reply, sim::Reader().reply);
}

void TestSimReader::rejectsBadReaderOptions_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("127") << "127";
    QTest::newRow("negative") << "-1";
    QTest::newRow("not a number") << "x";
    QTest::newRow("empty fault") << "5:";
    QTest::newRow("unknown fault") << "5:bogus";
    QTest::newRow("too many parts") << "5:late:x";
    QTest::newRow("two faults") << "5:late:silent";
    QTest::newRow("delay not a number") << "5:delay=soon";
    QTest::newRow("baud of no reader") << "5:baud=4800";
    QTest::newRow("reply not hex") << "5:reply=06zz";
    QTest::newRow("reply of half a byte") << "5:reply=060";
}

void TestSimReader::rejectsBadReaderOptions()
{
    QFETCH(QString, text);
    QString error;
    QVERIFY(!sim::parseReaderOption(text, &error).has_value());
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TestSimReader)
#include "tst_simreader.moc"
