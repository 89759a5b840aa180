#include "ui/qtdialogs.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace {
QString title()
{
    return QCoreApplication::translate("QtDialogs", "rollcall");
}
} // namespace

void QtDialogs::message(const QString &text, const QString &informative, const QString &detailed)
{
    QMessageBox box(QMessageBox::NoIcon, title(), text, QMessageBox::Ok, m_parent);
    box.setInformativeText(informative);
    box.setDetailedText(detailed);
    box.exec();
}

QString QtDialogs::askText(const QString &prompt)
{
    bool ok = false;
    const QString text =
        QInputDialog::getText(m_parent, title(), prompt, QLineEdit::Normal, QString(), &ok);
    return ok ? text : QString();
}

std::optional<QString> QtDialogs::editText(const QString &prompt, const QString &text)
{
    bool ok = false;
    QString edited = QInputDialog::getText(m_parent, title(), prompt, QLineEdit::Normal, text, &ok);
    if (!ok)
        return std::nullopt;
    return edited;
}
