#include "window/mainwindow.h"

#include "bus/frames.h"
#include "bus/readerlink.h"
#include "commands/addressassignment.h"
#include "commands/busscan.h"
#include "line/lineaddress.h"
#include "window/layouttable.h"
#include "window/portmenu.h"
#include "window/qtdialogs.h"
#include "window/wrappedtextbutton.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>

#include <utility>

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

// What the status line's tooltip adds to a stop: what another master sent, and what to do.
QString otherMasterStory(const StopReason &why)
{
    QString story = why.otherMasterText();
    story[0] = story[0].toUpper();
    return story + QLatin1Char('.');
}

// Why a command stopped, after "Scan stopped at 005: ".
QString stopReasonText(const StopReason &why)
{
    if (why.isOtherMaster()) // the whole of it in the tooltip: see otherMasterStory()
        return StopReason::otherMasterSummary();
    switch (why.line.kind) {
    case PortProblem::Kind::None:
        return MainWindow::tr("the port is not open");
    case PortProblem::Kind::Unplugged:
        return MainWindow::tr("adapter unplugged");
    default: // a port chosen during the command did not open
        return why.line.summary();
    }
}

constexpr int SlowBaud = 9600;
constexpr int FastBaud = 19200;

} // namespace

MainWindow::MainWindow(WindowDialogs *dialogs, const PortMap &ports, QWidget *parent)
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

    m_portsForMenu = [] {
        return underStableNames(SerialPortList::ofThisComputer().entries(),
                                stableLinksOfThisComputer());
    };
    buildControls();

    connect(m_scan, &BusScan::listCleared, m_readerList, &QListWidget::clear);
    connect(m_scan, &BusScan::readerListed, m_readerList,
            [this](const QString &entry) { m_readerList->addItem(entry); });
    connect(m_scan, &BusScan::statusChanged, this, &MainWindow::showStatus);
    connect(m_scan, &BusScan::notAReadersReply, this,
            [this](int address, const QByteArray &firstBytes) {
                addFinding(tr("%1 answered %2, not a reader's reply")
                               .arg(frames::addressText(address),
                                    QString::fromLatin1(firstBytes.toHex(' ').toUpper())));
            });
    connect(m_link, &ReaderLink::echoSetAside, this, [this] {
        m_echoSetAside = true;
        showFindings();
    });
    connect(m_scan, &BusScan::stopped, this, [this](int address, const StopReason &why) {
        showLineTrouble(
            tr("Scan stopped at %1: %2").arg(frames::addressText(address), stopReasonText(why)),
            why.isOtherMaster() ? otherMasterStory(why) : QString());
    });
    connect(m_assignment, &AddressAssignment::statusChanged, this, &MainWindow::showStatus);
    // The scan to verify it with is the button's.
    connect(m_assignment, &AddressAssignment::changed, this, [this] {
        m_dialogs.message(tr("Reader address has been changed - rerun \"Show Addresses\" to "
                             "verify the change"));
    });
    connect(m_assignment, &AddressAssignment::stopped, this, [this](const StopReason &why) {
        showLineTrouble(tr("Address change stopped: %1").arg(stopReasonText(why)),
                        why.isOtherMaster() ? otherMasterStory(why) : QString());
    });
    // A command that finds the line gone says so itself, with the address it stopped at.
    connect(&m_port, &Line::lost, this, [this] {
        if (!m_commandRunning)
            showPortProblem(portProblemText());
    });

    connect(&m_port, &Line::opened, this, &MainWindow::onPortOpened);
    connect(&m_port, &Line::openFailed, this, &MainWindow::onPortOpenFailed);

    // Checking a radio from code emits no click, so this reopens nothing; the port
    // starts on port 1 at 9600,N,8,1, as the radios now show. A server on the network may
    // take seconds to answer: the window shows meanwhile, live, and closes at once.
    m_portButtons->button(PortMap::FirstPort)->setChecked(true);
    m_speedButtons->button(SlowBaud)->setChecked(true);
    m_port.open();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    auto *portGroup = place(new QGroupBox(tr("Comm Port"), this), "Frame1");
    m_portButtons = new QButtonGroup(this);
    m_portMenu = new PortMenu(this);
    for (int port = PortMap::FirstPort; port <= PortMap::LastPort; ++port) {
        const QByteArray name = "Option" + QByteArray::number(port);
        auto *radio = place(new QRadioButton(tr("Com %1").arg(port), portGroup), name.constData());
        m_portButtons->addButton(radio, port);
        m_portMenu->attach(radio, port);
    }
    describePortRadios(SerialPortList::ofThisComputer());

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
    m_findingsLabel = new QLabel(this);
    m_findingsLabel->setObjectName(QLatin1String(layout::FindingsLines.name));
    m_findingsLabel->setGeometry(layout::pixels(layout::FindingsLines));
    m_findingsLabel->setStyleSheet(QStringLiteral("color: #8a4b00"));
    m_findingsLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_findingsLabel->hide();

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
    connect(m_portMenu, &PortMenu::requested, this, &MainWindow::showPortMenu);
    connect(m_portMenu, &PortMenu::deviceChosen, this, &MainWindow::chooseDevice);
    connect(m_portMenu, &PortMenu::otherChosen, this, &MainWindow::askForDevice);
}

