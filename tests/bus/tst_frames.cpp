#include "bus/frames.h"

#include <QTest>

class TestFrames : public QObject
{
    Q_OBJECT
private slots:
    void pollFramesCarryTheAddressByteThenStxQuestionMarkEtx_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("0") << 0 << QByteArray::fromHex("80023F03");
        QTest::newRow("5") << 5 << QByteArray::fromHex("85023F03");
        QTest::newRow("126") << 126 << QByteArray::fromHex("FE023F03");
    }
    void pollFramesCarryTheAddressByteThenStxQuestionMarkEtx()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, bytes);
        QCOMPARE(frames::pollFrame(address), bytes);
    }

    void setAddressFrameGoesToAddressZeroWithThreeDigits_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("7") << 7 << QByteArray::fromHex("800200494130303703");
        QTest::newRow("5") << 5 << QByteArray::fromHex("800200494130303503");
        QTest::newRow("126") << 126 << QByteArray::fromHex("800200494131323603");
    }
    void setAddressFrameGoesToAddressZeroWithThreeDigits()
    {
        QFETCH(int, address);
        QFETCH(QByteArray, bytes);
        QCOMPARE(frames::setAddressFrame(address), bytes);
    }

    void theLoneAckIsOneByte() { QCOMPARE(frames::ackFrame(), QByteArray("\x06", 1)); }

    void addressTextHasThreeDigits()
    {
        QCOMPARE(frames::addressText(0), QStringLiteral("000"));
        QCOMPARE(frames::addressText(42), QStringLiteral("042"));
        QCOMPARE(frames::addressText(126), QStringLiteral("126"));
    }
};

QTEST_APPLESS_MAIN(TestFrames)
#include "tst_frames.moc"
