#include "SitePages.h"

#include "SiteText.h"

namespace nubelo::site {

HttpReply textReply(int status, std::string_view text) {
    HttpReply reply;
    reply.status = status;
    reply.fields.emplace_back("Content-Type", "text/plain; charset=utf-8");
    reply.body = std::string(text) + "\n";
    return reply;
}

HttpReply htmlReply(int status, const std::string &title, const std::string &content) {
    HttpReply reply;
    reply.status = status;
    reply.fields.emplace_back("Content-Type", "text/html; charset=utf-8");
    reply.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" +
                 htmlEscape(title) + "</title></head>\n<body>\n<h1>Nubelo</h1>\n" + content +
                 "</body></html>\n";
    return reply;
}

HttpReply droppedReply() {
    HttpReply reply;
    reply.action = HttpReply::Action::Drop;
    reply.status = 0;
    return reply;
}

HttpReply loginPage(std::string_view message) {
    std::string content;
    if (!message.empty())
        content += "<p class=\"error\">" + htmlEscape(message) + "</p>\n";
    content += "<form method=\"post\" action=\"/?m=Login&amp;func=do_login\">\n"
               "<p><label>E-mail <input type=\"text\" name=\"email\"></label></p>\n"
               "<p><label>Password <input type=\"password\" name=\"input_password\"></label></p>\n"
               "<input type=\"hidden\" name=\"timezone\" value=\"1\">\n"
               "<input type=\"hidden\" name=\"timestamp\" value=\"0\">\n"
               "<p><button type=\"submit\">Sign in</button></p>\n</form>\n";
    return htmlReply(200, "Nubelo - Sign in", content);
}

HttpReply homePage(const std::string &email) {
    return htmlReply(200, "Nubelo - Home",
                     "<p>Signed in as " + htmlEscape(email) +
                         ".</p>\n<p><a href=\"/\">Your photos</a> | "
                         "<a href=\"/?m=Logout&amp;func=log_out\">Sign out</a></p>\n");
}

HttpReply signedInPage(const std::string &location) {
    HttpReply reply =
        htmlReply(302, "Nubelo - Signed in",
                  "<p><a href=\"" + htmlEscape(kHomeTarget) + "\">Continue</a></p>\n");
    reply.fields.emplace_back("Location", location);
    return reply;
}

HttpReply signedOutPage() {
    return htmlReply(200, "Nubelo - Signed out",
                     "<p>You have signed out.</p>\n<p><a href=\"/\">Sign in</a></p>\n");
}

HttpReply galleryPage(const std::string &email, const std::vector<std::string> &albums,
                      const std::vector<StoredPhoto> &photos) {
    std::string content = "<p>Signed in as " + htmlEscape(email) +
                          ". <a href=\"/?m=Logout&amp;func=log_out\">Sign out</a></p>\n";
    if (!albums.empty()) {
        content += "<h2>Albums</h2>\n<ul>\n";
        for (const auto &name : albums)
            content += "<li>" + htmlEscape(name) + "</li>\n";
        content += "</ul>\n";
    }
    content += "<h2>Photos (" + std::to_string(photos.size()) + ")</h2>\n";
    for (const auto &photo : photos) {
        const auto n = std::to_string(photo.number);
        content += "<figure><a href=\"/?m=Photo&amp;n=" + n + "\"><img src=\"/?m=Photo&amp;n=" + n +
                   "\" alt=\"Photo " + n + "\" style=\"max-width:320px\"></a><figcaption>Photo " +
                   n + ", " + std::to_string(photo.size) + " bytes</figcaption></figure>\n";
    }
    return htmlReply(200, "Nubelo - Your photos", content);
}

HttpReply photoReply(const std::string &bytes) {
    HttpReply reply;
    std::string type = "application/octet-stream";
    if (bytes.compare(0, 4, "\x89PNG") == 0)
        type = "image/png";
    else if (bytes.compare(0, 3, "\xff\xd8\xff") == 0)
        type = "image/jpeg";
    else if (bytes.compare(0, 4, "GIF8") == 0)
        type = "image/gif";
    reply.fields.emplace_back("Content-Type", type);
    // Whatever a client uploaded, a browser must not take it for a page of the site.
    reply.fields.emplace_back("X-Content-Type-Options", "nosniff");
    reply.body = bytes;
    return reply;
}

} // namespace nubelo::site