void MainWindow::onPortOpened()
{
    // A port problem is over once a port opens; a command's result stays.
    if (m_portProblemShown)
        showStatus(QString());
    if (!m_commandRunning)
        showOpenNote();
}

// At the start the status line says it; once the operator has chosen a port, the box
// with the ports of this computer helps them pick another.
void MainWindow::onPortOpenFailed()
{
    if (!m_commandRunning)
        showPortProblem(portProblemText());
    if (!m_portChosen)
        return;
    // The list of ports is what an operator needs to find their adapter; it is taken
    // afresh, since an adapter may have been plugged in since the start.
    const SerialPortList ports = SerialPortList::ofThisComputer();
    describePortRadios(ports);
    m_dialogs.messageWithDetails(
        tr("Invalid Com Port"), m_port.problem().details(),
        ports.report(m_port.port()) + QLatin1String("\n\n") +
            tr("A right click on a Com radio picks one of the listed ports, "
               "or another device or network address."));
}

// Said once where the speed is chosen: a line whose speed rollcall cannot set.
void MainWindow::showOpenNote()
{
    const QString note = m_port.openNote();
    if (!note.isEmpty())
        showPortProblem(tr("Com %1: %2").arg(QString::number(m_port.port()), note));
}

void MainWindow::describePortRadios(const SerialPortList &ports)
{
    // The caption stays "Com n"; the tooltip tells which device stands behind it.
    for (QAbstractButton *radio : m_portButtons->buttons()) {
        const QString device = m_ports.deviceFor(m_portButtons->id(radio));
        const QString behind = ports.whatIsBehind(device);
        const QString named = behind.isEmpty() ? device : tr("%1 (%2)").arg(device, behind);
        radio->setToolTip(tr("%1\nA right click chooses another device.").arg(named));
    }
}

void MainWindow::setPortsForMenu(std::function<QList<SerialPortEntry>()> ports)
{
    m_portsForMenu = std::move(ports);
}

void MainWindow::showPortMenu(int port, const QPoint &where)
{
    // Taken afresh each time: an adapter may have been plugged in since.
    m_portMenu->popupFor(port, m_ports.deviceFor(port), m_portsForMenu(), where);
}

void MainWindow::chooseDevice(int port, const QString &device)
{
    m_ports.setDevice(port, device);
    m_port.setDevice(port, device);
    describePortRadios(SerialPortList::ofThisComputer());
    // As a click on the radio would, whether or not a command runs.
    if (m_portButtons->checkedId() == port)
        reopenPort();
}

void MainWindow::askForDevice(int port)
{
    const QString current = m_ports.deviceFor(port);
    const std::optional<QString> typed =
        m_dialogs.editText(tr("Device or network address for Com %1\n"
                              "(a path, rfc2217://HOST:PORT or socket://HOST:PORT):")
                               .arg(port),
                           current);
    if (!typed)
        return;
    const QString device = typed->trimmed();
    QString why;
    if (!LineAddress::parse(device, &why)) {
        if (!why.isEmpty())
            why[0] = why[0].toUpper();
        m_dialogs.messageWithDetails(
            tr("Not a device or network address"),
            tr("%1.\n\nCom %2 still stands for %3.").arg(why, QString::number(port), current));
        return;
    }
    chooseDevice(port, device);
}

