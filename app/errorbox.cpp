#include "errorbox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include <exception>

#include "base/sysutils.h"

namespace lumigrab {

QString CurrentErrorText()
{
    try {
        throw;
    } catch (const Exception& error) {
        return QString::fromStdString(error.Message());
    } catch (const std::exception& error) {
        return QString::fromLocal8Bit(error.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

void ShowErrorBox(QWidget* parent, const QString& text) noexcept
{
    try {
        auto* box = new QMessageBox(
            QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
        box->setObjectName(QStringLiteral("ErrorBox"));
        // Errors carry server replies, which are no markup.
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    } catch (...) {
        // Out of memory for a message box: nothing more can be shown.
    }
}

} // namespace lumigrab
