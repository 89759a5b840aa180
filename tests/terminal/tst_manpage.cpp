// The manual page against what the program itself says: `rollcall --help` is the one
// source of the options, the commands and the exit statuses, and the manual page must
// agree with it. The real program is run; the manual page is read as troff source.

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

const QString Program = QStringLiteral(ROLLCALL_PROGRAM);

// ROLLCALL_MAN_PAGE points the test at another manual page (to see it fail on one that
// lacks an option, say); by default the one that is installed.
QString manPagePath()
{
    const QString chosen = qEnvironmentVariable("ROLLCALL_MAN_PAGE");
    return chosen.isEmpty() ? QStringLiteral(ROLLCALL_MAN_PAGE_SOURCE) : chosen;
}

// The arguments of a troff request, split at blanks outside double quotes.
QStringList requestArguments(const QString &text)
{
    QStringList arguments;
    QString current;
    bool quoted = false;
    bool any = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
            any = true;
        } else if (c == QLatin1Char(' ') && !quoted) {
            if (any)
                arguments.append(current);
            current.clear();
            any = false;
        } else {
            current.append(c);
            any = true;
        }
    }
    if (any)
        arguments.append(current);
    return arguments;
}

// The text of troff escapes as a reader sees it.
QString unescaped(QString text)
{
    text.remove(QRegularExpression(QStringLiteral(R"(\\f[BIRP])")));
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    text.replace(QStringLiteral("\\(dq"), QStringLiteral("\""));
    text.replace(QStringLiteral("\\&"), QString());
    return text;
}

// One line of the page as printed: a font request's arguments joined as troff joins them
// (B and I with blanks, the alternating ones without), other requests as nothing.
QString printed(const QString &line)
{
    if (!line.startsWith(QLatin1Char('.')))
        return unescaped(line);
    const qsizetype blank = line.indexOf(QLatin1Char(' '));
    const QString request = line.mid(1, blank < 0 ? -1 : blank - 1);
    const QStringList arguments = blank < 0 ? QStringList() : requestArguments(line.mid(blank + 1));
    static const QSet<QString> alternating{QStringLiteral("BR"), QStringLiteral("BI"),
                                           QStringLiteral("IB"), QStringLiteral("IR"),
                                           QStringLiteral("RB"), QStringLiteral("RI")};
    if (request == QLatin1String("B") || request == QLatin1String("I"))
        return unescaped(arguments.join(QLatin1Char(' ')));
    if (alternating.contains(request))
        return unescaped(arguments.join(QString()));
    return {};
}

struct ManPage
{
    QMap<QString, QStringList> sections; // by name, the source lines of each
};

ManPage readManPage(const QString &path)
{
    ManPage page;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return page;
    QString section;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String(".SH "))) {
            section = requestArguments(line.mid(4)).join(QLatin1Char(' '));
            page.sections[section];
        } else if (!section.isEmpty()) {
            page.sections[section].append(line);
        }
    }
    return page;
}

// A tagged paragraph (.TP): its tag as printed and its text as printed, on one line.
struct Entry
{
    QString tag;
    QString text;
};

QList<Entry> taggedParagraphs(const QStringList &lines)
{
    QList<Entry> entries;
    bool tagNext = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String(".TP"))) {
            entries.append(Entry{});
            tagNext = true;
        } else if (line.startsWith(QLatin1String(".PP"))) {
            tagNext = false;
            entries.append(Entry{}); // text after it belongs to no entry
        } else if (!entries.isEmpty()) {
            const QString text = printed(line);
            if (tagNext) {
                entries.last().tag = text.simplified();
                tagNext = false;
            } else if (!text.isEmpty()) {
                entries.last().text += QLatin1Char(' ') + text;
            }
        }
    }
    entries.removeIf([](const Entry &entry) { return entry.tag.isEmpty(); });
    return entries;
}

// The synopsis as printed: one line per form of the command (troff breaks at .br).
QStringList synopsisForms(const QStringList &lines)
{
    QStringList forms{QString()};
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String(".br")))
            forms.append(QString());
        else
            forms.last() += QLatin1Char(' ') + printed(line);
    }
    for (QString &form : forms)
        form = form.simplified();
    forms.removeAll(QString());
    return forms;
}