void MainWindow::reopenPort()
{
    m_port.close();
    m_port.setSettings(chosenSettings());
    if (m_portButtons->checkedId() != -1)
        m_port.choosePort(m_portButtons->checkedId());
    m_portChosen = true;
    m_port.open();
}

LineSettings MainWindow::chosenSettings() const
{
    const int baud = m_speedButtons->checkedId();
    return baud == -1 ? m_port.settings() : LineSettings::at(baud);
}

QString MainWindow::portProblemText() const
{
    return m_port.problem().statusText(m_port.port());
}

// The status line holds about 55 characters, a device path may hold far more: the path
// gives way in its middle, the words around it stay whole.
QString MainWindow::fitToStatusLine(const QString &text) const
{
    const QFontMetrics metrics(m_statusLabel->font());
    const int room = m_statusLabel->contentsRect().width();
    if (metrics.horizontalAdvance(text) <= room)
        return text;
    const QString device = m_port.device();
    const qsizetype at = device.isEmpty() ? -1 : text.indexOf(device);
    if (at >= 0) {
        const int around = metrics.horizontalAdvance(QString(text).remove(at, device.size()));
        QString shortened = QString(text).replace(
            at, device.size(), metrics.elidedText(device, Qt::ElideMiddle, room - around));
        if (metrics.horizontalAdvance(shortened) <= room)
            return shortened;
    }
    return metrics.elidedText(text, Qt::ElideMiddle, room);
}

void MainWindow::showPortProblem(const QString &text)
{
    showLineTrouble(text);
    m_portProblemShown = true;
}

// The status line shows what fits; its tooltip and accessible description tell the
// whole story: the full device path, the system's reason, what to do.
void MainWindow::showLineTrouble(const QString &text, const QString &whole)
{
    showStatus(text);
    const QString details = whole.isEmpty() ? m_port.problem().details() : whole;
    const QString story = details.isEmpty() ? text : text + QLatin1String("\n\n") + details;
    m_statusLabel->setToolTip(story);
    m_statusLabel->setAccessibleDescription(story);
}

void MainWindow::addFinding(const QString &text)
{
    m_findings.append(text);
    showFindings();
}

// Two findings, the second saying how many more there are; every one of them in the
// tooltip, for a mouse or a screen reader.
void MainWindow::showFindings()
{
    QStringList all = m_findings;
    if (m_echoSetAside)
        all.prepend(tr("The adapter echoes what it sends; its echo is set aside"));
    m_findingsLabel->setVisible(!all.isEmpty());
    const QString story = all.join(QLatin1Char('\n'));
    m_findingsLabel->setToolTip(story);
    m_findingsLabel->setAccessibleDescription(story);
    constexpr qsizetype Shown = 2;
    QStringList lines = all.mid(0, Shown);
    if (all.size() > Shown)
        lines.last() += tr(" (and %n more)", nullptr, static_cast<int>(all.size() - Shown));
    const QFontMetrics metrics(m_findingsLabel->font());
    const int room = m_findingsLabel->contentsRect().width();
    for (QString &line : lines)
        line = metrics.elidedText(line, Qt::ElideMiddle, room);
    m_findingsLabel->setText(lines.join(QLatin1Char('\n')));
}

void MainWindow::showStatus(const QString &text)
{
    m_portProblemShown = false;
    if (!m_statusLabel->toolTip().isEmpty()) {
        m_statusLabel->setToolTip(QString());
        m_statusLabel->setAccessibleDescription(QString());
    }
    // setText() schedules the paint for the next pass of the event loop: during a scan
    // that is the first pass of the reply wait, right after the poll went out. A
    // synchronous repaint here would cost over half a millisecond under X for every
    // address, ahead of the poll.
    m_statusLabel->setText(fitToStatusLine(text));
}

template <typename Command> void MainWindow::runCommand(Command &command)
{
    // One command at a time: a click during the reply wait would otherwise start a
    // second command inside the first and mix their traffic on the line.
    if (m_commandRunning)
        return;
    m_commandRunning = true;
    m_findings.clear();
    showFindings();
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
