#pragma once

#include "line/serialportlist.h"

#include <QMenu>

class QAbstractButton;

// The menu of a Com radio: the serial ports of this computer, each with what stands
// behind it and the one the radio stands for checked, then a way to name any other
// device or a serial server on the network. It opens with a right click, the menu key
// or Shift+F10 on the radio, and only reports the operator's choice.
class PortMenu : public QMenu
{
    Q_OBJECT
public:
    explicit PortMenu(QWidget *parent = nullptr);

    // Lets the radio of "Com <port>" ask for this menu.
    void attach(QAbstractButton *radio, int port);
    // Shows the menu for "Com <port>", which now stands for `current`, at `where`.
    void popupFor(int port, const QString &current, const QList<SerialPortEntry> &ports,
                  const QPoint &where);

signals:
    // A radio asks for its menu, to be shown at `where` (global coordinates).
    void requested(int port, const QPoint &where);
    void deviceChosen(int port, const QString &device);
    void otherChosen(int port);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int m_port = 0;
};
