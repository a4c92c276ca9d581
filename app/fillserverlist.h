// The Setup dialog's list of fill servers: asked in order, by message-id,
// for what the news server no longer has. Add, Remove, Up and Down edit the
// list; the fields below it edit the server selected in it (its name with
// a port, TLS, how many connections a Go may open to it, the account and
// its password).
#pragma once

#include <QFrame>

#include <vector>

#include "news/serversettings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace lumigrab {

class TFillServerList : public QFrame {
    Q_OBJECT

public:
    explicit TFillServerList(QWidget* parent);

    QLabel* TitleLabel;
    QListWidget* List;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QPushButton* UpButton;
    QPushButton* DownButton;
    QLineEdit* ServerEdit;
    QCheckBox* UseTLSCheck;
    QSpinBox* ConnectionsSpin;
    QLineEdit* UserNameEdit;
    QLineEdit* PasswordEdit;

    // Shows servers in order, the first selected.
    void SetServers(const std::vector<TServerSettings>& servers);
    // The servers in the list's order, names and user names without the
    // blanks around them; one without a name is left out.
    std::vector<TServerSettings> Servers() const;

    // The first and last control in tab order.
    QWidget* FirstControl() const;
    QWidget* LastControl() const;

private:
    std::vector<TServerSettings> servers_;
    // While the fields are filled from a server, their edits are no edits.
    bool showing_ = false;

    void Add();
    void Remove();
    void Move(int by);
    void Select(int row);
    void ShowSelected();
    void TakeFields();
    void EnableFields();
};

} // namespace lumigrab
