// Building blocks of a message: mail address, attachment, attachment list
// and the raw header block with field lookup.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/classes.h"

namespace lumigrab {

enum TMsgEncoding : uint8_t { meMIME, meUU };
enum TCharSet : uint8_t { csUSASCII, csISO8859 };
enum TAttEncoding : uint8_t { ae7Bit, aeBase64, aeQuotedPrintable };

// Indexed by TAttEncoding; written after "Content-Transfer-Encoding: ".
extern const std::array<std::string_view, 3> EncodingNames;

// Longest file name, content type, display name or mailbox kept.
constexpr size_t MaxShortString = 255;

class TmsMailAddress : public TPersistent {
public:
    using Editor = std::function<bool(TmsMailAddress&)>;

    const char* ClassName() const override { return "TmsMailAddress"; }
    void CopyFrom(const TPersistent& source) override;

    const std::string& Name() const { return name_; }
    void SetName(std::string_view name);
    const std::string& Address() const { return address_; }
    void SetAddress(std::string_view address);
    void Clear();

    // Lets the user edit a copy; on OK the copy is taken over. Returns
    // whether it was. Without an installed editor nothing changes.
    virtual bool Edit();
    // The GUI installs its address dialog here; an empty function removes it.
    static void SetEditor(Editor editor);

private:
    std::string name_;
    std::string address_;
};

class TmsAttItem : public TPersistent {
public:
    TMemoryStream Stream;

    const char* ClassName() const override { return "TmsAttItem"; }
    void CopyFrom(const TPersistent& source) override;

    const std::string& FileName() const { return fileName_; }
    // Also derives ContentType and Encoding from the name's extension
    // (unless the name is empty).
    void SetFileName(std::string_view fileName);
    // Both at once, where the article gives the type: the name, the type
    // and its encoding, without looking the extension up.
    void SetFileNameAndType(std::string_view fileName, std::string_view contentType);
    const std::string& ContentType() const { return contentType_; }
    void SetContentType(std::string_view contentType);
    TAttEncoding Encoding() const { return encoding_; }
    void SetEncoding(TAttEncoding encoding) { encoding_ = encoding; }

    // Why the bytes may be wrong, for an attachment whose encoding carries
    // its own checks (a yEnc block cut off, or of another size or CRC-32
    // than it announced); empty when it arrived whole. Damaged pictures
    // often still show, so they are kept and reported.
    const std::string& Damage() const { return damage_; }
    void SetDamage(std::string_view damage) { damage_ = damage; }

private:
    std::string fileName_;
    std::string contentType_;
    TAttEncoding encoding_ = ae7Bit;
    std::string damage_;
};

// Owns its items.
class TmsAttList : public TPersistent, public TOwningList<TmsAttItem> {
public:
    const char* ClassName() const override { return "TmsAttList"; }
    // Deep copy: new items with the source's bytes.
    void CopyFrom(const TPersistent& source) override;

    // Raises "List index out of bounds (%d)" outside 0..Count-1.
    TmsAttItem& Items(int index) { return At(index); }
    const TmsAttItem& Items(int index) const { return At(index); }

    // The stored "Items" property: names, types and encodings, never bytes.
    // Only stored when HasItemsToStore().
    bool HasItemsToStore() const { return Count() > 0; }
    void WriteItems(TStream& stream) const;
    // Replaces the list; malformed or truncated data raises EStreamError.
    void ReadItems(TStream& stream);
};

// Raw header lines in message order; continuation lines are separate
// entries beginning with a blank or tab.
class TmsHeaders : public TStringList {
public:
    // Unfolded value of the first field called name (colon optional, any
    // case), cut to maxLen; empty when missing. Encoded words are decoded
    // except in Content-Type and X-UIDL, which are never cut.
    std::string GetFieldValue(std::string_view name, size_t maxLen = MaxShortString) const;
    // Removes the first field called name with its blank/tab continuations.
    void RemoveField(std::string_view name);
};

} // namespace lumigrab
