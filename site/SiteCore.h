#pragma once

// What the site answers, apart from the HTTP transport: accounts, sessions, the exchanges,
// faults, delays and the journal. The transport hands each request in and carries out the reply.
// Thread-safe; standard library only.

#include "NubeloSite.h"
#include "PhotoStore.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nubelo::site {

enum class HostKind { Site, Upload };

struct HttpRequest {
    HostKind host = HostKind::Site;
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields; // in order received
    std::string_view body;
    std::uint64_t upload = 0; // what uploadBegins answered for this request's header
};

struct HttpReply {
    enum class Action { Answer, Drop, Reset };
    Action action = Action::Answer;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> fields;
    std::string body;
    std::chrono::milliseconds delay{0};
    bool close = false; // answer, then close the connection
};

const char *exchangeName(Exchange exchange);

class SiteCore {
public:
    explicit SiteCore(Options options);
    ~SiteCore();
    SiteCore(const SiteCore &) = delete;
    SiteCore &operator=(const SiteCore &) = delete;

    // Checks the accounts, makes up the demo account, opens the store and the journal file.
    bool open(std::string *error);

    std::uint64_t maxUpload() const { return mOptions.maxUpload; }
    std::uint64_t linkBitsPerSecond() const { return mOptions.linkBitsPerSecond; }
    std::uint64_t maxSiteBody() const { return 1u << 20; }

    // As soon as a request's header has arrived, before its body: an upload (a multipart POST
    // to the upload host) of a session ends at once the claim of that session's earlier upload
    // to be its last one stored, so that an upload cut off in its body, timed out or refused
    // never borrows the earlier photo's success in a queue check. Answers the upload's number
    // within its session, to be handed in as HttpRequest::upload; 0 for any other request.
    std::uint64_t uploadBegins(const HttpRequest &header);
    HttpReply handle(const HttpRequest &request);
    // A request the transport could not read whole (bad syntax, too large, cut short): answered
    // with `status` and the one-line reason, then the connection closes. `request` holds what was
    // read of it.
    HttpReply refuse(const HttpRequest &request, int status, const std::string &reason);

    Account demoAccount() const { return mOptions.accounts.front(); }
    std::vector<JournalEntry> journal() const;
    void clearJournal();
    void setFault(Fault fault, bool on);
    void setRedirectCookies(std::optional<std::vector<std::string>> names);
    void setDelay(Exchange exchange, std::chrono::milliseconds delay);
    void clearFaults();
    std::vector<StoredPhoto> photos(const std::string &email);
    std::vector<std::string> albums(const std::string &email);
    std::size_t sessionCount() const;

private:
    struct Session {
        std::string email;
        std::uint64_t uploads = 0; // uploads begun, the last one's number
        std::uint64_t stored = 0;  // the number of the last upload stored
    };
    static constexpr std::size_t kFaultCount = static_cast<std::size_t>(Fault::LogoutDrop) + 1;
    static constexpr std::size_t kExchangeCount = static_cast<std::size_t>(Exchange::Other) + 1;

    HttpReply siteHost(const HttpRequest &request, Exchange *exchange);
    HttpReply uploadHost(const HttpRequest &request, Exchange *exchange);
    HttpReply login(const HttpRequest &request);
    HttpReply logout(const HttpRequest &request);
    HttpReply albumsExchange(const HttpRequest &request, const std::string &func);
    HttpReply gallery(const HttpRequest &request,
                      const std::vector<std::pair<std::string, std::string>> &query);
    HttpReply upload(const HttpRequest &request, std::string_view contentType,
                     std::uint64_t number);
    HttpReply queueCheck(const HttpRequest &request);

    bool fault(Fault fault) const;
    // The account of the request's "sid" cookie, if that names a live session.
    std::optional<std::string> sessionAccount(const HttpRequest &request) const;
    // The next upload number of the request's session; 0 without a session.
    std::uint64_t beginUpload(const HttpRequest &request);
    void uploadStored(const HttpRequest &request, std::uint64_t upload);
    const Account *checkCredentials(std::string_view rawEmail, std::string_view rawPassword) const;
    void record(const HttpRequest &request, Exchange exchange, const HttpReply &reply);

    Options mOptions;
    PhotoStore mStore;

    std::array<std::atomic<bool>, kFaultCount> mFaults{};
    mutable std::mutex mMutex; // sessions, delays, redirect cookies
    std::map<std::string, Session> mSessions;
    std::array<std::chrono::milliseconds, kExchangeCount> mDelays{};
    std::optional<std::vector<std::string>> mRedirectCookies;

    mutable std::mutex mJournalMutex;
    std::deque<JournalEntry> mJournal;
    std::FILE *mJournalFile = nullptr;
};

} // namespace nubelo::site
