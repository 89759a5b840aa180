#pragma once

#include "commands/operatordialogs.h"

class QWidget;

// The real modal message box and input dialog, titled "rollcall".
class QtDialogs : public OperatorDialogs
{
public:
    explicit QtDialogs(QWidget *parent) : m_parent(parent) {}

    void message(const QString &text, const QString &informative = QString(),
                 const QString &detailed = QString()) override;
    QString askText(const QString &prompt) override;
    std::optional<QString> editText(const QString &prompt, const QString &text) override;

private:
    QWidget *m_parent;
};
