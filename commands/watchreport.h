#pragma once

#include "commands/buswatch.h"

#include <QDateTime>
#include <QString>

#include <optional>
#include <utility>

// What "rollcall watch" prints: a line the moment a reader appears or goes, and the
// tally when it stops, as text for a person or as JSON Lines for a program.
namespace watchreport {

QString changeLine(const QDateTime &at, int address, BusWatch::Change change);
QString changeJson(const QDateTime &at, int address, BusWatch::Change change);

QString summaryText(const BusWatch &watch);
// `head` holds the keys that say which line was watched, without braces; `stoppedAt`
// the address and reason when the line went down.
QString summaryJson(const BusWatch &watch, const QString &head,
                    const std::optional<std::pair<int, QString>> &stoppedAt);

// "Pass 12, Checking Address 005; online: 004, 005".
QString progressText(const BusWatch &watch, int pass, int address);

} // namespace watchreport
