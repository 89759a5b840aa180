#pragma once

#include <QString>

#include <optional>

// The modal questions and messages a command puts to the operator. The window gives
// the real dialogs; tests give answers without a modal loop.
class OperatorDialogs
{
public:
    virtual ~OperatorDialogs() = default;

    // A modal message with an OK button. `informative` is shown under the text in
    // smaller type; `detailed` stays behind the box's details button until asked for.
    virtual void message(const QString &text, const QString &informative = QString(),
                         const QString &detailed = QString()) = 0;

    // A modal input dialog with an empty field; the empty text when cancelled.
    virtual QString askText(const QString &prompt) = 0;

    // A modal input dialog holding `text` to edit: nothing when cancelled, the empty text
    // when the field was emptied. Where nobody can answer, as if cancelled.
    virtual std::optional<QString> editText(const QString & /*prompt*/, const QString & /*text*/)
    {
        return std::nullopt;
    }
};
