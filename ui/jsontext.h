#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

// `text` as a JSON string, quotes and escapes included.
inline QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}