// The words that carry a meaning: no short ones, no joining ones.
QSet<QString> meaningWords(const QString &text)
{
    static const QSet<QString> joining{QStringLiteral("with"), QStringLiteral("that"),
                                       QStringLiteral("this"), QStringLiteral("from"),
                                       QStringLiteral("were"), QStringLiteral("been")};
    QSet<QString> words;
    static const QRegularExpression word(QStringLiteral(R"([a-z0-9+]+)"));
    for (auto match = word.globalMatch(text.toLower()); match.hasNext();) {
        const QString found = match.next().captured();
        if (found.size() >= 4 && !joining.contains(found))
            words.insert(found);
    }
    return words;
}

QString listed(QStringList items)
{
    items.sort();
    return items.join(QStringLiteral(" | "));
}

} // namespace

class TestManPage : public QObject
{
    Q_OBJECT

    QString help;
    ManPage page;

private slots:
    void initTestCase()
    {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        program.start(Program, {QStringLiteral("--help")});
        QVERIFY2(program.waitForFinished(30000), qPrintable(program.errorString()));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        help = QString::fromUtf8(program.readAllStandardOutput());
        QVERIFY2(help.startsWith(QLatin1String("Usage: rollcall")), qPrintable(help));

        page = readManPage(manPagePath());
        for (const char *section : {"SYNOPSIS", "OPTIONS", "EXIT STATUS"})
            QVERIFY2(page.sections.contains(QLatin1String(section)),
                     qPrintable(manPagePath() + QStringLiteral(": no section ") +
                                QLatin1String(section)));
    }

    // Every option --help lists is an entry of OPTIONS, written the same way ("--port N",
    // "-h, --help"), and OPTIONS describes no option the program does not have.
    void optionsAgree()
    {
        const qsizetype start = help.indexOf(QLatin1String("\nOptions:\n"));
        QVERIFY(start >= 0);
        static const QRegularExpression optionLine(
            QStringLiteral(R"(^  ((?:-\w, )?--[a-z-]+)(?: <([^>]+)>)?(?:\s|$))"),
            QRegularExpression::MultilineOption);
        const qsizetype end = help.indexOf(QLatin1String("\n\n"), start + 1);
        QStringList fromHelp;
        for (auto match = optionLine.globalMatch(help.mid(start, end - start)); match.hasNext();) {
            const QRegularExpressionMatch option = match.next();
            fromHelp.append(option.captured(2).isEmpty()
                                ? option.captured(1)
                                : option.captured(1) + QLatin1Char(' ') + option.captured(2));
        }
        QVERIFY2(fromHelp.contains(QLatin1String("-h, --help")), qPrintable(listed(fromHelp)));

        QStringList fromPage;
        for (const Entry &entry : taggedParagraphs(page.sections.value(QStringLiteral("OPTIONS"))))
            fromPage.append(entry.tag);

        for (const QString &option : fromHelp)
            QVERIFY2(fromPage.contains(option),
                     qPrintable(QStringLiteral("--help has \"%1\", the manual page's OPTIONS "
                                               "only: %2")
                                    .arg(option, listed(fromPage))));
        for (const QString &option : fromPage)
            QVERIFY2(fromHelp.contains(option),
                     qPrintable(QStringLiteral("the manual page has \"%1\", --help only: %2")
                                    .arg(option, listed(fromHelp))));
    }

