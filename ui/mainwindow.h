#pragma once

#include "serialline.h"

#include <QTimer>
#include <QWidget>

#include <memory>

class AddressAssignment;
class BusScan;
class OperatorDialogs;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class ReaderLink;

// The one window: port and speed choice, the two commands, the list of readers found
// and the status line. It wires clicks to the commands and shows what they report.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    // Without dialogs of its own the window uses the real modal ones.
    explicit MainWindow(OperatorDialogs *dialogs = nullptr, const PortMap &ports = PortMap(),
                        QWidget *parent = nullptr);
    ~MainWindow() override;

    SerialLine &port() { return MSComm1; }
    ReaderLink &link() { return *m_link; }
    bool isCommandRunning() const { return m_commandRunning; }

    // Closes and reopens the port with the port and speed the radios show.
    void reset_232();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void form_Load();
    void Command1_Click();
    void Command2_Click();
    template <typename Command> void runCommand(Command &command);
    void showStatus(const QString &text);
    void showPortProblem(const QString &text);
    int chosenPort() const;
    QString chosenSettings() const;
    QString portFailureText(int port) const;

    std::unique_ptr<OperatorDialogs> m_ownDialogs;
    OperatorDialogs &m_dialogs;

    QGroupBox *Frame1 = nullptr;
    QGroupBox *Frame2 = nullptr;
    QRadioButton *Option1 = nullptr;
    QRadioButton *Option2 = nullptr;
    QRadioButton *Option3 = nullptr;
    QRadioButton *Option4 = nullptr;
    QRadioButton *Option5 = nullptr;
    QRadioButton *Option9 = nullptr;
    QRadioButton *Option10 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QListWidget *List1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QTimer Timer1{this};
    PortMap m_ports;
    SerialLine MSComm1;

    ReaderLink *m_link = nullptr;
    BusScan *m_scan = nullptr;
    AddressAssignment *m_assignment = nullptr;

    bool form_loading = false;
    bool m_commandRunning = false;
    bool m_portProblemShown = false;
};
