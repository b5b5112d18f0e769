#pragma once

// The site's own reader for the multipart/form-data upload form. Standard library only.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nubelo::site {

struct FormPart {
    std::string name;
    std::optional<std::string> filename; // set for a file field
    std::string contentType;             // empty when the part names none
    std::string_view data;               // points into the body handed to parseMultipart
};

struct MultipartResult {
    std::vector<FormPart> parts; // in the order sent
    std::string error;           // one line; empty on success
    bool ok() const { return error.empty(); }
};

// The boundary parameter of a multipart/form-data Content-Type value, quoted or not. nullopt
// (with a one-line reason in *error) for another type or a missing or invalid boundary.
std::optional<std::string> multipartBoundary(std::string_view contentType, std::string *error);

// Splits the body into its parts. Our client uses a fixed boundary word, so a photo may hold
// bytes that look like a delimiter. The file field therefore runs up to the start of the
// longest run of well-formed parts that closes the form: every delimiter line after that point
// opens a part with proper headers and a name not used before, and the last one closes the
// form. Lookalikes inside the photo (a bare boundary word, a delimiter line followed by photo
// bytes, a false closing line, a repeated field) break that run and stay part of the photo.
// Fields before the file end at the first delimiter line, as usual.
MultipartResult parseMultipart(std::string_view body, std::string_view boundary);

} // namespace nubelo::site
