#include "tests/support/scripteddialogs.h"

void DialogScript::show(const QString &text, const QString &informative, const QString &detailed)
{
    messages << text;
    details << informative;
    detailedTexts << detailed;
    if (whileShowingMessage)
        whileShowingMessage();
}

QString DialogScript::ask(const QString &prompt)
{
    prompts << prompt;
    if (whileAsking)
        whileAsking();
    return answers.isEmpty() ? QString() : answers.takeFirst();
}

std::optional<QString> DialogScript::edit(const QString &prompt, const QString &text)
{
    prefilled << text;
    return answers.isEmpty() ? std::nullopt : std::optional<QString>(ask(prompt));
}
