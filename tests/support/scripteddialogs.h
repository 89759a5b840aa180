#pragma once

#include "commands/operatordialogs.h"

#include <QStringList>
#include <functional>

// Answers the program's questions from a script and remembers what it was shown.
class ScriptedDialogs : public OperatorDialogs
{
public:
    void message(const QString &text, const QString &informative = QString(),
                 const QString &detailed = QString()) override;
    QString askText(const QString &prompt) override;
    std::optional<QString> editText(const QString &prompt, const QString &text) override;

    QStringList answers;       // given in order; a cancel once they run out
    QStringList messages;      // every message shown
    QStringList details;       // the informative text of every message
    QStringList detailedTexts; // what stays behind the details button
    QStringList prompts;       // every input dialog shown
    QStringList prefilled;     // the text each input dialog to edit held
    // Runs inside the dialog, as if the operator did something while it was open.
    std::function<void()> whileAsking;
    std::function<void()> whileShowingMessage;
};
