#include "Multipart.h"

#include "SiteText.h"

#include <algorithm>
#include <cstring>

namespace nubelo::site {

namespace {

constexpr std::size_t kMaxHeaderBlock = 8192;
constexpr std::size_t kMaxParts = 64;
constexpr std::size_t kMaxBoundary = 70;

enum class LineKind { None, Open, Close };

struct DelimiterLine {
    LineKind kind = LineKind::None;
    std::size_t next = 0; // Open: where the part's headers start; Close: past the closing line
};

// What follows a boundary word at `after`: "--" closes the form, transport padding and CRLF open
// a part; anything else means the bytes only looked like a delimiter.
DelimiterLine lineAfterBoundary(std::string_view body, std::size_t after) {
    auto skipPadding = [&](std::size_t p) {
        while (p < body.size() && (body[p] == ' ' || body[p] == '\t'))
            ++p;
        return p;
    };
    if (body.substr(after, 2) == "--") {
        const std::size_t p = skipPadding(after + 2);
        if (p == body.size())
            return {LineKind::Close, p};
        if (body.substr(p, 2) == "\r\n")
            return {LineKind::Close, p + 2};
        return {};
    }
    const std::size_t p = skipPadding(after);
    if (body.substr(p, 2) == "\r\n")
        return {LineKind::Open, p + 2};
    return {};
}

struct Found {
    std::size_t pos = std::string_view::npos; // where "\r\n--boundary" starts
    DelimiterLine line;
    bool found() const { return pos != std::string_view::npos; }
};

Found nextDelimiter(std::string_view body, std::string_view delimiter, std::size_t from) {
    for (auto p = body.find(delimiter, from); p != std::string_view::npos;
         p = body.find(delimiter, p + 1)) {
        const auto line = lineAfterBoundary(body, p + delimiter.size());
        if (line.kind != LineKind::None)
            return {p, line};
    }
    return {};
}

// The last delimiter line starting at or after `floor` and before `before`.
Found previousDelimiter(std::string_view body, std::string_view delimiter, std::size_t floor,
                        std::size_t before) {
    std::size_t end = before; // candidates start below this
    while (end > floor) {
        const void *hit = memrchr(body.data() + floor, '\r', end - floor);
        if (!hit)
            break;
        const auto p = static_cast<std::size_t>(static_cast<const char *>(hit) - body.data());
        if (body.substr(p, delimiter.size()) == delimiter) {
            const auto line = lineAfterBoundary(body, p + delimiter.size());
            if (line.kind != LineKind::None)
                return {p, line};
        }
        end = p;
    }
    return {};
}

struct PartHead {
    std::string name;
    std::optional<std::string> filename;
    std::string contentType;
    std::size_t dataStart = 0;
};

// Parameters of a Content-Disposition value after its type: name=value pairs, values quoted or
// plain. A backslash escapes only a quote or a backslash, since browsers send Windows paths
// with plain backslashes.
bool dispositionParams(std::string_view text,
                       std::vector<std::pair<std::string, std::string>> *out) {
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ';'))
            ++i;
        if (i >= text.size())
            break;
        const auto eq = text.find('=', i);
        if (eq == std::string_view::npos)
            return false;
        std::string key = toLowerAscii(trimmed(text.substr(i, eq - i)));
        if (key.empty())
            return false;
        i = eq + 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                const char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < text.size() && (text[i] == '"' || text[i] == '\\'))
                    value += text[i++];
                else
                    value += c;
            }
            if (!closed)
                return false;
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                ++i;
            if (i < text.size() && text[i] != ';')
                return false;
        } else {
            const auto semi = text.find(';', i);
            const auto end = semi == std::string_view::npos ? text.size() : semi;
            value = std::string(trimmed(text.substr(i, end - i)));
            i = end;
        }
        out->emplace_back(std::move(key), std::move(value));
    }
    return true;
}

