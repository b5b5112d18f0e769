// The site as a whole: its accounts, store and journal file opened, and the switches a test
// turns (faults, delays, redirect cookies).

#include "SiteCore.h"

#include "SiteRequest.h"
#include "SiteText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nubelo::site {

SiteCore::SiteCore(Options options)
    : mOptions(std::move(options))
    , mStore(mOptions.dataDir) {}

SiteCore::~SiteCore() {
    if (mJournalFile)
        std::fclose(mJournalFile);
}

bool SiteCore::open(std::string *error) {
    std::vector<std::string> seen;
    for (const auto &account : mOptions.accounts) {
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
    if (mOptions.accounts.empty()) {
        const auto password = randomHex(6);
        if (password.empty()) {
            *error = "no random numbers for the demo password";
            return false;
        }
        mOptions.accounts.push_back(Account{"demo@nubelo.example", password});
    }
    if (!mStore.open(error))
        return false;
    if (!mOptions.journalFile.empty()) {
        // Private before anything is written, an older journal of ours included; a device or a
        // pipe the user names keeps its mode.
        const int fd = ::open(mOptions.journalFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        struct stat st {};
        const bool ok =
            fd >= 0 && ::fstat(fd, &st) == 0 &&
            (!S_ISREG(st.st_mode) || (::fchmod(fd, 0600) == 0 && ::ftruncate(fd, 0) == 0));
        mJournalFile = ok ? ::fdopen(fd, "w") : nullptr;
        if (!mJournalFile) {
            *error = "cannot write the journal " + mOptions.journalFile.string() + ": " +
                     std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return false;
        }
    }
    return true;
}

bool SiteCore::fault(Fault which) const {
    return mFaults[static_cast<std::size_t>(which)].load();
}

void SiteCore::setFault(Fault which, bool on) {
    mFaults[static_cast<std::size_t>(which)].store(on);
}

void SiteCore::setRedirectCookies(std::optional<std::vector<std::string>> names) {
    std::lock_guard lock(mMutex);
    mRedirectCookies = std::move(names);
}

void SiteCore::setDelay(Exchange exchange, std::chrono::milliseconds delay) {
    std::lock_guard lock(mMutex);
    mDelays[static_cast<std::size_t>(exchange)] = std::max(delay, std::chrono::milliseconds(0));
}

void SiteCore::clearFaults() {
    for (auto &f : mFaults)
        f.store(false);
    std::lock_guard lock(mMutex);
    mRedirectCookies.reset();
    mDelays.fill(std::chrono::milliseconds(0));
}

std::vector<StoredPhoto> SiteCore::photos(const std::string &email) {
    return mStore.photos(email);
}

std::vector<std::string> SiteCore::albums(const std::string &email) {
    return mStore.albums(email);
}

} // namespace nubelo::site
