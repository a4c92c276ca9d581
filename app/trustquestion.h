// The question whether to trust a server certificate that was refused: the
// server, the reason and the certificate's SHA-256 fingerprint, and Yes or
// No. The answer is never taken silently: No is the default and Esc.
#pragma once

#include <QString>

#include <functional>

class QObject;
class QWidget;

namespace lumigrab {

class EUntrustedCertificateError;

// Opens the question over asker and returns at once: the box has no event
// loop of its own, as it may come up while other handlers wait nested for
// the server. On Yes, trusted(fingerprint) runs once, from the box's
// answer, unless context is gone by then; No, Esc or closing the box runs
// nothing. The box deletes itself once answered. The server's name and the
// reason are shown as plain text, never as markup.
void AskToTrust(QWidget* asker, QObject* context, const QString& server,
    const EUntrustedCertificateError& refusal, std::function<void(const QString& fingerprint)> trusted);

} // namespace lumigrab
