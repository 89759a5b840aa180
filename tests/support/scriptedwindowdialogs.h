#pragma once

#include "tests/support/scripteddialogs.h"
#include "window/windowdialogs.h"

// Answers the window's questions, and those of the commands it runs, from one script.
class ScriptedWindowDialogs : public WindowDialogs, public DialogScript
{
public:
    void message(const QString &text) override { show(text, QString(), QString()); }
    QString askText(const QString &prompt) override { return ask(prompt); }
    void messageWithDetails(const QString &text, const QString &informative,
                            const QString &detailed) override
    {
        show(text, informative, detailed);
    }
    std::optional<QString> editText(const QString &prompt, const QString &text) override
    {
        return edit(prompt, text);
    }
};
