#pragma once

#include <QString>

// What a command asks of the operator and tells them while it runs. Each front end
// answers in its own way; tests answer from a script.
class OperatorDialogs
{
public:
    virtual ~OperatorDialogs() = default;

    // A message the operator acknowledges before the command goes on.
    virtual void message(const QString &text) = 0;

    // A text the operator types; the empty text when they decline.
    virtual QString askText(const QString &prompt) = 0;
};
