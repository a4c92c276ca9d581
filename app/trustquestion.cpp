#include "trustquestion.h"

#include <QLabel>
#include <QMessageBox>
#include <QStringList>
#include <QTextDocument>

#include "transport/kttypes.h"

namespace lumigrab {

namespace {

// "AB:CD:..." in lines of sixteen bytes, so that it fits a message box.
QString FingerprintLines(const QString& fingerprint)
{
    QStringList lines;
    const QStringList bytes = fingerprint.split(QLatin1Char(':'));
    for (qsizetype at = 0; at < bytes.size(); at += 16)
        lines.append(bytes.mid(at, 16).join(QLatin1Char(':')));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void AskToTrust(QWidget* asker, QObject* context, const QString& server,
    const EUntrustedCertificateError& refusal, std::function<void(const QString& fingerprint)> trusted)
{
    const QString fingerprint = QString::fromStdString(refusal.Fingerprint());
    auto* question = new QMessageBox(QMessageBox::Warning, QStringLiteral("Certificate"),
        QStringLiteral("Trust this certificate for this server?"), QMessageBox::Yes | QMessageBox::No, asker);
    question->setObjectName(QStringLiteral("TrustQuestion"));
    // The reason and the server's name are no markup.
    question->setTextFormat(Qt::PlainText);
    const QString details
        = QStringLiteral("Server: %1\nThe certificate was refused: %2.\n\nSHA-256 fingerprint:\n%3\n\n"
                         "Trust it only if your news provider gives the same fingerprint.")
              .arg(server, QString::fromStdString(refusal.Reason()), FingerprintLines(fingerprint));
    question->setInformativeText(details);
    // The box keeps its informative text in a label of its own, which
    // takes no format from the box.
    if (auto* label = question->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    else
        question->setInformativeText(Qt::convertFromPlainText(details));
    question->setDefaultButton(QMessageBox::No);
    question->setEscapeButton(QMessageBox::No);
    question->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(question, &QMessageBox::finished, context, [question, fingerprint, trusted] {
        if (question->clickedButton() == question->button(QMessageBox::Yes) && trusted)
            trusted(fingerprint);
    });
    question->open();
}

} // namespace lumigrab
