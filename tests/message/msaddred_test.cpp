#include "message/msaddred.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <string>

#include "tests/support/widgets_environment.h"

namespace lumigrab {
namespace {

// Runs Edit on address while user works the dialog that it opens.
bool EditAs(TmsMailAddress& address, std::function<void(TMailAddressDlg&)> user)
{
    InstallMailAddressEditor();
    QTimer::singleShot(0, [user] {
        auto* dialog = qobject_cast<TMailAddressDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        user(*dialog);
    });
    const bool edited = address.Edit();
    TmsMailAddress::SetEditor({});
    return edited;
}

void Type(TMailAddressDlg& dialog, const char* edit, const QString& text)
{
    auto* field = dialog.findChild<QLineEdit*>(edit);
    ASSERT_NE(field, nullptr);
    field->selectAll();
    QTest::keyClicks(field, text);
}

void Click(TMailAddressDlg& dialog, const char* button)
{
    QTest::mouseClick(dialog.findChild<QPushButton*>(button), Qt::LeftButton);
}

TmsMailAddress Jane()
{
    TmsMailAddress address;
    address.SetName("Jane Doe");
    address.SetAddress("jane@example.org");
    return address;
}

TEST(AddressDialog, OkTakesTheEditedTextsCutTo255Characters)
{
    TmsMailAddress address = Jane();
    QString shown;
    const bool edited = EditAs(address, [&](TMailAddressDlg& dialog) {
        shown = dialog.findChild<QLineEdit*>("NameEdit")->text() + "|"
            + dialog.findChild<QLineEdit*>("AddressEdit")->text();
        Type(dialog, "NameEdit", QString(300, 'n'));
        Type(dialog, "AddressEdit", "john@example.org");
        Click(dialog, "OKButton");
    });
    EXPECT_EQ(shown, "Jane Doe|jane@example.org");
    EXPECT_TRUE(edited);
    EXPECT_EQ(address.Name(), std::string(255, 'n'));
    EXPECT_EQ(address.Address(), "john@example.org");
}

TEST(AddressDialog, CancelAndEscapeLeaveTheAddressAlone)
{
    for (const bool escape : { false, true }) {
        TmsMailAddress address = Jane();
        const bool edited = EditAs(address, [&](TMailAddressDlg& dialog) {
            Type(dialog, "NameEdit", "John");
            if (escape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                Click(dialog, "CancelButton");
        });
        EXPECT_FALSE(edited);
        EXPECT_EQ(address.Name(), "Jane Doe");
        EXPECT_EQ(address.Address(), "jane@example.org");
    }
}

} // namespace
} // namespace lumigrab
