#pragma once

// The JSON the reports write, for their own files only: the library stays out of every
// other part of the program.

#include "terminal/scanreport.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <cmath>
#include <optional>

namespace reportjson {

// Keeps the keys in the order they are documented in.
using Json = nlohmann::ordered_json;

// Times are measured to 0.1 ms; more digits would only be noise. A whole number of
// tenths divided by ten is the double nearest that decimal, which is dumped as it is
// written: 28.2, not 28.200000000000003.
inline double tenths(double ms)
{
    return std::round(ms * 10.0) / 10.0;
}

// "port", "device", "baud", "addresses".
inline void addLine(Json &object, const ReportedLine &line)
{
    object["port"] = line.port;
    object["device"] = line.device.toStdString();
    object["baud"] = line.baud;
    object["addresses"] = Json::array({line.firstAddress, line.lastAddress});
}

// "complete": true, or "complete": false with "stopped_at" and "reason".
inline void addEnding(Json &object, const std::optional<ReportedStop> &stop)
{
    object["complete"] = !stop;
    if (!stop)
        return;
    object["stopped_at"] = stop->address;
    object["reason"] = stop->reason.toStdString();
}

// On one line. Text is UTF-8 from QString already; should anything not be, it is
// replaced rather than thrown at.
inline QString dumped(const Json &object)
{
    return QString::fromStdString(object.dump(-1, ' ', false, Json::error_handler_t::replace));
}

} // namespace reportjson
