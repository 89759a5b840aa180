#include "window/qtdialogs.h"

#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>

#include <algorithm>

namespace {
QString title()
{
    return QCoreApplication::translate("QtDialogs", "rollcall");
}
} // namespace

void QtDialogs::message(const QString &text)
{
    messageWithDetails(text, QString(), QString());
}

void QtDialogs::messageWithDetails(const QString &text, const QString &informative,
                                   const QString &detailed)
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
    QInputDialog dialog(m_parent);
    dialog.setWindowTitle(title());
    dialog.setLabelText(prompt);
    dialog.setTextValue(text);
    // Wide enough to show a long /dev/serial/by-id/ path whole, within reason.
    constexpr int Widest = 800;
    const int wanted =
        dialog.fontMetrics().horizontalAdvance(text) + 4 * dialog.fontMetrics().height();
    dialog.resize(std::max(dialog.sizeHint().width(), std::min(wanted, Widest)),
                  dialog.sizeHint().height());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}
