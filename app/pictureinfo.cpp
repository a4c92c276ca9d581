#include "pictureinfo.h"

#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include <optional>
#include <utility>
#include <vector>

#include "app/picturefacts.h"
#include "mime/msmime.h"
#include "news/pictureorigin.h"

namespace lumigrab {

namespace {

using TRows = std::vector<std::pair<QString, QString>>;

QString SizeText(qint64 bytes)
{
    const QLocale locale;
    return QStringLiteral("%1 (%2 bytes)").arg(locale.formattedDataSize(bytes), locale.toString(bytes));
}

// Header values are raw bytes from strangers: encoded words decoded, read
// as UTF-8.
QString HeaderText(const std::string& value)
{
    return QString::fromUtf8(DecodeHeaderText(value)).simplified();
}

TRows FileRows(const TPictureFacts& facts)
{
    TRows rows { { QStringLiteral("Name"), facts.name }, { QStringLiteral("Size"), SizeText(facts.bytes) } };
    if (facts.pixels.isValid())
        rows.emplace_back(QStringLiteral("Pixels"),
            QStringLiteral("%1 x %2").arg(facts.pixels.width()).arg(facts.pixels.height()));
    QString type = facts.type.isEmpty() ? QStringLiteral("unknown") : facts.type;
    if (facts.frames > 1)
        type += QStringLiteral(", %1 frames").arg(facts.frames);
    rows.emplace_back(QStringLiteral("Type"), type);
    if (!facts.exif.camera.isEmpty())
        rows.emplace_back(QStringLiteral("Camera"), facts.exif.camera);
    if (!facts.exif.taken.isEmpty())
        rows.emplace_back(QStringLiteral("Taken"), facts.exif.taken);
    return rows;
}

TRows OriginRows(const std::optional<TPictureOrigin>& origin)
{
    if (!origin)
        return { { QStringLiteral("Article"), QStringLiteral("not recorded") } };
    const TArticleAbout& about = origin->about;
    TRows rows;
    const auto add = [&](const char* label, const std::string& value) {
        if (!value.empty())
            rows.emplace_back(QLatin1String(label), HeaderText(value));
    };
    add("Group", about.group);
    add("Subject", about.subject);
    add("Poster", about.poster);
    add("Date", about.date);
    add("Message-ID", origin->messageId);
    return rows;
}

QString Html(const TRows& rows)
{
    QString html = QStringLiteral("<table cellspacing=\"2\">");
    for (const auto& [label, value] : rows)
        html += QStringLiteral("<tr><td valign=\"top\"><b>%1</b></td><td>%2</td></tr>")
                    .arg(label.toHtmlEscaped(), value.toHtmlEscaped());
    return html + QStringLiteral("</table>");
}

} // namespace

TPictureInfoPanel::TPictureInfoPanel(QWidget* parent)
    : QFrame(parent)
    , text_(new QLabel(this))
{
    setObjectName(QStringLiteral("PictureInfo"));
    setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    text_->setObjectName(QStringLiteral("PictureInfoText"));
    text_->setTextFormat(Qt::RichText);
    text_->setWordWrap(true);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addStretch();
}

void TPictureInfoPanel::ShowPicture(const QString& path, const QString& folder)
{
    TRows rows;
    if (path.isEmpty()) {
        rows = { { QStringLiteral("Picture"), QStringLiteral("none on show") } };
    } else {
        const TPictureFacts facts = PictureFactsOf(path);
        rows = FileRows(facts);
        const TRows origin = OriginRows(
            FindPictureOrigin(std::string(QFile::encodeName(folder)), std::string(QFile::encodeName(facts.name))));
        rows.insert(rows.end(), origin.begin(), origin.end());
    }
    plain_.clear();
    for (const auto& [label, value] : rows)
        plain_ += label + QStringLiteral(": ") + value + QLatin1Char('\n');
    text_->setText(Html(rows));
}

QString TPictureInfoPanel::Text() const
{
    return plain_;
}

} // namespace lumigrab
