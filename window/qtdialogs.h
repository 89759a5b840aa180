#pragma once

#include "window/windowdialogs.h"

class QWidget;

// The real modal message box and input dialog, titled "rollcall".
class QtDialogs : public WindowDialogs
{
public:
    explicit QtDialogs(QWidget *parent) : m_parent(parent) {}

    void message(const QString &text) override;
    void messageWithDetails(const QString &text, const QString &informative,
                            const QString &detailed) override;
    QString askText(const QString &prompt) override;
    std::optional<QString> editText(const QString &prompt, const QString &text) override;

private:
    QWidget *m_parent;
};
