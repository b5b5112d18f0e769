// The site's upload form reader. Input: the Content-Type value, "\n", then the body.

#include "FuzzCheck.h"
#include "Multipart.h"

#include <algorithm>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace nubelo::site;

    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto newline = input.find('\n');
    if (newline == std::string_view::npos)
        return 0;
    const std::string_view contentType = input.substr(0, newline);
    // A copy of its own, so that reading past the body's end is caught.
    const std::string body(input.substr(newline + 1));

    std::string error;
    const std::optional<std::string> boundary = multipartBoundary(contentType, &error);
    fuzz::check(boundary || !error.empty(), "no boundary and no reason");
    if (!boundary)
        return 0;
    fuzz::check(!boundary->empty() && boundary->size() <= 70, "boundary length");

    const MultipartResult form = parseMultipart(body, *boundary);
    if (!form.ok()) {
        fuzz::check(form.parts.empty(), "a failed form still has parts");
        fuzz::check(form.error.find('\n') == std::string::npos, "the reason is not one line");
        return 0;
    }
    fuzz::check(!form.parts.empty(), "an accepted form without parts");
    const char *begin = body.data();
    const char *end = body.data() + body.size();
    std::vector<std::string> names;
    int files = 0;
    for (const FormPart &part : form.parts) {
        fuzz::check(part.data.data() >= begin && part.data.data() + part.data.size() <= end,
                    "a part's data lies outside the body");
        fuzz::check(!part.name.empty(), "a part without a name");
        fuzz::check(std::find(names.begin(), names.end(), part.name) == names.end(),
                    "two parts of one name");
        names.push_back(part.name);
        files += part.filename || part.name == "iPhoto.png" ? 1 : 0;
    }
    // Parts come in the order sent and never overlap.
    for (std::size_t i = 1; i < form.parts.size(); ++i)
        fuzz::check(form.parts[i - 1].data.data() + form.parts[i - 1].data.size() <=
                        form.parts[i].data.data(),
                    "parts overlap or are out of order");
    fuzz::check(files <= 1, "more than one file part");
    return 0;
}
