#include "ui/mainwindow.h"

#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "ui/layouttable.h"
#include "ui/qtdialogs.h"
#include "ui/wrappedtextbutton.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>

namespace {

template <typename Widget> Widget *place(Widget *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(layout::pixels(layout::placementOf(name)));
    return widget;
}

QFont labelFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Bold);
    return font;
}

constexpr int SlowBaud = 9600;
constexpr int FastBaud = 19200;

} // namespace

MainWindow::MainWindow(OperatorDialogs *dialogs, const PortMap &ports, QWidget *parent)
    : QWidget(parent), m_ownDialogs(dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      m_dialogs(dialogs ? *dialogs : *m_ownDialogs), m_ports(ports), m_port(ports, this)
{
    setObjectName(QStringLiteral("rollcall"));
    setWindowTitle(tr("rollcall"));
    setFixedSize(layout::clientSize());
    m_port.setObjectName(QStringLiteral("MSComm1"));

    m_link = new ReaderLink(m_port, this);
    m_scan = new BusScan(*m_link, this);
    m_assignment = new AddressAssignment(*m_link, m_dialogs, this);

    buildControls();

    connect(m_scan, &BusScan::listCleared, m_readerList, &QListWidget::clear);
    connect(m_scan, &BusScan::readerListed, m_readerList,
            [this](const QString &entry) { m_readerList->addItem(entry); });
    connect(m_scan, &BusScan::statusChanged, this, &MainWindow::showStatus);
    connect(m_assignment, &AddressAssignment::statusChanged, this, &MainWindow::showStatus);
    connect(&m_port, &SerialLine::lost, this, [this](const QString &reason) {
        if (!m_commandRunning)
            showPortProblem(reason);
    });

    openFirstPort();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    auto *portGroup = place(new QGroupBox(tr("Comm Port"), this), "Frame1");
    m_portButtons = new QButtonGroup(this);
    for (int port = PortMap::FirstPort; port <= PortMap::LastPort; ++port) {
        const QByteArray name = "Option" + QByteArray::number(port);
        auto *radio = place(new QRadioButton(tr("Com %1").arg(port), portGroup), name.constData());
        // The caption stays "Com n"; the tooltip tells which device stands behind it.
        radio->setToolTip(m_ports.deviceFor(port));
        m_portButtons->addButton(radio, port);
    }

    auto *speedGroup = place(new QGroupBox(tr("Baud Rate"), this), "Frame2");
    m_speedButtons = new QButtonGroup(this);
    m_speedButtons->addButton(place(new QRadioButton(tr("19200"), speedGroup), "Option9"),
                              FastBaud);
    m_speedButtons->addButton(place(new QRadioButton(tr("9600"), speedGroup), "Option10"),
                              SlowBaud);

    m_assignButton = place(
        new WrappedTextButton(tr("Change Address 0 Reader to New Address"), this), "Command1");
    m_scanButton =
        place(new WrappedTextButton(tr("Show Addresses of Readers Online"), this), "Command2");
    m_readerList = place(new QListWidget(this), "List1");
    auto *listHeading = place(new QLabel(tr("Readers Online"), this), "Label1");
    m_statusLabel = place(new QLabel(this), "Label2");

    listHeading->setFont(labelFont());
    m_statusLabel->setFont(labelFont());
    m_statusLabel->setAlignment(Qt::AlignCenter);

    // The layout table lists the controls in tab order.
    QWidget *previous = nullptr;
    for (const layout::Placement &placement : layout::Controls) {
        auto *control = findChild<QWidget *>(QLatin1String(placement.name));
        if (!(control->focusPolicy() & Qt::TabFocus))
            continue;
        if (previous)
            setTabOrder(previous, control);
        previous = control;
    }

    connect(m_portButtons, &QButtonGroup::idClicked, this, &MainWindow::reopenPort);
    connect(m_speedButtons, &QButtonGroup::idClicked, this, &MainWindow::reopenPort);
    connect(m_assignButton, &QPushButton::clicked, this, &MainWindow::onAssignClicked);
    connect(m_scanButton, &QPushButton::clicked, this, &MainWindow::onScanClicked);
}

void MainWindow::openFirstPort()
{
    // Checking a radio from code emits no click, so this reopens nothing; the port
    // starts on port 1 at 9600,N,8,1, as the radios now show.
    m_portButtons->button(PortMap::FirstPort)->setChecked(true);
    m_speedButtons->button(SlowBaud)->setChecked(true);
    if (!m_port.open())
        showPortProblem(portFailureText(m_port.port()));
}

void MainWindow::reopenPort()
{
    m_port.close();
    m_port.setSettings(chosenSettings());
    if (m_portButtons->checkedId() != -1)
        m_port.choosePort(m_portButtons->checkedId());
    if (m_port.open()) {
        // A port problem is over once a port opens; a command's result stays.
        if (m_portProblemShown)
            showStatus(QString());
        return;
    }
    if (!m_commandRunning)
        showPortProblem(portFailureText(m_port.port()));
    m_dialogs.message(tr("Invalid Com Port"), m_port.failureReason());
}

QString MainWindow::chosenSettings() const
{
    const int baud = m_speedButtons->checkedId();
    if (baud == -1)
        return m_port.settings();
    return QStringLiteral("%1,N,8,1").arg(baud);
}

QString MainWindow::portFailureText(int port) const
{
    return tr("Com %1 could not be opened: %2").arg(port).arg(m_port.failureReason());
}

void MainWindow::showPortProblem(const QString &text)
{
    showStatus(text);
    m_portProblemShown = true;
}

void MainWindow::showStatus(const QString &text)
{
    m_portProblemShown = false;
    m_statusLabel->setText(text);
    // Painted by the next pass of the event loop: during a scan that is the first pass
    // of the reply wait, right after the poll went out. A synchronous repaint here costs
    // over half a millisecond under X for every address, ahead of the poll.
    m_statusLabel->update();
}

template <typename Command> void MainWindow::runCommand(Command &command)
{
    // One command at a time: a click during the reply wait would otherwise start a
    // second command inside the first and mix their traffic on the line.
    if (m_commandRunning)
        return;
    m_commandRunning = true;
    m_assignButton->setEnabled(false);
    m_scanButton->setEnabled(false);
    command.run();
    if (m_link->isAborted()) {
        // Closed while the command ran: it has unwound now, and nothing else is shown.
        if (m_deleteWhenCommandEnds)
            deleteLater();
        return;
    }
    m_assignButton->setEnabled(true);
    m_scanButton->setEnabled(true);
    m_commandRunning = false;
}

void MainWindow::onAssignClicked()
{
    runCommand(*m_assignment);
}

void MainWindow::onScanClicked()
{
    runCommand(*m_scan);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Ends the program at once, even inside a command's reply window: the wait sees the
    // abort, the command sends nothing more, and the event loop ends when it unwinds.
    m_link->abort();
    m_port.close();
    // A window that deletes itself on close must outlive the command running inside it;
    // it goes once the command has unwound.
    if (m_commandRunning && testAttribute(Qt::WA_DeleteOnClose)) {
        setAttribute(Qt::WA_DeleteOnClose, false);
        m_deleteWhenCommandEnds = true;
    }
    event->accept();
    QCoreApplication::exit(0);
}