std::optional<PartHead> partHeaders(std::string_view body, std::size_t start, std::string *why) {
    PartHead head;
    std::string_view block;
    if (body.substr(start, 2) == "\r\n") {
        head.dataStart = start + 2;
    } else {
        const auto window = body.substr(start, kMaxHeaderBlock);
        const auto end = window.find("\r\n\r\n");
        if (end == std::string_view::npos) {
            *why = window.size() < kMaxHeaderBlock ? "part headers are not closed by an empty line"
                                                   : "part headers are too long";
            return std::nullopt;
        }
        block = window.substr(0, end);
        head.dataStart = start + end + 4;
    }

    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t i = 0;
    while (i < block.size()) {
        auto eol = block.find("\r\n", i);
        if (eol == std::string_view::npos)
            eol = block.size();
        const auto line = block.substr(i, eol - i);
        i = eol + 2;
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            fields.back().second += ' ';
            fields.back().second += trimmed(line);
            continue;
        }
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos) {
            *why = "a part header line has no field name";
            return std::nullopt;
        }
        const auto name = line.substr(0, colon);
        if (name.find_first_of(" \t") != std::string_view::npos) {
            *why = "a part header line has no field name";
            return std::nullopt;
        }
        fields.emplace_back(toLowerAscii(name), std::string(trimmed(line.substr(colon + 1))));
    }

    bool haveDisposition = false;
    for (const auto &[name, value] : fields) {
        if (name == "content-type") {
            head.contentType = value;
        } else if (name == "content-disposition") {
            if (haveDisposition) {
                *why = "a part has two Content-Disposition fields";
                return std::nullopt;
            }
            haveDisposition = true;
            const auto semi = value.find(';');
            const auto type = trimmed(std::string_view(value).substr(0, semi));
            if (!equalsIgnoreCase(type, "form-data")) {
                *why = "a part is not form-data";
                return std::nullopt;
            }
            std::vector<std::pair<std::string, std::string>> params;
            if (semi != std::string::npos &&
                !dispositionParams(std::string_view(value).substr(semi + 1), &params)) {
                *why = "a part's Content-Disposition cannot be read";
                return std::nullopt;
            }
            bool haveName = false;
            for (auto &[key, v] : params) {
                if (key == "name") {
                    if (haveName) {
                        *why = "a part is named twice";
                        return std::nullopt;
                    }
                    haveName = true;
                    head.name = std::move(v);
                } else if (key == "filename") {
                    head.filename = std::move(v);
                }
            }
            if (!haveName || head.name.empty()) {
                *why = "a part has no field name";
                return std::nullopt;
            }
        }
    }
    if (!haveDisposition) {
        *why = "a part has no Content-Disposition";
        return std::nullopt;
    }
    return head;
}

bool isFilePart(const PartHead &head) {
    return head.filename.has_value() || head.name == "iPhoto.png";
}

// A field name as a one-line reason may show it: a quoted name can hold a line break or other
// control bytes, which become "?", and a long one is cut.
std::string nameForReason(std::string_view name) {
    constexpr std::size_t kShown = 64;
    std::string shown;
    for (const char c : name.substr(0, kShown)) {
        const auto u = static_cast<unsigned char>(c);
        shown += u < 0x20 || u == 0x7f ? '?' : c;
    }
    if (name.size() > kShown)
        shown += "...";
    return shown;
}

FormPart toPart(PartHead &&head, std::string_view data) {
    return FormPart{std::move(head.name), std::move(head.filename), std::move(head.contentType),
                    data};
}

} // namespace

std::optional<std::string> multipartBoundary(std::string_view contentType, std::string *error) {
    const auto semi = contentType.find(';');
    if (!equalsIgnoreCase(trimmed(contentType.substr(0, semi)), "multipart/form-data")) {
        *error = "the body is not multipart/form-data";
        return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string>> params;
    if (semi == std::string_view::npos ||
        !dispositionParams(contentType.substr(semi + 1), &params)) {
        *error = "the Content-Type has no boundary";
        return std::nullopt;
    }
    for (const auto &[key, value] : params) {
        if (key != "boundary")
            continue;
        const bool printable = std::all_of(value.begin(), value.end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
        });
        if (value.empty() || value.size() > kMaxBoundary || !printable || value.back() == ' ') {
            *error = "the boundary is not valid";
            return std::nullopt;
        }
        return value;
    }
    *error = "the Content-Type has no boundary";
    return std::nullopt;
}

