#include "ui/qtdialogs.h"

#include <QInputDialog>
#include <QMessageBox>

namespace {
const QString Title = QStringLiteral("rollcall");
}

void QtDialogs::message(const QString &text, const QString &detail)
{
    QMessageBox box(QMessageBox::NoIcon, Title, text, QMessageBox::Ok, m_parent);
    box.setInformativeText(detail);
    box.exec();
}

QString QtDialogs::askText(const QString &prompt)
{
    bool ok = false;
    const QString text =
        QInputDialog::getText(m_parent, Title, prompt, QLineEdit::Normal, QString(), &ok);
    return ok ? text : QString();
}
