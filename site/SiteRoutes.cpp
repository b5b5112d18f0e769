// Routes: which exchange a request is, by host, target, method and form, and what every
// request goes through on its way out (the delay and the journal).

#include "SiteCore.h"

#include "SitePages.h"
#include "SiteRequest.h"
#include "SiteText.h"

namespace nubelo::site {

std::uint64_t SiteCore::uploadBegins(const HttpRequest &header) {
    if (header.host != HostKind::Upload || header.method != "POST" || !multipartForm(header))
        return 0;
    return beginUpload(header);
}

HttpReply SiteCore::handle(const HttpRequest &request) {
    Exchange exchange = Exchange::Other;
    HttpReply reply = request.host == HostKind::Site ? siteHost(request, &exchange)
                                                     : uploadHost(request, &exchange);
    {
        std::lock_guard lock(mMutex);
        reply.delay = mDelays[static_cast<std::size_t>(exchange)] + mOptions.linkDelay;
    }
    record(request, exchange, reply);
    return reply;
}

HttpReply SiteCore::refuse(const HttpRequest &request, int status, const std::string &reason) {
    HttpReply reply = textReply(status, reason);
    reply.close = true;
    // An upload refused this early was not stored either, and a queue check should say so.
    Exchange exchange = Exchange::Other;
    if (request.host == HostKind::Upload && (status == 413 || multipartForm(request))) {
        exchange = Exchange::Upload;
        if (!request.upload) // its header never reached uploadBegins
            beginUpload(request);
    }
    record(request, exchange, reply);
    return reply;
}

HttpReply SiteCore::siteHost(const HttpRequest &request, Exchange *exchange) {
    const auto query = queryItems(request.target);
    if (!query)
        return textReply(400, "the request target has a broken percent escape");
    if (pathOf(request.target) != "/")
        return textReply(404, "no such page");
    const auto m = toLowerAscii(queryValue(*query, "m"));
    const auto func = queryValue(*query, "func");
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";

    if (m.empty() || m == "photo") {
        *exchange = Exchange::Gallery;
        if (!get)
            return textReply(405, "the gallery answers GET only");
        return gallery(request, *query);
    }
    if (m == "login") {
        if (func == "do_login" && post) {
            *exchange = Exchange::Login;
            return login(request);
        }
        if (!get)
            return textReply(405, "sign in with POST to /?m=Login&func=do_login");
        return loginPage({});
    }
    if (m == "home") {
        *exchange = Exchange::Home;
        if (fault(Fault::DropAfterRedirect))
            return droppedReply();
        if (const auto email = sessionAccount(request))
            return homePage(*email);
        return loginPage({});
    }
    if (m == "logout") {
        *exchange = Exchange::Logout;
        return logout(request);
    }
    if (m == "uploadphoto" && func == "track_web_start_photo_upload") {
        *exchange = Exchange::UploadStart;
        if (!sessionAccount(request))
            return textReply(403, "not signed in");
        return textReply(200, "upload started");
    }
    if (m == "albums" && (func == "create_album" || func == "list_albums")) {
        *exchange = Exchange::Albums;
        return albumsExchange(request, func);
    }
    return textReply(404, "no such page");
}

HttpReply SiteCore::uploadHost(const HttpRequest &request, Exchange *exchange) {
    const auto query = queryItems(request.target);
    if (!query)
        return textReply(400, "the request target has a broken percent escape");
    if (pathOf(request.target) != "/" || queryValue(*query, "upload") != "1")
        return textReply(404, "no such page");
    if (request.method != "POST")
        return textReply(405, "uploads want POST");

    const auto contentType = fieldValue(request, "Content-Type");
    const auto type = toLowerAscii(trimmed(contentType.substr(0, contentType.find(';'))));
    if (type == "multipart/form-data") {
        *exchange = Exchange::Upload;
        return upload(request, contentType, request.upload ? request.upload : beginUpload(request));
    }
    if (type != "application/x-www-form-urlencoded" && !type.empty())
        return textReply(415, "the upload host takes multipart/form-data or a form");
    std::string func;
    for (const auto &[name, value] : splitForm(trimmed(request.body)))
        if (name == "func") {
            func = percentDecode(value).value_or("");
            break;
        }
    if (func == "checkq") {
        *exchange = Exchange::QueueCheck;
        return queueCheck(request);
    }
    if (func == "addq") {
        *exchange = Exchange::Upload;
        if (!sessionAccount(request))
            return textReply(403, "not signed in");
        beginUpload(request);
        return textReply(400, "an upload needs a multipart/form-data body");
    }
    return textReply(400, "the form's func must be addq or checkq");
}

} // namespace nubelo::site
