#include "news/nzbfile.h"

#include <QFile>
#include <QXmlStreamReader>

#include <algorithm>
#include <map>

#include "news/harvestindex.h"

namespace lumigrab {

namespace {

// A subject as long as a header line may be.
constexpr qsizetype MaxNzbText = 16384;
constexpr int MaxSegmentNumber = 1000000;

// NZBs give message-ids without their brackets, now and then with them;
// empty for one that is no message-id.
std::string BracketedId(std::string_view id)
{
    if (id.starts_with('<') && id.ends_with('>') && id.size() >= 2)
        id = id.substr(1, id.size() - 2);
    if (id.empty() || id.find_first_of("<>") != std::string_view::npos)
        return {};
    std::string bracketed(1, '<');
    bracketed.append(id).push_back('>');
    return IsUsableMessageId(bracketed) ? bracketed : std::string();
}

class TNzbReader {
public:
    explicit TNzbReader(std::string_view document)
        : xml_(QByteArray::fromRawData(document.data(), qsizetype(document.size())))
    {
    }

    std::vector<TNzbFile> Read()
    {
        if (!NextElement() || xml_.name() != QLatin1String("nzb"))
            Fail("no <nzb> element");
        while (NextElement()) {
            if (xml_.name() == QLatin1String("file"))
                files_.push_back(ReadFile());
            else
                xml_.skipCurrentElement();
        }
        if (xml_.hasError())
            Fail(xml_.errorString().toStdString());
        return std::move(files_);
    }

private:
    QXmlStreamReader xml_;
    std::vector<TNzbFile> files_;
    size_t segments_ = 0;

    [[noreturn]] void Fail(const std::string& why) const
    {
        throw ENzbError("not an NZB file: " + why + " at line " + std::to_string(xml_.lineNumber()));
    }

    // The next start element inside the current one; false at its end.
    bool NextElement()
    {
        while (!xml_.atEnd()) {
            const QXmlStreamReader::TokenType token = xml_.readNext();
            if (token == QXmlStreamReader::DTD && !xml_.entityDeclarations().isEmpty())
                Fail("it declares entities of its own");
            if (token == QXmlStreamReader::StartElement)
                return true;
            if (token == QXmlStreamReader::EndElement)
                return false;
        }
        if (xml_.hasError())
            Fail(xml_.errorString().toStdString());
        return false;
    }

    void CheckLength(qsizetype length, const char* what) const
    {
        if (length > MaxNzbText)
            Fail(std::string(what) + " longer than " + std::to_string(MaxNzbText) + " characters");
    }

    std::string Bounded(QStringView text, const char* what) const
    {
        CheckLength(text.size(), what);
        return text.toString().toStdString();
    }

    std::string Attribute(const char* name) const
    {
        return Bounded(xml_.attributes().value(QLatin1String(name)), name);
    }

    // The element's text, its children passed over.
    std::string Text(const char* what)
    {
        QString text;
        while (!xml_.atEnd()) {
            const QXmlStreamReader::TokenType token = xml_.readNext();
            if (token == QXmlStreamReader::Characters) {
                text += xml_.text();
                CheckLength(text.size(), what);
            } else if (token == QXmlStreamReader::StartElement) {
                xml_.skipCurrentElement();
            } else if (token == QXmlStreamReader::EndElement) {
                break;
            }
        }
        if (xml_.hasError())
            Fail(xml_.errorString().toStdString());
        return text.trimmed().toStdString();
    }

    TNzbFile ReadFile()
    {
        TNzbFile file;
        file.subject = Attribute("subject");
        file.poster = Attribute("poster");
        std::map<int, TNzbSegment> segments;
        while (NextElement()) {
            if (xml_.name() == QLatin1String("groups"))
                ReadGroups(file);
            else if (xml_.name() == QLatin1String("segments"))
                ReadSegments(segments);
            else
                xml_.skipCurrentElement();
        }
        for (auto& [number, segment] : segments)
            file.segments.push_back(std::move(segment));
        return file;
    }

    void ReadGroups(TNzbFile& file)
    {
        while (NextElement()) {
            if (xml_.name() == QLatin1String("group"))
                file.groups.push_back(Text("group"));
            else
                xml_.skipCurrentElement();
        }
    }

    void ReadSegments(std::map<int, TNzbSegment>& segments)
    {
        while (NextElement()) {
            if (xml_.name() != QLatin1String("segment")) {
                xml_.skipCurrentElement();
                continue;
            }
            TNzbSegment segment;
            segment.number = Number("number", 1, MaxSegmentNumber);
            segment.bytes = Number("bytes", 0, INT32_MAX);
            segment.messageId = BracketedId(Text("message-id"));
            if (segment.messageId.empty())
                Fail("segment " + std::to_string(segment.number) + " has no usable message-id");
            if (++segments_ > MaxNzbSegments || segments.size() >= MaxNzbSegmentsPerFile)
                Fail("more segments than " + std::to_string(MaxNzbSegments) + " in all or "
                    + std::to_string(MaxNzbSegmentsPerFile) + " in a file");
            segments.try_emplace(segment.number, std::move(segment));
        }
    }

    int Number(const char* name, int least, int most) const
    {
        const QStringView text = xml_.attributes().value(QLatin1String(name));
        bool isNumber = false;
        const int number = text.toInt(&isNumber);
        if (!isNumber || number < least || number > most)
            Fail(std::string("a segment's ") + name + " is no number from " + std::to_string(least) + " to "
                + std::to_string(most));
        return number;
    }
};

} // namespace

std::vector<TNzbFile> ReadNzb(std::string_view document)
{
    return TNzbReader(document).Read();
}

std::vector<TNzbFile> ReadNzbFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw EInOutError("Cannot read " + path + ": " + file.errorString().toStdString());
    if (file.size() > MaxNzbBytes)
        throw ENzbError("not an NZB file: larger than " + std::to_string(MaxNzbBytes >> 20) + " MB");
    const QByteArray bytes = file.read(MaxNzbBytes + 1);
    if (bytes.size() > MaxNzbBytes)
        throw ENzbError("not an NZB file: larger than " + std::to_string(MaxNzbBytes >> 20) + " MB");
    return ReadNzb(std::string_view(bytes.constData(), size_t(bytes.size())));
}

} // namespace lumigrab
