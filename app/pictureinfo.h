// The picture information panel (I; View, "Picture information"), beside
// the pane: what the file on show says of itself (app/picturefacts.h) and
// where it came from, as the picture folder's index recorded it
// (news/pictureorigin.h): the article's group, subject, poster, date and
// message-id. A picture recorded before the index kept that, or put into
// the folder by hand, shows what the file alone says.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;

namespace lumigrab {

class TPictureInfoPanel : public QFrame {
    Q_OBJECT

public:
    // How wide the panel stands beside the pane.
    static constexpr int PanelWidth = 280;

    explicit TPictureInfoPanel(QWidget* parent = nullptr);

    // The facts of the picture at path, in the picture folder folder;
    // empty path: no picture on show.
    void ShowPicture(const QString& path, const QString& folder);

    // The text shown, as plain lines "Label: value", for tests.
    QString Text() const;

private:
    QLabel* text_;
    QString plain_;
};

} // namespace lumigrab
