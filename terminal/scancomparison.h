#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QList>
#include <QString>

#include <optional>

// What a scan on an earlier visit found, read back from the document its `rollcall scan
// --json` wrote, so that a scan today can be compared with it. The technician keeps the
// file; rollcall only reads it.
struct EarlierScan
{
    Q_DECLARE_TR_FUNCTIONS(EarlierScan)

public:
    // A full scan's document is a few kB; anything much larger is not one.
    static constexpr qint64 MaxBytes = qint64{4} * 1024 * 1024;

    int baud = 9600;
    int firstAddress = 0;
    int lastAddress = 0;
    QList<int> readers;

    // The document of a scan at one speed that went through every address; for anything
    // else nothing, with `*problem` saying why in a few words.
    static std::optional<EarlierScan> fromJson(const QByteArray &document, QString *problem);
    // The file at `path`, read no further than MaxBytes, as fromJson takes it.
    static std::optional<EarlierScan> read(const QString &path, QString *problem);

    // Why a scan of these addresses at this speed cannot be compared with this one; empty
    // when it can.
    QString unlike(int first, int last, int scanBaud) const;
};

// The readers a scan found against those the earlier one found.
struct ScanComparison
{
    Q_DECLARE_TR_FUNCTIONS(ScanComparison)

public:
    QList<int> added;   // answering now, not then
    QList<int> missing; // answering then, not now

    static ScanComparison between(const QList<int> &earlier, const QList<int> &now);
    bool changed() const { return !added.isEmpty() || !missing.isEmpty(); }
    // "New since then: 012, 040" and "Missing since then: 003", each when it has any, or
    // "Nothing changed since then".
    QString text() const;
};
