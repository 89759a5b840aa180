#include "tests/support/scripteddialogs.h"

void ScriptedDialogs::message(const QString &text, const QString &detail)
{
    messages << text;
    details << detail;
    if (whileShowingMessage)
        whileShowingMessage();
}

QString ScriptedDialogs::askText(const QString &prompt)
{
    prompts << prompt;
    if (whileAsking)
        whileAsking();
    return answers.isEmpty() ? QString() : answers.takeFirst();
}
