// Exceptions and small string helpers shared by every layer.
//
// Strings are 8-bit byte strings (std::string); they may hold any byte,
// including zero. Nothing here depends on Qt.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace lumigrab {

// Root of every error this program raises itself. The message text is what
// the user sees in the status bar or in an error box.
class Exception : public std::exception {
public:
    explicit Exception(std::string message)
        : message_(std::move(message))
    {
    }
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }

private:
    std::string message_;
};

// Input/output failures: invalid codec characters ("Invalid Character"),
// files that cannot be written.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

// "Cannot assign a %s to a %s".
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// "List index out of bounds (%d)".
class EListError : public Exception {
public:
    using Exception::Exception;
    static EListError OutOfBounds(long long index);
};

class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// "Cannot open file %s".
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// "Cannot create file %s".
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Blanks and control characters: the bytes Trim removes.
inline bool IsBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

// text for a terminal: control characters (codes below 32, and 127) are
// shown as \xHH, so a stranger's text cannot send escape sequences; tabs
// stay when keepTabs is set.
std::string PrintableText(std::string_view text, bool keepTabs = false);

// Removes leading and trailing characters whose code is 32 or less.
std::string Trim(std::string_view text);
std::string_view TrimView(std::string_view text);

// ASCII-only case mapping; other bytes stay as they are.
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);
inline char UpChar(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 32) : c;
}
inline char LowChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

// True when both texts are equal ignoring ASCII case.
bool SameText(std::string_view a, std::string_view b);
// True when text begins with prefix ignoring ASCII case.
bool StartsWithText(std::string_view text, std::string_view prefix);

// Reads a 32-bit signed integer the way the classic string-to-integer
// conversion does: optional leading blanks, an optional sign, then decimal
// digits, or "$" followed by hexadecimal digits. Anything else, an empty
// text or an out-of-range value gives nullopt.
std::optional<int32_t> TryStrToInt(std::string_view text);
int32_t StrToIntDef(std::string_view text, int32_t fallback);

} // namespace lumigrab
