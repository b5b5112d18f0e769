#include "SiteRequest.h"

#include "SiteText.h"

#include <algorithm>

namespace nubelo::site {

std::string_view fieldValue(const HttpRequest &request, std::string_view name) {
    for (const auto &[n, v] : request.fields)
        if (equalsIgnoreCase(n, name))
            return v;
    return {};
}

bool multipartForm(const HttpRequest &request) {
    const auto type = fieldValue(request, "Content-Type");
    return equalsIgnoreCase(trimmed(type.substr(0, type.find(';'))), "multipart/form-data");
}

std::optional<std::string> sessionCookie(const HttpRequest &request) {
    for (const auto &[name, value] : request.fields) {
        if (!equalsIgnoreCase(name, "Cookie"))
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto semi = rest.find(';');
            const auto pair = trimmed(rest.substr(0, semi));
            rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
            const auto eq = pair.find('=');
            if (eq != std::string_view::npos && trimmed(pair.substr(0, eq)) == "sid")
                return std::string(trimmed(pair.substr(eq + 1)));
        }
    }
    return std::nullopt;
}

std::string_view pathOf(std::string_view target) {
    // An absolute-form target ("http://host/path?query") names the same page as its path.
    if (target.size() > 7 && equalsIgnoreCase(target.substr(0, 7), "http://")) {
        const auto slash = target.find_first_of("/?", 7);
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
        if (!target.empty() && target.front() == '?')
            return "/";
    }
    return target.substr(0, target.find_first_of("?#"));
}

std::string queryValue(const std::vector<std::pair<std::string, std::string>> &query,
                       std::string_view name) {
    for (const auto &[n, v] : query)
        if (n == name)
            return v;
    return {};
}

bool hasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool plainHost(std::string_view host) {
    return !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

} // namespace nubelo::site
