#pragma once

#include "line/line.h"
#include "line/portmap.h"
#include "line/serialportlist.h"

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

class AddressAssignment;
class BusScan;
class PortMenu;
class QButtonGroup;
class QLabel;
class QListWidget;
class QPushButton;
class ReaderLink;
class WindowDialogs;

// The one window: port and speed choice, the two commands, the list of readers found
// and the status line. It wires clicks to the commands and shows what they report.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    // Without dialogs of its own the window uses the real modal ones.
    explicit MainWindow(WindowDialogs *dialogs = nullptr, const PortMap &ports = PortMap(),
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    Line &port() { return m_port; }
    ReaderLink &link() { return *m_link; }
    bool isCommandRunning() const { return m_commandRunning; }

    // Closes the port and opens it again with the port and speed the radios show.
    void reopenPort();

    // Where the menus of the Com radios take their list of ports from: this computer's
    // ports by default. The system's list never holds a pseudo-terminal, so a test
    // gives a list of its own.
    void setPortsForMenu(std::function<QList<SerialPortEntry>()> ports);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void onPortOpened();
    void onPortOpenFailed();
    void onAssignClicked();
    void onScanClicked();
    template <typename Command> void runCommand(Command &command);
    void showStatus(const QString &text);
    // A port that will not open or went down: cleared again once a port opens.
    void showPortProblem(const QString &text);
    void showOpenNote();
    // A command stopped by the line: it stays, as the command's result. The tooltip tells
    // the `whole` story, by default the port's problem in full.
    void showLineTrouble(const QString &text, const QString &whole = QString());
    // Beside the list and the status line, never in them: their texts stay as they are.
    void addFinding(const QString &text);
    void showFindings();
    QString fitToStatusLine(const QString &text) const;
    LineSettings chosenSettings() const;
    QString portProblemText() const;
    void describePortRadios(const SerialPortList &ports);
    void showPortMenu(int port, const QPoint &where);
    // "Com <port>" stands for `device` for the rest of the run; nothing is stored.
    void chooseDevice(int port, const QString &device);
    void askForDevice(int port);

    std::unique_ptr<WindowDialogs> m_ownDialogs;
    WindowDialogs &m_dialogs;
    PortMap m_ports;
    Line m_port;

    QButtonGroup *m_portButtons = nullptr;  // ids are the port numbers
    QButtonGroup *m_speedButtons = nullptr; // ids are the baud rates
    QPushButton *m_assignButton = nullptr;
    QPushButton *m_scanButton = nullptr;
    QListWidget *m_readerList = nullptr;
    QLabel *m_statusLabel = nullptr;
    QLabel *m_findingsLabel = nullptr;
    QStringList m_findings;      // of the last command
    bool m_echoSetAside = false; // the adapter's habit: said for the rest of the run
    PortMenu *m_portMenu = nullptr;
    std::function<QList<SerialPortEntry>()> m_portsForMenu;

    ReaderLink *m_link = nullptr;
    BusScan *m_scan = nullptr;
    AddressAssignment *m_assignment = nullptr;

    bool m_commandRunning = false;
    bool m_portProblemShown = false;
    // Whether the operator has chosen a port yet; before, the first open is the start's.
    bool m_portChosen = false;
    bool m_deleteWhenCommandEnds = false;
};
