#pragma once

#include "commands/operatordialogs.h"

#include <QStringList>

#include <functional>
#include <optional>

// An operator who answers from a script and remembers what they were shown.
struct DialogScript
{
    QStringList answers;       // given in order; a cancel once they run out
    QStringList messages;      // every message shown
    QStringList details;       // the informative text of every message
    QStringList detailedTexts; // what stays behind the details button
    QStringList prompts;       // every input dialog shown
    QStringList prefilled;     // the text each input dialog to edit held
    // Runs inside the dialog, as if the operator did something while it was open.
    std::function<void()> whileAsking;
    std::function<void()> whileShowingMessage;

    void show(const QString &text, const QString &informative, const QString &detailed);
    QString ask(const QString &prompt);
    std::optional<QString> edit(const QString &prompt, const QString &text);
};

// Answers a command's questions from the script.
class ScriptedDialogs : public OperatorDialogs, public DialogScript
{
public:
    void message(const QString &text) override { show(text, QString(), QString()); }
    QString askText(const QString &prompt) override { return ask(prompt); }
};
