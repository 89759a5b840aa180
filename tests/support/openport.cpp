// Opens one device with Line, as whichever user runs it, and tells what happened:
//   opened
// or
//   <kind>
//   <summary>
//   <details, one or more lines>
// Tests start it under another user (setpriv) to see a refusal root would never meet.
#include "line/line.h"
#include "line/portproblem.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (QCoreApplication::arguments().size() != 2) {
        QTextStream(stderr) << "usage: rollcall-openport DEVICE\n";
        return 2;
    }
    PortMap ports;
    ports.setDevice(1, QCoreApplication::arguments().at(1));
    Line line(ports);
    if (line.open()) {
        out << "opened\n";
        return 0;
    }
    const PortProblem problem = line.problem();
    out << QMetaEnum::fromType<PortProblem::Kind>().valueToKey(int(problem.kind)) << '\n'
        << problem.summary() << '\n'
        << problem.details() << '\n';
    return 1;
}
