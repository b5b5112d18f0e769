#pragma once

// The stand-in Nubelo site: the site host and the upload host on two loopback ports, served by
// one object on threads of its own (its own io_context), never on a Qt event loop. Used by the
// nubelo-site program, by both host programs as their embedded default, and by the tests.
// This header needs only the standard library.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nubelo::site {

struct Account {
    std::string email;
    std::string password;
};

struct Options {
    std::filesystem::path dataDir;  // photos live under dataDir/<account>/ (required)
    std::vector<Account> accounts;  // empty: one demo account is made up and reported
    std::string bind = "127.0.0.1"; // address both hosts listen on
    std::uint16_t sitePort = 0;     // 0: the system picks
    std::uint16_t uploadPort = 0;
    std::uint64_t maxUpload = 64ull << 20; // larger bodies are answered 413
    // Request bodies are held in memory until answered. Over every connection of both hosts
    // they take at most this much, or one body when that alone is larger: a request whose
    // announced body does not fit is answered 503 before its body is read (a chunked body
    // counts as the largest one allowed).
    std::uint64_t maxBuffered = 256ull << 20;
    std::filesystem::path journalFile; // when set, the journal is also written as JSON lines (0600)
    // An emulated uplink, for measuring a client as people meet it rather than on loopback: each
    // connection reads request bodies no faster than this rate (0: as fast as they come), and
    // every answer waits this long first.
    std::uint64_t linkBitsPerSecond = 0;
    std::chrono::milliseconds linkDelay{0};
};

// Which exchange a request was, or a delay applies to.
enum class Exchange {
    Login,
    Home,
    Logout,
    UploadStart,
    Upload,
    QueueCheck,
    Albums,
    Gallery,
    Other
};

// Faults a test switches on. Each stays on until cleared (Qt resends a request whose
// connection closed unanswered, so a one-shot drop would heal itself).
enum class Fault {
    LoginRefused,          // right credentials answered like wrong ones (200, login page)
    LoginNoRedirect,       // right credentials answered 200 with the home page, no redirect
    RedirectWithoutCookie, // the login redirect sets no cookie (the session is still made)
    DropAfterRedirect,     // the redirected request (the home page) is dropped unanswered
    Upload500,             // upload answered 500, nothing stored
    UploadStoredThenDrop,  // upload stored whole, then the connection closed unanswered
    UploadReset,           // upload connection reset before anything is stored
    QueueCheck500,         // queue check answered 500
    QueueCheckDrop,        // queue check dropped unanswered
    LogoutNoBody,          // logout answered 200 with Content-Length: 0 (the session ends)
    LogoutDrop,            // logout dropped unanswered (the session stays)
};

// What arrived of one request. The values of "sid=" and "input_password=" are "<redacted>" in the
// target, the fields and every body but a multipart form's (a photo is data), so neither a
// password nor a session id is ever kept, in memory or in the journal file.
struct JournalEntry {
    std::string host; // "site" or "upload"
    Exchange exchange = Exchange::Other;
    std::string method;
    std::string target;                                      // "/?m=Login&func=do_login"
    std::vector<std::pair<std::string, std::string>> fields; // header fields, in order received
    std::uint64_t bodySize = 0;                              // as received
    std::string bodySha256;                                  // lowercase hex, of the body as kept
    std::string body; // the body as kept when it was at most 4096 bytes, else empty
    int status = 0;   // what was answered; 0 when dropped or reset
};

struct StoredPhoto {
    std::uint64_t number = 0; // running number within the account, from 1
    std::filesystem::path path;
    std::uint64_t size = 0;
    std::string sha256; // lowercase hex
};

class Site {
public:
    // Starts both hosts. On failure answers nullptr and puts the reason into *error.
    static std::unique_ptr<Site> start(const Options &options, std::string *error);
    ~Site(); // stops the hosts and joins the threads
    Site(const Site &) = delete;
    Site &operator=(const Site &) = delete;

    std::string siteHost() const;   // "127.0.0.1:PORT"
    std::string uploadHost() const; // "127.0.0.1:PORT"
    Account demoAccount() const;    // the made-up account, or the first given one

    std::vector<JournalEntry> journal() const;
    void clearJournal();

    void setFault(Fault fault, bool on = true);
    // The login redirect sets these cookies, in this order, instead of the usual sid alone;
    // the name "sid" carries the real session id, every other name a made-up value. nullopt
    // restores the usual answer.
    void setRedirectCookies(std::optional<std::vector<std::string>> names);
    // Waits (a timer, not a blocked thread) before answering that kind of exchange.
    void setDelay(Exchange exchange, std::chrono::milliseconds delay);
    void clearFaults(); // faults, cookie order and delays

    // By the account's e-mail, whatever its letter case (so are sign-ins).
    std::vector<StoredPhoto> photos(const std::string &email) const;
    std::vector<std::string> albums(const std::string &email) const;
    std::size_t sessionCount() const; // sessions alive now

private:
    Site();
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace nubelo::site
