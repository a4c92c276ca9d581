#include "fillserverlist.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>
#include <utility>

#include "app/setupvalues.h"
#include "message/placewidget.h"

namespace lumigrab {

namespace {

const char* const TitleText = "Fill servers: asked in order, by message-id, for what the news server no "
                              "longer has";
const char* const ServerHint = "A host, or a host, a colon and a port";
const char* const ConnectionsHint = "How many connections a Go with several connections opens to this server "
                                    "at most, for what the news server lost";
const char* const UnnamedServer = "(new server: type its name below)";

QString ShownName(const TServerSettings& server)
{
    return server.Server.empty() ? QLatin1String(UnnamedServer) : QString::fromStdString(server.Server);
}

QLabel* FieldLabel(QWidget* parent, const char* text, const char* name, int top, QWidget* buddy)
{
    QLabel* label = Place(new QLabel(QLatin1String(text), parent), name, 8, top + 4, 78, 16);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setBuddy(buddy);
    return label;
}

} // namespace

TFillServerList::TFillServerList(QWidget* parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("FillServerList"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    TitleLabel = Place(new QLabel(QLatin1String(TitleText), this), "FillServersLabel", 8, 6, 353, 32);
    TitleLabel->setWordWrap(true);
    List = Place(new QListWidget(this), "FillServersList", 8, 42, 270, 200);
    AddButton = Place(new QPushButton(QStringLiteral("Add"), this), "AddFillServerButton", 284, 42, 77, 27);
    RemoveButton = Place(new QPushButton(QStringLiteral("Remove"), this), "RemoveFillServerButton", 284, 74, 77, 27);
    UpButton = Place(new QPushButton(QStringLiteral("Up"), this), "FillServerUpButton", 284, 106, 77, 27);
    DownButton = Place(new QPushButton(QStringLiteral("Down"), this), "FillServerDownButton", 284, 138, 77, 27);
    for (QPushButton* button : { AddButton, RemoveButton, UpButton, DownButton })
        button->setAutoDefault(false);

    ServerEdit = Place(new QLineEdit(this), "FillServerEdit", 94, 256, 267, 24);
    ServerEdit->setToolTip(QLatin1String(ServerHint));
    FieldLabel(this, "Server", "FillServerLabel", 256, ServerEdit);
    UseTLSCheck = Place(new QCheckBox(QStringLiteral("Use TLS"), this), "FillServerTLSCheck", 94, 286, 130, 22);
    ConnectionsSpin = Place(new QSpinBox(this), "FillServerConnectionsSpin", 306, 286, 55, 24);
    ConnectionsSpin->setRange(MinConnections, MaxConnections);
    ConnectionsSpin->setToolTip(QLatin1String(ConnectionsHint));
    QLabel* connections = Place(new QLabel(QStringLiteral("Connections"), this), "FillServerConnectionsLabel",
        224, 290, 76, 16);
    connections->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    connections->setBuddy(ConnectionsSpin);
    UserNameEdit = Place(new QLineEdit(this), "FillServerUserNameEdit", 94, 314, 267, 24);
    UserNameEdit->setPlaceholderText(QStringLiteral("none: no login"));
    FieldLabel(this, "User Name", "FillServerUserNameLabel", 314, UserNameEdit);
    PasswordEdit = Place(new QLineEdit(this), "FillServerPasswordEdit", 94, 344, 267, 24);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    FieldLabel(this, "Password", "FillServerPasswordLabel", 344, PasswordEdit);
    QLabel* note = Place(new QLabel(QStringLiteral("Kept as the news server's password is."), this),
        "FillServerPasswordNote", 94, 372, 267, 20);
    note->setWordWrap(true);

    connect(AddButton, &QPushButton::clicked, this, &TFillServerList::Add);
    connect(RemoveButton, &QPushButton::clicked, this, &TFillServerList::Remove);
    connect(UpButton, &QPushButton::clicked, this, [this] { Move(-1); });
    connect(DownButton, &QPushButton::clicked, this, [this] { Move(1); });
    connect(List, &QListWidget::currentRowChanged, this, &TFillServerList::ShowSelected);
    for (QLineEdit* edit : { ServerEdit, UserNameEdit, PasswordEdit })
        connect(edit, &QLineEdit::textChanged, this, &TFillServerList::TakeFields);
    connect(UseTLSCheck, &QCheckBox::toggled, this, &TFillServerList::TakeFields);
    connect(ConnectionsSpin, &QSpinBox::valueChanged, this, &TFillServerList::TakeFields);
    EnableFields();
}

void TFillServerList::SetServers(const std::vector<TServerSettings>& servers)
{
    servers_ = servers;
    List->clear();
    for (const TServerSettings& server : servers_)
        List->addItem(ShownName(server));
    Select(servers_.empty() ? -1 : 0);
}

std::vector<TServerSettings> TFillServerList::Servers() const
{
    std::vector<TServerSettings> servers;
    for (TServerSettings server : servers_) {
        server.Server = QString::fromStdString(server.Server).trimmed().toStdString();
        server.UserName = QString::fromStdString(server.UserName).trimmed().toStdString();
        if (!server.Server.empty())
            servers.push_back(std::move(server));
    }
    return servers;
}

QWidget* TFillServerList::FirstControl() const
{
    return List;
}

QWidget* TFillServerList::LastControl() const
{
    return PasswordEdit;
}

void TFillServerList::Add()
{
    if (int(servers_.size()) >= MaxFillServers)
        return;
    servers_.emplace_back();
    List->addItem(ShownName(servers_.back()));
    Select(int(servers_.size()) - 1);
    ServerEdit->setFocus();
}

void TFillServerList::Remove()
{
    const int row = List->currentRow();
    if (row < 0)
        return;
    servers_.erase(servers_.begin() + row);
    delete List->takeItem(row);
    Select(std::min(row, int(servers_.size()) - 1));
}

void TFillServerList::Move(int by)
{
    const int row = List->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= int(servers_.size()))
        return;
    std::swap(servers_[row], servers_[to]);
    List->item(row)->setText(ShownName(servers_[row]));
    List->item(to)->setText(ShownName(servers_[to]));
    Select(to);
}

void TFillServerList::Select(int row)
{
    List->setCurrentRow(row);
    ShowSelected();
}

void TFillServerList::ShowSelected()
{
    const int row = List->currentRow();
    const TServerSettings shown = row >= 0 ? servers_[row] : TServerSettings();
    showing_ = true;
    ServerEdit->setText(QString::fromStdString(shown.Server));
    UseTLSCheck->setChecked(shown.UseTLS);
    ConnectionsSpin->setValue(shown.Connections);
    UserNameEdit->setText(QString::fromStdString(shown.UserName));
    PasswordEdit->setText(QString::fromStdString(shown.Password));
    showing_ = false;
    EnableFields();
}

void TFillServerList::TakeFields()
{
    const int row = List->currentRow();
    if (showing_ || row < 0)
        return;
    TServerSettings& server = servers_[row];
    server.Server = ServerEdit->text().toStdString();
    server.UseTLS = UseTLSCheck->isChecked();
    server.Connections = ConnectionsSpin->value();
    server.UserName = UserNameEdit->text().toStdString();
    server.Password = PasswordEdit->text().toStdString();
    List->item(row)->setText(ShownName(server));
}

void TFillServerList::EnableFields()
{
    const int row = List->currentRow();
    const bool selected = row >= 0;
    for (QWidget* field : std::initializer_list<QWidget*> { ServerEdit, UseTLSCheck, ConnectionsSpin, UserNameEdit, PasswordEdit })
        field->setEnabled(selected);
    AddButton->setEnabled(int(servers_.size()) < MaxFillServers);
    RemoveButton->setEnabled(selected);
    UpButton->setEnabled(row > 0);
    DownButton->setEnabled(selected && row + 1 < int(servers_.size()));
}

} // namespace lumigrab
