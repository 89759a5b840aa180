#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <optional>
#include <utility>

// `text` as a JSON string, quotes and escapes included.
inline QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// How a scan or a watch ended: `"complete": true`, or where and why it stopped.
inline QString completionJson(const std::optional<std::pair<int, QString>> &stoppedAt)
{
    if (!stoppedAt)
        return QStringLiteral(R"("complete": true)");
    return QStringLiteral(R"("complete": false, "stopped_at": %1, "reason": %2)")
        .arg(stoppedAt->first)
        .arg(jsonString(stoppedAt->second));
}
