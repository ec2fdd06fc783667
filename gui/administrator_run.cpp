// SPDX-License-Identifier: MIT
#include "administrator_run.h"

#include <QProcess>
#include <QStringList>
#include <stdexcept>

#include "administrator.h"

brinvast::AdministratorRun run_with_administrator_rights(
    const std::string& program, const std::vector<std::string>& arguments) {
    const std::vector<std::string> command = brinvast::administrator_command(program, arguments);
    QStringList command_arguments;
    for (auto argument = command.begin() + 1; argument != command.end(); ++argument)
        command_arguments << QString::fromStdString(*argument);

    // Standard output apart from standard error: the outcome is read from the output, where the
    // prompt's own warnings must not come between the report and the status.
    QProcess process;
    process.start(QString::fromStdString(command.front()), command_arguments);
    if (!process.waitForStarted(-1)) {
        throw std::runtime_error(command.front() +
                                 " could not be started: " + process.errorString().toStdString());
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);
    const int exit_status =
        process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;  // killed
    return brinvast::administrator_outcome(exit_status,
                                           process.readAllStandardOutput().toStdString(),
                                           process.readAllStandardError().toStdString());
}
