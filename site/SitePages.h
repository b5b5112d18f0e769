#pragma once

// The replies and pages the site writes: plain text, the sign-in and home pages, the gallery.
// Pure functions of what they are given; the exchanges decide which one to send.

#include "PhotoStore.h"
#include "SiteCore.h"

#include <string>
#include <string_view>
#include <vector>

namespace nubelo::site {

// Where a sign-in sends the browser on.
inline constexpr std::string_view kHomeTarget = "/?m=Home&func=index";

HttpReply textReply(int status, std::string_view text);
HttpReply htmlReply(int status, const std::string &title, const std::string &content);
// No answer at all: the connection is closed.
HttpReply droppedReply();

HttpReply loginPage(std::string_view message);
HttpReply homePage(const std::string &email);
// The redirect after a sign-in, to `location` (which names kHomeTarget); the cookies are the
// caller's.
HttpReply signedInPage(const std::string &location);
HttpReply signedOutPage();
HttpReply galleryPage(const std::string &email, const std::vector<std::string> &albums,
                      const std::vector<StoredPhoto> &photos);
// A stored photo, typed by its first bytes.
HttpReply photoReply(const std::string &bytes);

} // namespace nubelo::site
