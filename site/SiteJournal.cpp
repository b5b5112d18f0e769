// The journal: every exchange as the site saw it, kept in memory for the tests and written as
// JSON lines to the journal file, with the password and the session id taken out.

#include "SiteCore.h"

#include "SiteRequest.h"
#include "SiteText.h"

namespace nubelo::site {

namespace {

constexpr std::size_t kJournalLimit = 10000;
constexpr std::size_t kJournalBodyLimit = 4096;

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

    std::lock_guard lock(mJournalMutex);
    if (mJournalFile) {
        const auto line = journalLine(entry);
        std::fwrite(line.data(), 1, line.size(), mJournalFile);
        std::fflush(mJournalFile);
    }
    mJournal.push_back(std::move(entry));
    if (mJournal.size() > kJournalLimit)
        mJournal.pop_front();
}

std::vector<JournalEntry> SiteCore::journal() const {
    std::lock_guard lock(mJournalMutex);
    return {mJournal.begin(), mJournal.end()};
}

void SiteCore::clearJournal() {
    std::lock_guard lock(mJournalMutex);
    mJournal.clear();
}

} // namespace nubelo::site
