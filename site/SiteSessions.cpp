// Sessions: the "sid" cookie, the account it names, and the uploads begun and stored in it.

#include "SiteCore.h"

#include "SiteRequest.h"
#include "SiteText.h"

namespace nubelo::site {

std::optional<std::string> SiteCore::sessionAccount(const HttpRequest &request) const {
    const auto sid = sessionCookie(request);
    if (!sid)
        return std::nullopt;
    std::lock_guard lock(mMutex);
    const auto it = mSessions.find(*sid);
    if (it == mSessions.end())
        return std::nullopt;
    return it->second.email;
}

std::uint64_t SiteCore::beginUpload(const HttpRequest &request) {
    const auto sid = sessionCookie(request);
    if (!sid)
        return 0;
    std::lock_guard lock(mMutex);
    const auto it = mSessions.find(*sid);
    return it == mSessions.end() ? 0 : ++it->second.uploads;
}

void SiteCore::uploadStored(const HttpRequest &request, std::uint64_t upload) {
    const auto sid = sessionCookie(request);
    if (!sid)
        return;
    std::lock_guard lock(mMutex);
    if (const auto it = mSessions.find(*sid); it != mSessions.end())
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
        for (const auto &account : mOptions.accounts)
            if (equalsIgnoreCase(account.email, *email) && account.password == *password)
                return &account;
    }
    return nullptr;
}

std::size_t SiteCore::sessionCount() const {
    std::lock_guard lock(mMutex);
    return mSessions.size();
}

} // namespace nubelo::site
