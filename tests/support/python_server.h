#pragma once
// Starts a test server script in Debian's interpreter (another python3 on
// PATH may lack the modules the servers need) and reads the first line it
// prints once it listens.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testsupport {

// The first line, trimmed; empty with error set when the process did not
// start or ended or said nothing within the time. The process is left as
// it is: the caller stops it.
QByteArray StartPythonServer(QProcess& process, const QStringList& args, int timeoutMs, const QString& what,
                             QString& error);

}  // namespace testsupport
