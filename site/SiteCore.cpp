#include "SiteCore.h"

#include "Multipart.h"
#include "SiteText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nubelo::site {

namespace {

constexpr std::size_t kJournalLimit = 10000;
constexpr std::size_t kJournalBodyLimit = 4096;
constexpr std::size_t kAlbumNameLimit = 200;
constexpr std::string_view kHomeTarget = "/?m=Home&func=index";

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

// A Host field we may echo into a Location: a name or an address, and a port.
bool plainHost(std::string_view host) {
    return !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

std::string base64(std::string_view data) {
    static constexpr char table[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const auto n = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16 |
                       static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8 |
                       static_cast<unsigned char>(data[i + 2]);
        out += table[n >> 18];
        out += table[(n >> 12) & 63];
        out += table[(n >> 6) & 63];
        out += table[n & 63];
    }
    if (i < data.size()) {
        std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16;
        if (i + 1 < data.size())
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
        out += table[n >> 18];
        out += table[(n >> 12) & 63];
        out += i + 1 < data.size() ? table[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string journalLine(const JournalEntry &entry) {
    std::string line = "{\"time\":" + jsonString(utcTimestamp()) +
                       ",\"host\":" + jsonString(entry.host) +
                       ",\"exchange\":" + jsonString(exchangeName(entry.exchange)) +
                       ",\"method\":" + jsonString(entry.method) +
                       ",\"target\":" + jsonString(entry.target) + ",\"fields\":[";
    for (std::size_t i = 0; i < entry.fields.size(); ++i) {
        if (i > 0)
            line += ',';
        line += "[" + jsonString(entry.fields[i].first) + "," + jsonString(entry.fields[i].second) +
                "]";
    }
    line += "],\"bodySize\":" + std::to_string(entry.bodySize) +
            ",\"bodySha256\":" + jsonString(entry.bodySha256);
    if (entry.bodySize > 0 && entry.bodySize <= kJournalBodyLimit) {
        if (isValidUtf8(entry.body))
            line += ",\"body\":" + jsonString(entry.body);
        else
            line += ",\"bodyBase64\":\"" + base64(entry.body) + "\"";
    }
    line += ",\"status\":" + std::to_string(entry.status) + "}\n";
    return line;
}

} // namespace

const char *exchangeName(Exchange exchange) {
    switch (exchange) {
    case Exchange::Login:
        return "Login";
    case Exchange::Home:
        return "Home";
    case Exchange::Logout:
        return "Logout";
    case Exchange::UploadStart:
        return "UploadStart";
    case Exchange::Upload:
        return "Upload";
    case Exchange::QueueCheck:
        return "QueueCheck";
    case Exchange::Albums:
        return "Albums";
    case Exchange::Gallery:
        return "Gallery";
    case Exchange::Other:
        break;
    }
    return "Other";
}

SiteCore::SiteCore(Options options)
    : m_options(std::move(options))
    , m_store(m_options.dataDir) {}

SiteCore::~SiteCore() {
    if (m_journalFile)
        std::fclose(m_journalFile);
}

bool SiteCore::open(std::string *error) {
    std::vector<std::string> seen;
    for (const auto &account : m_options.accounts) {
        if (account.email.empty() || account.password.empty() || hasControl(account.email)) {
            *error = "an account needs an e-mail address and a password";
            return false;
        }
        const auto key = toLowerAscii(account.email);
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            *error = "the account " + account.email + " is given twice";
            return false;
        }
        seen.push_back(key);
    }
    if (m_options.accounts.empty()) {
        const auto password = randomHex(6);
        if (password.empty()) {
            *error = "no random numbers for the demo password";
            return false;
        }
        m_options.accounts.push_back(Account{"demo@nubelo.example", password});
    }
    if (!m_store.open(error))
        return false;
    if (!m_options.journalFile.empty()) {
        // Private before anything is written, an older journal of ours included; a device or a
        // pipe the user names keeps its mode.
        const int fd = ::open(m_options.journalFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        struct stat st {};
        const bool ok =
            fd >= 0 && ::fstat(fd, &st) == 0 &&
            (!S_ISREG(st.st_mode) || (::fchmod(fd, 0600) == 0 && ::ftruncate(fd, 0) == 0));
        m_journalFile = ok ? ::fdopen(fd, "w") : nullptr;
        if (!m_journalFile) {
            *error = "cannot write the journal " + m_options.journalFile.string() + ": " +
                     std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
    }
    return true;
}

bool SiteCore::fault(Fault which) const {
    return m_faults[static_cast<std::size_t>(which)].load();
}

std::optional<std::string> SiteCore::sessionId(const HttpRequest &request) const {
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

std::optional<std::string> SiteCore::sessionAccount(const HttpRequest &request) const {
    const auto sid = sessionId(request);
    if (!sid)
        return std::nullopt;
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(*sid);
    if (it == m_sessions.end())
        return std::nullopt;
    return it->second.email;
}

std::uint64_t SiteCore::beginUpload(const HttpRequest &request) {
    const auto sid = sessionId(request);
    if (!sid)
        return 0;
    std::lock_guard lock(m_mutex);
    const auto it = m_sessions.find(*sid);
    return it == m_sessions.end() ? 0 : ++it->second.uploads;
}

void SiteCore::uploadStored(const HttpRequest &request, std::uint64_t upload) {
    const auto sid = sessionId(request);
    if (!sid)
        return;
    std::lock_guard lock(m_mutex);
    if (const auto it = m_sessions.find(*sid); it != m_sessions.end())
        it->second.stored = upload;
}

const Account *SiteCore::checkCredentials(std::string_view rawEmail,
                                          std::string_view rawPassword) const {
    // Our client leaves "+" unescaped, a browser writes a space as "+": try both readings.
    for (const bool plusIsSpace : {false, true}) {
        const auto email = percentDecode(rawEmail, plusIsSpace);
        const auto password = percentDecode(rawPassword, plusIsSpace);
        if (!email || !password)
            return nullptr;
        for (const auto &account : m_options.accounts)
            if (equalsIgnoreCase(account.email, *email) && account.password == *password)
                return &account;
    }
    return nullptr;
}

void SiteCore::record(const HttpRequest &request, Exchange exchange, const HttpReply &reply) {
    JournalEntry entry;
    entry.host = request.host == HostKind::Site ? "site" : "upload";
    entry.exchange = exchange;
    entry.method = request.method;
    // Neither the password nor a session id is kept, so the journal is no key to the accounts.
    // A photo is data, not a form: only the other bodies are searched.
    entry.target = redactSecrets(request.target);
    for (const auto &[name, value] : request.fields)
        entry.fields.emplace_back(name, redactSecrets(value));
    std::string redacted;
    std::string_view body = request.body;
    if (!multipartForm(request)) {
        redacted = redactSecrets(body);
        body = redacted;
    }
    entry.bodySize = request.body.size();
    entry.bodySha256 = sha256Hex(body);
    if (request.body.size() <= kJournalBodyLimit)
        entry.body = std::string(body);
    entry.status = reply.action == HttpReply::Action::Answer ? reply.status : 0;

    std::lock_guard lock(m_journalMutex);
    if (m_journalFile) {
        const auto line = journalLine(entry);
        std::fwrite(line.data(), 1, line.size(), m_journalFile);
        std::fflush(m_journalFile);
    }
    m_journal.push_back(std::move(entry));
    if (m_journal.size() > kJournalLimit)
        m_journal.pop_front();
}

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
        std::lock_guard lock(m_mutex);
        reply.delay = m_delays[static_cast<std::size_t>(exchange)];
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
        std::lock_guard lock(m_mutex);
        m_sessions[sid] = Session{account->email, false};
        cookieNames = m_redirectCookies;
    }
    if (!cookieNames)
        cookieNames = std::vector<std::string>{"sid"};
    if (fault(Fault::RedirectWithoutCookie))
        cookieNames->clear();

    HttpReply reply =
        htmlReply(302, "Nubelo - Signed in",
                  "<p><a href=\"" + htmlEscape(kHomeTarget) + "\">Continue</a></p>\n");
    const auto host = fieldValue(request, "Host");
    reply.fields.emplace_back("Location", !plainHost(host) ? std::string(kHomeTarget)
                                                           : "http://" + std::string(host) +
                                                                 std::string(kHomeTarget));
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
    if (const auto sid = sessionId(request)) {
        std::lock_guard lock(m_mutex);
        m_sessions.erase(*sid);
    }
    if (fault(Fault::LogoutNoBody)) {
        HttpReply reply;
        reply.status = 200;
        return reply;
    }
    HttpReply reply = htmlReply(200, "Nubelo - Signed out",
                                "<p>You have signed out.</p>\n<p><a href=\"/\">Sign in</a></p>\n");
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
        for (const auto &name : m_store.albums(*email))
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
    switch (m_store.createAlbum(*email, *name)) {
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
        const auto bytes = digits ? m_store.readPhoto(*email, number) : std::nullopt;
        if (!bytes)
            return textReply(404, "no such photo");
        HttpReply reply;
        std::string type = "application/octet-stream";
        if (bytes->compare(0, 4, "\x89PNG") == 0)
            type = "image/png";
        else if (bytes->compare(0, 3, "\xff\xd8\xff") == 0)
            type = "image/jpeg";
        else if (bytes->compare(0, 4, "GIF8") == 0)
            type = "image/gif";
        reply.fields.emplace_back("Content-Type", type);
        // Whatever a client uploaded, a browser must not take it for a page of the site.
        reply.fields.emplace_back("X-Content-Type-Options", "nosniff");
        reply.body = *bytes;
        return reply;
    }
    if (!email)
        return loginPage({});
    std::string content = "<p>Signed in as " + htmlEscape(*email) +
                          ". <a href=\"/?m=Logout&amp;func=log_out\">Sign out</a></p>\n";
    const auto albums = m_store.albums(*email);
    if (!albums.empty()) {
        content += "<h2>Albums</h2>\n<ul>\n";
        for (const auto &name : albums)
            content += "<li>" + htmlEscape(name) + "</li>\n";
        content += "</ul>\n";
    }
    const auto photos = m_store.photos(*email);
    content += "<h2>Photos (" + std::to_string(photos.size()) + ")</h2>\n";
    for (const auto &photo : photos) {
        const auto n = std::to_string(photo.number);
        content += "<figure><a href=\"/?m=Photo&amp;n=" + n + "\"><img src=\"/?m=Photo&amp;n=" + n +
                   "\" alt=\"Photo " + n + "\" style=\"max-width:320px\"></a><figcaption>Photo " +
                   n + ", " + std::to_string(photo.size) + " bytes</figcaption></figure>\n";
    }
    return htmlReply(200, "Nubelo - Your photos", content);
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

    const auto stored = m_store.store(*email, photo->data);
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
    const auto sid = sessionId(request);
    std::optional<bool> stored;
    if (sid) {
        std::lock_guard lock(m_mutex);
        if (const auto it = m_sessions.find(*sid); it != m_sessions.end())
            stored = it->second.uploads != 0 && it->second.stored == it->second.uploads;
    }
    if (!stored)
        return textReply(403, "not signed in");
    if (!*stored)
        return textReply(404, "the last upload of this session was not stored");
    return textReply(200, "the last upload of this session was stored");
}

std::vector<JournalEntry> SiteCore::journal() const {
    std::lock_guard lock(m_journalMutex);
    return {m_journal.begin(), m_journal.end()};
}

void SiteCore::clearJournal() {
    std::lock_guard lock(m_journalMutex);
    m_journal.clear();
}

void SiteCore::setFault(Fault which, bool on) {
    m_faults[static_cast<std::size_t>(which)].store(on);
}

void SiteCore::setRedirectCookies(std::optional<std::vector<std::string>> names) {
    std::lock_guard lock(m_mutex);
    m_redirectCookies = std::move(names);
}

void SiteCore::setDelay(Exchange exchange, std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_delays[static_cast<std::size_t>(exchange)] = std::max(delay, std::chrono::milliseconds(0));
}

void SiteCore::clearFaults() {
    for (auto &f : m_faults)
        f.store(false);
    std::lock_guard lock(m_mutex);
    m_redirectCookies.reset();
    m_delays.fill(std::chrono::milliseconds(0));
}

std::vector<StoredPhoto> SiteCore::photos(const std::string &email) {
    return m_store.photos(email);
}

std::vector<std::string> SiteCore::albums(const std::string &email) {
    return m_store.albums(email);
}

std::size_t SiteCore::sessionCount() const {
    std::lock_guard lock(m_mutex);
    return m_sessions.size();
}

} // namespace nubelo::site
