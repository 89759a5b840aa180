#include "mainwindow.h"

#include "addressassignment.h"
#include "busscan.h"
#include "layouttable.h"
#include "qtdialogs.h"
#include "readerlink.h"
#include "wrappedtextbutton.h"

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

} // namespace

MainWindow::MainWindow(OperatorDialogs *dialogs, const PortMap &ports, QWidget *parent)
    : QWidget(parent), m_ownDialogs(dialogs ? nullptr : std::make_unique<QtDialogs>(this)),
      m_dialogs(dialogs ? *dialogs : *m_ownDialogs), m_ports(ports), MSComm1(ports, this)
{
    setObjectName(QStringLiteral("rollcall"));
    setWindowTitle(QStringLiteral("rollcall"));
    setFixedSize(layout::clientSize());

    Timer1.setObjectName(QStringLiteral("Timer1"));
    Timer1.setInterval(200);
    // Coarse timers may fire up to 5% early; the reply window must never be short.
    Timer1.setTimerType(Qt::PreciseTimer);
    MSComm1.setObjectName(QStringLiteral("MSComm1"));

    m_link = new ReaderLink(MSComm1, Timer1, this);
    m_scan = new BusScan(*m_link, MSComm1, this);
    m_assignment = new AddressAssignment(*m_link, MSComm1, m_dialogs, this);

    buildControls();

    connect(m_scan, &BusScan::listCleared, List1, &QListWidget::clear);
    connect(m_scan, &BusScan::readerListed, List1,
            [this](const QString &entry) { List1->addItem(entry); });
    connect(m_scan, &BusScan::statusChanged, this, &MainWindow::showStatus);
    connect(m_assignment, &AddressAssignment::statusChanged, this, &MainWindow::showStatus);
    connect(&MSComm1, &SerialLine::lost, this, [this](const QString &reason) {
        if (!m_commandRunning)
            showPortProblem(reason);
    });

    form_Load();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls()
{
    Frame1 = place(new QGroupBox(QStringLiteral("Comm Port"), this), "Frame1");
    Option1 = place(new QRadioButton(QStringLiteral("Com 1"), Frame1), "Option1");
    Option2 = place(new QRadioButton(QStringLiteral("Com 2"), Frame1), "Option2");
    Option3 = place(new QRadioButton(QStringLiteral("Com 3"), Frame1), "Option3");
    Option4 = place(new QRadioButton(QStringLiteral("Com 4"), Frame1), "Option4");
    Option5 = place(new QRadioButton(QStringLiteral("Com 5"), Frame1), "Option5");
    Frame2 = place(new QGroupBox(QStringLiteral("Baud Rate"), this), "Frame2");
    Option9 = place(new QRadioButton(QStringLiteral("19200"), Frame2), "Option9");
    Option10 = place(new QRadioButton(QStringLiteral("9600"), Frame2), "Option10");
    Command1 =
        place(new WrappedTextButton(QStringLiteral("Change Address 0 Reader to New Address"), this),
              "Command1");
    Command2 =
        place(new WrappedTextButton(QStringLiteral("Show Addresses of Readers Online"), this),
              "Command2");
    List1 = place(new QListWidget(this), "List1");
    Label1 = place(new QLabel(QStringLiteral("Readers Online"), this), "Label1");
    Label2 = place(new QLabel(this), "Label2");

    Label1->setFont(labelFont());
    Label2->setFont(labelFont());
    Label2->setAlignment(Qt::AlignCenter);

    // Captions stay "Com n"; the tooltip tells which device stands behind each.
    QRadioButton *ports[] = {Option1, Option2, Option3, Option4, Option5};
    for (int i = 0; i < 5; ++i)
        ports[i]->setToolTip(m_ports.deviceFor(i + 1));

    QWidget *tabOrder[] = {Option1, Option2,  Option3,  Option4,  Option5,
                           Option9, Option10, Command1, Command2, List1};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    for (QRadioButton *radio : {Option1, Option2, Option3, Option4, Option5, Option9, Option10})
        connect(radio, &QRadioButton::clicked, this, &MainWindow::reset_232);
    connect(Command1, &QPushButton::clicked, this, &MainWindow::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &MainWindow::Command2_Click);
}

void MainWindow::form_Load()
{
    form_loading = true;
    Option1->setChecked(true);
    Option10->setChecked(true);
    // The port starts as port 1 at 9600,N,8,1, which agrees with the radios.
    if (!MSComm1.open())
        showPortProblem(portFailureText(MSComm1.port()));
    form_loading = false;
}

void MainWindow::reset_232()
{
    if (form_loading)
        return;
    MSComm1.close();
    MSComm1.setSettings(chosenSettings());
    MSComm1.choosePort(chosenPort());
    if (MSComm1.open()) {
        // A port problem is over once a port opens; a command's result stays.
        if (m_portProblemShown)
            showStatus(QString());
        return;
    }
    if (!m_commandRunning)
        showPortProblem(portFailureText(MSComm1.port()));
    m_dialogs.message(QStringLiteral("Invalid Com Port"), MSComm1.failureReason());
}

int MainWindow::chosenPort() const
{
    const QRadioButton *ports[] = {Option1, Option2, Option3, Option4, Option5};
    for (int i = 0; i < 5; ++i) {
        if (ports[i]->isChecked())
            return i + 1;
    }
    return MSComm1.port();
}

QString MainWindow::chosenSettings() const
{
    if (Option10->isChecked())
        return QStringLiteral("9600,N,8,1");
    if (Option9->isChecked())
        return QStringLiteral("19200,N,8,1");
    return MSComm1.settings();
}

QString MainWindow::portFailureText(int port) const
{
    return tr("Com %1 could not be opened: %2").arg(port).arg(MSComm1.failureReason());
}

void MainWindow::showPortProblem(const QString &text)
{
    showStatus(text);
    m_portProblemShown = true;
}

void MainWindow::showStatus(const QString &text)
{
    m_portProblemShown = false;
    Label2->setText(text);
    // Painted by the next pass of the event loop: during a scan that is the first pass
    // of the reply wait, right after the poll went out. A synchronous repaint here costs
    // over half a millisecond under X for every address, ahead of the poll.
    Label2->update();
}

template <typename Command> void MainWindow::runCommand(Command &command)
{
    // One command at a time: a click during the reply wait would otherwise start a
    // second command inside the first and mix their traffic on the line.
    if (m_commandRunning)
        return;
    m_commandRunning = true;
    Command1->setEnabled(false);
    Command2->setEnabled(false);
    command.run();
    if (m_link->isAborted())
        return;
    Command1->setEnabled(true);
    Command2->setEnabled(true);
    m_commandRunning = false;
}

void MainWindow::Command1_Click()
{
    runCommand(*m_assignment);
}

void MainWindow::Command2_Click()
{
    runCommand(*m_scan);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Ends the program at once, even inside a command's reply window: the wait sees the
    // abort, the command sends nothing more, and the event loop ends when it unwinds.
    m_link->abort();
    MSComm1.close();
    event->accept();
    QCoreApplication::exit(0);
}
