// The exchanges: signing in and out, albums, the gallery, uploads and the queue check.

#include "SiteCore.h"

#include "Multipart.h"
#include "SitePages.h"
#include "SiteRequest.h"
#include "SiteText.h"

#include <algorithm>

namespace nubelo::site {

namespace {

constexpr std::size_t kAlbumNameLimit = 200;

} // namespace

HttpReply SiteCore::login(const HttpRequest &request) {
    std::string_view rawEmail, rawPassword;
    bool haveEmail = false, havePassword = false;
    for (const auto &[name, value] : splitForm(trimmed(request.body))) {
        if (name == "email" && !haveEmail) {
            rawEmail = value;
            haveEmail = true;
        } else if (name == "input_password" && !havePassword) {
            rawPassword = value;
            havePassword = true;
        }
    }
    if (!haveEmail || !havePassword)
        return textReply(400, "the login form needs the fields email and input_password");
    if (!percentDecode(rawEmail) || !percentDecode(rawPassword))
        return textReply(400, "the login form has a broken percent escape");

    const Account *account = checkCredentials(rawEmail, rawPassword);
    if (!account || fault(Fault::LoginRefused))
        return loginPage("Wrong e-mail address or password.");
    if (fault(Fault::LoginNoRedirect))
        return homePage(account->email);

    const auto sid = randomHex(16);
    if (sid.empty())
        return textReply(500, "no random numbers for a session");
    std::optional<std::vector<std::string>> cookieNames;
    {
        std::lock_guard lock(mMutex);
        mSessions[sid] = Session{account->email};
        cookieNames = mRedirectCookies;
    }
    if (!cookieNames)
        cookieNames = std::vector<std::string>{"sid"};
    if (fault(Fault::RedirectWithoutCookie))
        cookieNames->clear();

    const auto host = fieldValue(request, "Host");
    HttpReply reply =
        signedInPage(!plainHost(host) ? std::string(kHomeTarget)
                                      : "http://" + std::string(host) + std::string(kHomeTarget));
    for (const auto &name : *cookieNames) {
        if (name == "sid")
            reply.fields.emplace_back("Set-Cookie", "sid=" + sid + "; path=/; HttpOnly");
        else
            reply.fields.emplace_back("Set-Cookie", name + "=" + randomHex(8) + "; path=/");
    }
    return reply;
}

HttpReply SiteCore::logout(const HttpRequest &request) {
    if (fault(Fault::LogoutDrop))
        return droppedReply();
    if (const auto sid = sessionCookie(request)) {
        std::lock_guard lock(mMutex);
        mSessions.erase(*sid);
    }
    if (fault(Fault::LogoutNoBody)) {
        HttpReply reply;
        reply.status = 200;
        return reply;
    }
    HttpReply reply = signedOutPage();
    reply.fields.emplace_back("Set-Cookie", "sid=; path=/; Max-Age=0");
    return reply;
}

HttpReply SiteCore::albumsExchange(const HttpRequest &request, const std::string &func) {
    const auto email = sessionAccount(request);
    if (!email)
        return textReply(403, "not signed in");
    if (func == "list_albums") {
        HttpReply reply = textReply(200, "");
        reply.body.clear();
        for (const auto &name : mStore.albums(*email))
            reply.body += name + "\n";
        return reply;
    }
    if (request.method != "POST")
        return textReply(405, "create_album wants POST");
    std::optional<std::string> name;
    for (const auto &[rawName, rawValue] : splitForm(trimmed(request.body))) {
        if (rawName == "name") {
            name = percentDecode(rawValue);
            if (!name)
                return textReply(400, "the album name has a broken percent escape");
            break;
        }
    }
    if (!name || name->empty())
        return textReply(400, "the form needs the field name");
    if (name->size() > kAlbumNameLimit || hasControl(*name) || !isValidUtf8(*name))
        return textReply(400, "the album name must be UTF-8 text of one line, at most 200 bytes");
    switch (mStore.createAlbum(*email, *name)) {
    case PhotoStore::AlbumResult::Created:
        return textReply(200, "album created");
    case PhotoStore::AlbumResult::Exists:
        return textReply(409, "an album of that name exists");
    case PhotoStore::AlbumResult::Failed:
        break;
    }
    return textReply(500, "the album could not be stored");
}

HttpReply SiteCore::gallery(const HttpRequest &request,
                            const std::vector<std::pair<std::string, std::string>> &query) {
    const auto email = sessionAccount(request);
    const auto m = toLowerAscii(queryValue(query, "m"));
    if (m == "photo") {
        if (!email)
            return textReply(403, "not signed in");
        const auto text = queryValue(query, "n");
        std::uint64_t number = 0;
        const bool digits =
            !text.empty() && text.size() <= 18 &&
            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits)
            number = std::stoull(text);
        const auto bytes = digits ? mStore.readPhoto(*email, number) : std::nullopt;
        if (!bytes)
            return textReply(404, "no such photo");
        return photoReply(*bytes);
    }
    if (!email)
        return loginPage({});
    const auto albums = mStore.albums(*email);
    const auto photos = mStore.photos(*email);
    return galleryPage(*email, albums, photos);
}

// Every way out but the photo stored leaves the upload begun and not stored.
HttpReply SiteCore::upload(const HttpRequest &request, std::string_view contentType,
                           std::uint64_t number) {
    if (fault(Fault::Upload500))
        return textReply(500, "the upload failed");
    if (fault(Fault::UploadReset)) {
        HttpReply reply;
        reply.action = HttpReply::Action::Reset;
        return reply;
    }
    const auto email = sessionAccount(request);
    if (!email)
        return textReply(403, "not signed in");

    std::string error;
    const auto boundary = multipartBoundary(contentType, &error);
    if (!boundary)
        return textReply(400, error);
    const auto form = parseMultipart(request.body, *boundary);
    if (!form.ok())
        return textReply(400, form.error);
    const FormPart *photo = nullptr;
    const FormPart *func = nullptr;
    for (const auto &part : form.parts) {
        if (part.filename || part.name == "iPhoto.png") {
            if (photo)
                return textReply(400, "the form holds more than one file");
            photo = &part;
        } else if (part.name == "func") {
            func = &part;
        }
    }
    if (!photo)
        return textReply(400, "the form holds no photo");
    if (!func)
        return textReply(400, "the form has no func field");
    if (trimmed(func->data) != "addq")
        return textReply(400, "the form's func must be addq");

    const auto stored = mStore.store(*email, photo->data);
    if (!stored.photo)
        return textReply(500, "the photo could not be stored: " + stored.error);
    uploadStored(request, number);
    if (fault(Fault::UploadStoredThenDrop))
        return droppedReply();
    return textReply(200, "stored photo " + std::to_string(stored.photo->number));
}

HttpReply SiteCore::queueCheck(const HttpRequest &request) {
    if (fault(Fault::QueueCheck500))
        return textReply(500, "the queue check failed");
    if (fault(Fault::QueueCheckDrop))
        return droppedReply();
    const auto sid = sessionCookie(request);
    std::optional<bool> stored;
    if (sid) {
        std::lock_guard lock(mMutex);
        if (const auto it = mSessions.find(*sid); it != mSessions.end())
            stored = it->second.uploads != 0 && it->second.stored == it->second.uploads;
    }
    if (!stored)
        return textReply(403, "not signed in");
    if (!*stored)
        return textReply(404, "the last upload of this session was not stored");
    return textReply(200, "the last upload of this session was stored");
}

} // namespace nubelo::site
