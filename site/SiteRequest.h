#pragma once

// Reading a request the transport handed in: its fields, its target, its cookies, and the
// checks on text the site may echo or keep.

#include "SiteCore.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nubelo::site {

// The first field of that name, in any letter case; empty when there is none.
std::string_view fieldValue(const HttpRequest &request, std::string_view name);
// A Content-Type of multipart/form-data: a photo, not a form the journal may search.
bool multipartForm(const HttpRequest &request);
// The value of the first "sid" in the request's Cookie fields.
std::optional<std::string> sessionCookie(const HttpRequest &request);

// The path of a request target, in origin or absolute form.
std::string_view pathOf(std::string_view target);
// The first value of `name` in a decoded query; empty when there is none.
std::string queryValue(const std::vector<std::pair<std::string, std::string>> &query,
                       std::string_view name);

// A control character (a line break among them) in text meant to be one line.
bool hasControl(std::string_view text);
// A Host field we may echo into a Location: a name or an address, and a port.
bool plainHost(std::string_view host);

} // namespace nubelo::site
