#include "TRTVerLabelSrc.h"

#include <array>

#include "lumigrab_version.h"

namespace lumigrab {

namespace {

struct StandardString {
    const char* key;
    const char* prefix;
};

// Indexed by TVersionResources.
constexpr std::array<StandardString, 9> StandardStrings = { {
    { "CompanyName", "Company Name:" },
    { "FileDescription", "File Description:" },
    { "FileVersion", "File Version:" },
    { "InternalName", "Internal Name:" },
    { "LegalCopyright", "Legal Copyright:" },
    { "OriginalFilename", "Original Filename:" },
    { "ProductName", "Product Name:" },
    { "ProductVersion", "Product Version:" },
    { "Comments", "Comments:" },
} };

constexpr char ProgramLangCharset[] = "0C0904E4";

} // namespace

TVersionInfo::TVersionInfo(std::vector<Entry> entries)
    : entries_(std::move(entries))
{
}

const TVersionInfo& TVersionInfo::Program()
{
    static const TVersionInfo program([] {
        const std::array<const char*, 9> values = { version::CompanyName, version::FileDescription,
            version::FileVersion, version::InternalName, version::LegalCopyright, version::OriginalFilename,
            version::ProductName, version::ProductVersion, version::Comments };
        std::vector<Entry> entries;
        for (size_t i = 0; i < values.size(); ++i)
            entries.push_back({ QString::fromLatin1(ProgramLangCharset),
                QString::fromLatin1(StandardStrings[i].key), QString::fromUtf8(values[i]) });
        return entries;
    }());
    return program;
}

std::optional<QString> TVersionInfo::QueryValue(const QString& path) const
{
    static const QString root = QStringLiteral("\\StringFileInfo\\");
    if (!path.startsWith(root, Qt::CaseInsensitive))
        return std::nullopt;
    const QString rest = path.mid(root.size());
    const qsizetype separator = rest.indexOf(QLatin1Char('\\'));
    if (separator < 0)
        return std::nullopt;
    const QString langCharset = rest.left(separator);
    const QString key = rest.mid(separator + 1);
    for (const Entry& entry : entries_)
        if (entry.langCharset.compare(langCharset, Qt::CaseInsensitive) == 0
            && entry.key.compare(key, Qt::CaseInsensitive) == 0)
            return entry.value;
    return std::nullopt;
}

TVersionLabel::TVersionLabel(QWidget* parent)
    : TCustomLabel(parent)
    , langCharset_(QString::fromLatin1(ProgramLangCharset))
    , versionInfo_(&TVersionInfo::Program())
{
    setWordWrap(false);
    SetAutoSize(true);
    SetVersionResource(vrFileVersion);
}

void TVersionLabel::SetVersionResource(TVersionResources resource)
{
    versionResource_ = resource;
    const StandardString& standard = StandardStrings[size_t(resource)];
    SetVersionResourceKey(QString::fromLatin1(standard.key));
    SetInfoPrefix(QString::fromLatin1(standard.prefix));
}

void TVersionLabel::SetVersionResourceKey(const QString& key)
{
    if (key == versionResourceKey_)
        return;
    versionResourceKey_ = key;
    SetInfoPrefix(key);
}

void TVersionLabel::SetInfoPrefix(const QString& prefix)
{
    if (prefix == infoPrefix_)
        return;
    infoPrefix_ = prefix;
    RefreshCaption();
}

void TVersionLabel::SetShowInfoPrefix(bool show)
{
    if (show == showInfoPrefix_)
        return;
    showInfoPrefix_ = show;
    RefreshCaption();
}

void TVersionLabel::SetVersionInfo(const TVersionInfo& info)
{
    versionInfo_ = &info;
    RefreshCaption();
}

void TVersionLabel::RefreshCaption()
{
    SetCaption(VersionText());
}

QString TVersionLabel::VersionText() const
{
    QString text;
    if (versionInfo_->IsEmpty()) {
        text = QStringLiteral("< No Data Available >");
    } else {
        const std::optional<QString> value = versionInfo_->QueryValue(
            QStringLiteral("\\StringFileInfo\\") + langCharset_ + QLatin1Char('\\') + versionResourceKey_);
        if (!value)
            text = QStringLiteral("Error retrieving version info");
        else if (value->isEmpty())
            text = QStringLiteral("No Version Info");
        else
            text = *value;
    }
    return showInfoPrefix_ ? infoPrefix_ + QLatin1Char(' ') + text : text;
}

} // namespace lumigrab