    // Each form of the usage --help prints is a form of the SYNOPSIS, with the same
    // command and every argument written the same way; the SYNOPSIS has no command the
    // program lacks.
    void commandsAgree()
    {
        const QStringList forms = synopsisForms(page.sections.value(QStringLiteral("SYNOPSIS")));
        static const QRegularExpression item(QStringLiteral(R"(\[[^\]]*\](?:\.\.\.)?|\S+)"));
        static const QRegularExpression commandWord(QStringLiteral("^[a-z]+$"));
        QStringList helpCommands;
        for (QString usage : help.split(QLatin1Char('\n'))) {
            if (usage.startsWith(QLatin1String("Usage: ")))
                usage = usage.mid(7);
            usage = usage.simplified();
            if (!usage.startsWith(QLatin1String("rollcall ")))
                break;
            QStringList items;
            for (auto match = item.globalMatch(usage); match.hasNext();)
                items.append(match.next().captured());
            const QString command =
                commandWord.match(items.value(1)).hasMatch() ? items[1] : QString();
            helpCommands.append(command);

            const QString opening = command.isEmpty() ? QStringLiteral("rollcall [")
                                                      : QStringLiteral("rollcall %1").arg(command);
            const auto form = std::find_if(forms.cbegin(), forms.cend(), [&](const QString &f) {
                return f.startsWith(opening) && (command.isEmpty() || f.size() == opening.size() ||
                                                 f.at(opening.size()) == QLatin1Char(' '));
            });
            QVERIFY2(
                form != forms.cend(),
                qPrintable(
                    QStringLiteral("no \"%1\" in the SYNOPSIS: %2").arg(opening, listed(forms))));
            for (const QString &argument : items.mid(command.isEmpty() ? 1 : 2)) {
                if (argument == QLatin1String("[options]"))
                    continue;
                QVERIFY2(form->contains(argument),
                         qPrintable(QStringLiteral("\"%1\" of \"%2\" is not in the SYNOPSIS's "
                                                   "\"%3\"")
                                        .arg(argument, usage, *form)));
            }
        }
        QVERIFY2(helpCommands.contains(QLatin1String("scan")), qPrintable(help));

        for (const QString &form : forms) {
            const QString second = form.section(QLatin1Char(' '), 1, 1);
            if (commandWord.match(second).hasMatch())
                QVERIFY2(helpCommands.contains(second),
                         qPrintable(QStringLiteral("the SYNOPSIS has \"rollcall %1\", the "
                                                   "usage of --help does not")
                                        .arg(second)));
        }
    }

    // The same exit statuses in both, and for each, every word of what --help says it
    // means is in what the manual page says of it.
    void exitStatusesAgree()
    {
        const qsizetype start = help.indexOf(QLatin1String("Exit status:"));
        QVERIFY2(start >= 0, qPrintable(help));
        QString said = help.mid(start + 12);
        said = said.left(said.indexOf(QLatin1String("\n\n"))).simplified();
        static const QRegularExpression statusStart(QStringLiteral(R"((?:^|; )(\d+) )"));
        QMap<int, QString> fromHelp;
        QList<QRegularExpressionMatch> starts;
        for (auto match = statusStart.globalMatch(said); match.hasNext();)
            starts.append(match.next());
        for (qsizetype i = 0; i < starts.size(); ++i) {
            const qsizetype from = starts[i].capturedEnd();
            const qsizetype to =
                i + 1 < starts.size() ? starts[i + 1].capturedStart() : said.size();
            fromHelp.insert(starts[i].captured(1).toInt(), said.mid(from, to - from));
        }

        QMap<int, QString> fromPage;
        static const QRegularExpression number(QStringLiteral(R"(\d+)"));
        for (const Entry &entry :
             taggedParagraphs(page.sections.value(QStringLiteral("EXIT STATUS")))) {
            for (auto match = number.globalMatch(entry.tag); match.hasNext();)
                fromPage.insert(match.next().captured().toInt(), entry.text);
        }

        QVERIFY2(fromHelp.contains(0) && fromHelp.contains(1), qPrintable(said));
        const auto numbers = [](const QMap<int, QString> &statuses) {
            QStringList list;
            for (const int status : statuses.keys())
                list.append(QString::number(status));
            return list.join(QLatin1Char(' '));
        };
        QCOMPARE(numbers(fromPage), numbers(fromHelp));

        for (auto status = fromHelp.cbegin(); status != fromHelp.cend(); ++status) {
            const QSet<QString> onPage = meaningWords(fromPage.value(status.key()));
            QStringList missing;
            for (const QString &word : meaningWords(status.value()))
                if (!onPage.contains(word))
                    missing.append(word);
            QVERIFY2(
                missing.isEmpty(),
                qPrintable(QStringLiteral("exit status %1: --help says \"%2\", the manual "
                                          "page \"%3\", without: %4")
                               .arg(QString::number(status.key()), status.value(),
                                    fromPage.value(status.key()).simplified(), listed(missing))));
        }
    }
};

QTEST_GUILESS_MAIN(TestManPage)
#include "tst_manpage.moc"
