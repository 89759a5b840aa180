#include "window/portmenu.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QKeyEvent>

namespace {
const char *const PortProperty = "rollcallPort";

// Below the radio's caption: where a menu asked for from the keyboard belongs.
QPoint under(const QWidget *radio)
{
    return radio->mapToGlobal(QPoint(radio->height(), radio->height()));
}
} // namespace

PortMenu::PortMenu(QWidget *parent) : QMenu(parent)
{
    setObjectName(QStringLiteral("portMenu"));
}

void PortMenu::attach(QAbstractButton *radio, int port)
{
    radio->setProperty(PortProperty, port);
    radio->installEventFilter(this);
}

bool PortMenu::eventFilter(QObject *watched, QEvent *event)
{
    auto *radio = qobject_cast<QWidget *>(watched);
    const int port = watched->property(PortProperty).toInt();
    if (!radio || port == 0)
        return QMenu::eventFilter(watched, event);
    if (event->type() == QEvent::ContextMenu) {
        const auto *request = static_cast<QContextMenuEvent *>(event);
        emit requested(port, request->reason() == QContextMenuEvent::Mouse ? request->globalPos()
                                                                           : under(radio));
        return true;
    }
    // Whether Qt turns the menu key into a context menu event itself depends on its
    // version and the platform; taken here as a key press, it asks once on every Qt.
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Menu ||
            (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            emit requested(port, under(radio));
            return true;
        }
    }
    return QMenu::eventFilter(watched, event);
}

void PortMenu::popupFor(int port, const QString &current, const QList<SerialPortEntry> &ports,
                        const QPoint &where)
{
    hide();
    clear();
    m_port = port;
    const QString name = tr("Device of Com %1").arg(port);
    setTitle(name);
    setAccessibleName(name);

    for (const SerialPortEntry &entry : ports) {
        const QString behind = entry.behind();
        QString text = behind.isEmpty() ? entry.device : tr("%1 (%2)").arg(entry.device, behind);
        QAction *action = addAction(text.replace(QLatin1Char('&'), QLatin1String("&&")));
        action->setCheckable(true);
        action->setChecked(isSameDevice(entry.device, current));
        connect(action, &QAction::triggered, this,
                [this, device = entry.device] { emit deviceChosen(m_port, device); });
    }
    if (ports.isEmpty())
        addAction(tr("No serial ports were found on this computer"))->setEnabled(false);
    addSeparator();
    connect(addAction(tr("Other device or network address…")), &QAction::triggered, this,
            [this] { emit otherChosen(m_port); });
    popup(where);
}
