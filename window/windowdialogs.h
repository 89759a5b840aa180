#pragma once

#include "commands/operatordialogs.h"

#include <QString>

#include <optional>

// The commands' dialogs, and the window's own: a message box with more to tell, and a
// field holding a text to edit.
class WindowDialogs : public OperatorDialogs
{
public:
    // A modal message with an OK button. `informative` is shown under the text in
    // smaller type; `detailed` stays behind the box's details button until asked for.
    virtual void messageWithDetails(const QString &text, const QString &informative,
                                    const QString &detailed = QString()) = 0;

    // A modal input dialog holding `text` to edit: nothing when cancelled, the empty text
    // when the field was emptied.
    virtual std::optional<QString> editText(const QString &prompt, const QString &text) = 0;
};
