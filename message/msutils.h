// String helpers shared by the message model, the MIME parser and the news
// client. None keeps state except the cached file-type table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lumigrab {

class TmsMailAddress;
class TStringList;

// Trims, then drops every leading and every trailing double quote.
std::string StripQuotes(std::string_view text);

// The blank-separated word at index (from 0); runs of blanks count as one
// separator. Empty when there is no such word.
std::string ExtractWord(std::string_view line, int index);
// ExtractWord read as an integer; -1 when missing or not a number.
int32_t ExtractWordAsInt(std::string_view line, int index);

// Value of a parameter such as boundary or filename inside a header value;
// empty when the parameter does not occur.
std::string GetParamValue(std::string_view paramName, std::string_view headerValue);

// Appends the platform's folder separator unless path is empty or already
// ends with one.
std::string AddBackslash(std::string_view path);

// Fills Name and Address from "Name <box>", "box (Name)" or a bare mailbox.
void ParseAddress(std::string_view text, TmsMailAddress& address);

// The part of a header value before the first blank or semicolon, trimmed
// (at most the first 255 characters are scanned).
std::string ExtractMainValue(std::string_view headerValue);

// MIME content type registered for the file name's extension, or
// "application/octet-stream".
std::string ContentTypeForFile(std::string_view fileName);
// The platform's file-type lookup; extensionWithDot like ".jpg". Empty when
// nothing is registered.
std::string RegisteredContentType(std::string_view extensionWithDot);
// Points the lookup at another mime.types file (tests); the table is read
// again on the next lookup. An empty path restores the system table.
void SetMimeTypesFile(const std::string& path);

// Writes the list's text (CR LF after every line) to fileName; raises
// EInOutError when the file cannot be created or written.
void SaveStringsToFile(const TStringList& list, const std::string& fileName);

} // namespace lumigrab
