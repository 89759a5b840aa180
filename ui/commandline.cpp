#include "ui/commandline.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString ProgramName = QStringLiteral("rollcall");

CommandLine refusal(const QString &problem)
{
    CommandLine result;
    result.action = CommandLine::Action::Refuse;
    result.text = ProgramName + QStringLiteral(": ") + problem;
    return result;
}

// Qt words its parse errors as sentences ("Unknown option 'x'."); a Unix tool's error
// line reads "rollcall: unknown option 'x'".
QString asErrorLine(QString qtError)
{
    if (qtError.endsWith(QLatin1Char('.')))
        qtError.chop(1);
    if (!qtError.isEmpty())
        qtError[0] = qtError.at(0).toLower();
    return qtError;
}

// Checks one "N=DEVICE" and enters it; an empty result means it was taken.
QString takeComOption(const QString &value, PortMap &ports)
{
    const QString given = QStringLiteral("--com ") + value + QStringLiteral(": ");
    const qsizetype equals = value.indexOf(QLatin1Char('='));
    if (equals < 0)
        return given + CommandLine::tr("expected N=DEVICE, for example --com 1=/dev/ttyUSB0");
    bool isNumber = false;
    const int port = value.left(equals).toInt(&isNumber);
    if (!isNumber)
        return given + CommandLine::tr("the port must be a number from 1 to 5");
    if (port < PortMap::FirstPort || port > PortMap::LastPort)
        return given + CommandLine::tr("the port must be 1 to 5");
    const QString device = value.mid(equals + 1);
    if (device.isEmpty())
        return given + CommandLine::tr("the device is missing");
    ports.setDevice(port, device);
    return QString();
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Lists the readers on a serial multi-drop line and gives the reader at "
           "address 0 a new address."));
    // Our own help option: the one from addHelpOption() also offers --help-all, whose
    // Qt options only a QApplication could list.
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        tr("Show this help and exit."));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           tr("Show the version and exit."));
    const QCommandLineOption comOption(
        QStringLiteral("com"),
        tr("Use DEVICE for the radio \"Com N\", N from 1 to 5; wins over ROLLCALL_COM<N>. "
           "Repeatable."),
        QStringLiteral("N=DEVICE"));
    parser.addOptions({helpOption, versionOption, comOption});

    if (!parser.parse(arguments))
        return refusal(asErrorLine(parser.errorText()));
    if (!parser.positionalArguments().isEmpty())
        return refusal(
            tr("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));

    CommandLine result;
    if (parser.isSet(helpOption)) {
        result.action = Action::ShowHelp;
        // Our own usage line: the parser would name the program by the running
        // application's first argument, or "<executable_name>" without one.
        result.text = tr("Usage: %1 [options]").arg(ProgramName) + QLatin1Char('\n') +
                      parser.helpText().section(QLatin1Char('\n'), 1);
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.action = Action::ShowVersion;
        result.text =
            ProgramName + QLatin1Char(' ') + QStringLiteral(ROLLCALL_VERSION) + QLatin1Char('\n');
        return result;
    }
    for (const QString &value : parser.values(comOption)) {
        const QString problem = takeComOption(value, result.ports);
        if (!problem.isEmpty())
            return refusal(problem);
    }
    return result;
}
