#include "SiteText.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <ctime>
#include <memory>

namespace nubelo::site {

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string hexOf(const unsigned char *data, std::size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 0xf];
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string sha256Hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1)
        return {};
    return hexOf(digest, length);
}

std::string randomHex(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(raw.data()), static_cast<int>(bytes)) != 1)
        return {};
    return hexOf(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
}

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xc0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3f);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::vector<std::pair<std::string_view, std::string_view>> splitForm(std::string_view body) {
    std::vector<std::pair<std::string_view, std::string_view>> items;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string_view::npos)
            end = body.size();
        const auto item = body.substr(start, end - start);
        if (!item.empty()) {
            const auto eq = item.find('=');
            if (eq == std::string_view::npos)
                items.emplace_back(item, std::string_view());
            else
                items.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
        start = end + 1;
    }
    return items;
}

std::optional<std::vector<std::pair<std::string, std::string>>>
queryItems(std::string_view target) {
    std::vector<std::pair<std::string, std::string>> out;
    const auto q = target.find('?');
    if (q == std::string_view::npos)
        return out;
    auto query = target.substr(q + 1);
    if (const auto hash = query.find('#'); hash != std::string_view::npos)
        query = query.substr(0, hash);
    for (const auto &[rawName, rawValue] : splitForm(query)) {
        auto name = percentDecode(rawName, true);
        auto value = percentDecode(rawValue, true);
        if (!name || !value)
            return std::nullopt;
        out.emplace_back(std::move(*name), std::move(*value));
    }
    return out;
}

std::string redactSecrets(std::string_view text) {
    static constexpr std::string_view kNames[] = {"sid=", "input_password="};
    const auto nameByte = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.';
    };
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t nameSize = 0;
        if (i == 0 || !nameByte(text[i - 1]))
            for (const auto name : kNames)
                if (equalsIgnoreCase(text.substr(i, name.size()), name))
                    nameSize = name.size();
        if (nameSize == 0) {
            out += text[i++];
            continue;
        }
        const auto end = std::min(text.find_first_of(";&, \t\r\n\"", i + nameSize), text.size());
        out.append(text.substr(i, nameSize));
        if (end > i + nameSize)
            out += "<redacted>";
        i = end;
    }
    return out;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string jsonString(std::string_view text) {
    std::string source;
    if (!isValidUtf8(text)) {
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x80) {
                source += c;
            } else {
                source += static_cast<char>(0xc0 | (u >> 6));
                source += static_cast<char>(0x80 | (u & 0x3f));
            }
        }
        text = source;
    }
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                out += "\\u00";
                out += kHex[u >> 4];
                out += kHex[u & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::optional<std::string> JsonFlat::string(std::string_view key) const {
    for (const auto &[k, v] : strings)
        if (k == key)
            return v;
    return std::nullopt;
}

std::optional<std::uint64_t> JsonFlat::number(std::string_view key) const {
    for (const auto &[k, v] : numbers)
        if (k == key)
            return v;
    return std::nullopt;
}

namespace {

struct JsonReader {
    std::string_view text;
    std::size_t pos = 0;

    void skipSpace() {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\r'))
            ++pos;
    }
    bool take(char c) {
        skipSpace();
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    static void appendUtf8(std::string &out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    std::optional<std::string> readString() {
        if (!take('"'))
            return std::nullopt;
        std::string out;
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= text.size())
                return std::nullopt;
            const char e = text[pos++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (pos + 4 > text.size())
                    return std::nullopt;
                std::uint32_t cp = 0;
                for (int k = 0; k < 4; ++k) {
                    const int v = hexValue(text[pos++]);
                    if (v < 0)
                        return std::nullopt;
                    cp = cp * 16 + static_cast<std::uint32_t>(v);
                }
                appendUtf8(out, cp); // the site never writes surrogate escapes
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }
};

} // namespace

std::optional<JsonFlat> parseJsonFlat(std::string_view line) {
    JsonReader r{line};
    JsonFlat out;
    if (!r.take('{'))
        return std::nullopt;
    if (r.take('}'))
        return out;
    for (;;) {
        auto key = r.readString();
        if (!key || !r.take(':'))
            return std::nullopt;
        r.skipSpace();
        if (r.pos < line.size() && line[r.pos] == '"') {
            auto value = r.readString();
            if (!value)
                return std::nullopt;
            out.strings.emplace_back(std::move(*key), std::move(*value));
        } else {
            std::uint64_t n = 0;
            std::size_t digits = 0;
            while (r.pos < line.size() && line[r.pos] >= '0' && line[r.pos] <= '9') {
                if (n > (UINT64_MAX - 9) / 10)
                    return std::nullopt;
                n = n * 10 + static_cast<std::uint64_t>(line[r.pos++] - '0');
                ++digits;
            }
            if (digits == 0)
                return std::nullopt;
            out.numbers.emplace_back(std::move(*key), n);
        }
        if (r.take('}'))
            break;
        if (!r.take(','))
            return std::nullopt;
    }
    r.skipSpace();
    if (r.pos != line.size())
        return std::nullopt;
    return out;
}

} // namespace nubelo::site
