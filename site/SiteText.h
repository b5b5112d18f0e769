#pragma once

// Small text, digest and JSON helpers shared by the site's parts. Standard library only.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nubelo::site {

std::string sha256Hex(std::string_view data);
// Hex text of `bytes` random bytes from the system's generator; empty when it fails.
std::string randomHex(std::size_t bytes);

std::string toLowerAscii(std::string_view text);
bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string_view trimmed(std::string_view text); // spaces, tabs, CR, LF
bool isValidUtf8(std::string_view text);

// Percent-decodes one form value. Our own client escapes spaces as %20 and leaves "+" alone, so
// "+" stays "+" unless plusIsSpace (what browsers mean by it). nullopt for a broken escape.
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace = false);

// "a=1&b=2" into raw (undecoded) name/value pairs, in order.
std::vector<std::pair<std::string_view, std::string_view>> splitForm(std::string_view body);

// The query of a request target "/path?query" split like a form, decoded ("+" as a space, as
// browsers send queries). nullopt for a broken escape.
std::optional<std::vector<std::pair<std::string, std::string>>> queryItems(std::string_view target);

std::string htmlEscape(std::string_view text);

// `text` with the value of every "sid=" and "input_password=" written as "<redacted>": the
// session id and the password, wherever they stand (a Cookie field, a form, a query). A name
// counts, in any letter case, at the start or after a byte that cannot end another name; its
// value runs to the next ; & , space, tab, CR, LF or double quote.
std::string redactSecrets(std::string_view text);

// JSON string literal (with quotes). Bytes that are not valid UTF-8 are taken as Latin-1, so the
// output is always valid JSON.
std::string jsonString(std::string_view text);
std::string utcTimestamp(); // "2024-05-01T12:34:56Z"

// A flat JSON object of strings and non-negative integers, as the site writes them itself.
struct JsonFlat {
    std::vector<std::pair<std::string, std::string>> strings;
    std::vector<std::pair<std::string, std::uint64_t>> numbers;
    std::optional<std::string> string(std::string_view key) const;
    std::optional<std::uint64_t> number(std::string_view key) const;
};
std::optional<JsonFlat> parseJsonFlat(std::string_view line);

} // namespace nubelo::site
