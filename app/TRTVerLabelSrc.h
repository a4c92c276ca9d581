// A label that shows one string of the program's version information, such
// as "File Version: 1.0.0".
#pragma once

#include <QString>

#include <optional>
#include <vector>

#include "TRTLabelSrc.h"

namespace lumigrab {

// The named strings of a version resource, in language blocks named by
// language and code page (eight hexadecimal digits, such as "0C0904E4").
class TVersionInfo {
public:
    struct Entry {
        QString langCharset;
        QString key;
        QString value;
    };

    // No version information at all.
    TVersionInfo() = default;
    explicit TVersionInfo(std::vector<Entry> entries);

    // The running program's own strings, compiled in from the project, in
    // the block "0C0904E4".
    static const TVersionInfo& Program();

    bool IsEmpty() const { return entries_.empty(); }
    // The value at "\StringFileInfo\<langCharset>\<key>", letters' case
    // ignored; nothing when the path names no value.
    std::optional<QString> QueryValue(const QString& path) const;

private:
    std::vector<Entry> entries_;
};

enum TVersionResources {
    vrCompanyName,
    vrFileDescription,
    vrFileVersion,
    vrInternalName,
    vrLegalCopyright,
    vrOriginalFilename,
    vrProductName,
    vrProductVersion,
    vrComments
};

class TVersionLabel : public TCustomLabel {
    Q_OBJECT

public:
    explicit TVersionLabel(QWidget* parent = nullptr);

    // Which standard string to show; also sets VersionResourceKey and
    // InfoPrefix to that string's name and label.
    TVersionResources VersionResource() const { return versionResource_; }
    void SetVersionResource(TVersionResources resource);
    // The string's name; a new key also becomes the prefix.
    const QString& VersionResourceKey() const { return versionResourceKey_; }
    void SetVersionResourceKey(const QString& key);
    // Put before the value, with one blank, when ShowInfoPrefix is set.
    const QString& InfoPrefix() const { return infoPrefix_; }
    void SetInfoPrefix(const QString& prefix);
    bool ShowInfoPrefix() const { return showInfoPrefix_; }
    void SetShowInfoPrefix(bool show);
    // The language block; takes effect when the text is next refreshed.
    const QString& LangCharset() const { return langCharset_; }
    void SetLangCharset(const QString& langCharset) { langCharset_ = langCharset; }
    // Where the strings come from; the program's own by default. The
    // information must outlive the label. Refreshes the text.
    void SetVersionInfo(const TVersionInfo& info);

private:
    void RefreshCaption();
    QString VersionText() const;

    TVersionResources versionResource_ = vrFileVersion;
    QString versionResourceKey_;
    QString infoPrefix_;
    bool showInfoPrefix_ = true;
    QString langCharset_;
    const TVersionInfo* versionInfo_;
};

} // namespace lumigrab