MultipartResult parseMultipart(std::string_view body, std::string_view boundary) {
    MultipartResult result;
    auto fail = [&result](std::string reason) {
        result.parts.clear();
        result.error = std::move(reason);
        return result;
    };
    if (boundary.empty())
        return fail("the boundary is empty");
    const std::string delimiter = "\r\n--" + std::string(boundary);
    const std::string_view dashBoundary = std::string_view(delimiter).substr(2);

    // The opening line: at the very start, or after a preamble.
    DelimiterLine opening;
    if (body.substr(0, dashBoundary.size()) == dashBoundary)
        opening = lineAfterBoundary(body, dashBoundary.size());
    if (opening.kind == LineKind::None) {
        const auto found = nextDelimiter(body, delimiter, 0);
        if (!found.found())
            return fail("the body does not contain the boundary");
        opening = found.line;
    }
    if (opening.kind == LineKind::Close)
        return fail("the form has no fields");

    auto epilogueOk = [&](std::size_t from) {
        return trimmed(body.substr(from)).empty();
    };
    std::vector<std::string> names;
    auto seen = [&names](const std::string &name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };

    std::size_t partStart = opening.next;
    for (;;) {
        if (result.parts.size() >= kMaxParts)
            return fail("the form has too many parts");
        std::string why;
        auto head = partHeaders(body, partStart, &why);
        if (!head)
            return fail(why);
        if (seen(head->name))
            return fail("the field \"" + nameForReason(head->name) + "\" appears twice");
        names.push_back(head->name);

        if (!isFilePart(*head)) {
            const auto end = nextDelimiter(body, delimiter, head->dataStart);
            if (!end.found())
                return fail("the form is not closed (truncated body?)");
            const auto data = body.substr(head->dataStart, end.pos - head->dataStart);
            result.parts.push_back(toPart(std::move(*head), data));
            if (end.line.kind == LineKind::Close) {
                if (!epilogueOk(end.line.next))
                    return fail("data follows the closing boundary");
                return result;
            }
            partStart = end.line.next;
            continue;
        }

        // The file: find the run of well-formed parts that ends the form, walking back from
        // the closing line.
        const auto close = previousDelimiter(body, delimiter, head->dataStart, body.size());
        if (!close.found() || close.line.kind != LineKind::Close)
            return fail("the form is not closed (truncated body?)");
        if (!epilogueOk(close.line.next))
            return fail("data follows the closing boundary");

        std::vector<FormPart> tail; // backwards
        std::vector<std::string> tailNames;
        std::size_t fileEnd = close.pos;
        while (tail.size() < kMaxParts) {
            const auto candidate = previousDelimiter(body, delimiter, head->dataStart, fileEnd);
            if (!candidate.found() || candidate.line.kind != LineKind::Open)
                break;
            std::string ignored;
            auto next = partHeaders(body, candidate.line.next, &ignored);
            if (!next || next->dataStart > fileEnd || isFilePart(*next) || seen(next->name) ||
                std::find(tailNames.begin(), tailNames.end(), next->name) != tailNames.end())
                break;
            tailNames.push_back(next->name);
            const auto data = body.substr(next->dataStart, fileEnd - next->dataStart);
            tail.push_back(toPart(std::move(*next), data));
            fileEnd = candidate.pos;
        }
        const auto data = body.substr(head->dataStart, fileEnd - head->dataStart);
        result.parts.push_back(toPart(std::move(*head), data));
        std::move(tail.rbegin(), tail.rend(), std::back_inserter(result.parts));
        return result;
    }
}

} // namespace nubelo::site
