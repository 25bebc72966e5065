// Runs one installation through the platform's real native layer, as the
// window's install() does, and prints on standard output, as one JSON object,
// what the layer reported and what the installation result was.
//   install-probe PACKAGE TARGET

#include "InstallCommand.h"
#include "NativePlatform.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        std::fputs("usage: install-probe PACKAGE TARGET\n", stderr);
        return 2;
    }

    QJsonObject report;
    NativePlatform::PrivilegedCommand command;
    QString error;
    if (!InstallCommand::makeCommand(arguments.at(1), arguments.at(2), command, error)) {
        report.insert(QStringLiteral("refused"), true);
        report.insert(QStringLiteral("result"), false);
    } else {
        const NativePlatform::ScriptOutcome outcome = NativePlatform::runPrivilegedScript(command);
        report.insert(QStringLiteral("succeeded"), outcome.succeeded);
        if (outcome.errorNumber)
            report.insert(QStringLiteral("errorNumber"), *outcome.errorNumber);
        if (outcome.errorMessage)
            report.insert(QStringLiteral("errorMessage"), QString::fromStdString(*outcome.errorMessage));
        report.insert(QStringLiteral("result"), InstallCommand::interpretOutcome(outcome, error));
    }
    report.insert(QStringLiteral("error"), error);

    const QByteArray json = QJsonDocument(report).toJson(QJsonDocument::Compact);
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    return 0;
}
