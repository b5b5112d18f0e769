// nubelo-site: the stand-in Nubelo site as a program of its own.

#include "NubeloSite.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <pthread.h>
#include <string>
#include <string_view>

namespace {

void usage(std::FILE *to) {
    std::fputs(
        "usage: nubelo-site [OPTIONS]\n"
        "Serves the stand-in Nubelo site: the site host and the upload host on two ports.\n"
        "  --site-port P        port of the site host (default 0: the system picks)\n"
        "  --upload-port Q      port of the upload host (default 0: the system picks)\n"
        "  --data DIR           where photos are kept (default $XDG_DATA_HOME/nubelo-site,\n"
        "                       or ~/.local/share/nubelo-site)\n"
        "  --account EMAIL:PASSWORD\n"
        "                       an account that may sign in; repeat for more. Without one a\n"
        "                       demo account is made up and printed\n"
        "  --bind ADDR          address to listen on (default 127.0.0.1)\n"
        "  --max-upload BYTES   larger upload bodies are refused with 413 (default 67108864)\n"
        "  --max-buffered BYTES request bodies held at once, over all connections; a request\n"
        "                       past it is refused with 503 (default 268435456)\n"
        "  --journal FILE       write every request received to FILE as JSON lines (mode\n"
        "                       0600; passwords and session ids are written <redacted>)\n"
        "  --link KBITS:MS      emulate an uplink: read each connection's request bodies at\n"
        "                       KBITS kbit/s and wait MS milliseconds before every answer\n"
        "                       (e.g. 20000:30; default: as fast as loopback)\n"
        "  --help               this text\n"
        "Once listening it prints \"site-host ADDR:PORT\" and \"upload-host ADDR:PORT\".\n"
        "Ctrl-C or SIGTERM stops it.\n",
        to);
}

bool parsePort(std::string_view text, std::uint16_t *port) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535)
        return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseLink(std::string_view text, nubelo::site::Options *options) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string_view rate = text.substr(0, colon);
    const std::string_view delay = text.substr(colon + 1);
    std::uint64_t kbits = 0;
    unsigned ms = 0;
    const auto r = std::from_chars(rate.data(), rate.data() + rate.size(), kbits);
    const auto d = std::from_chars(delay.data(), delay.data() + delay.size(), ms);
    // Past a terabit a second the rate is loopback's anyway; the bound keeps kbits * 1000 whole.
    if (r.ec != std::errc() || r.ptr != rate.data() + rate.size() || kbits == 0 ||
        kbits > 1'000'000'000 || d.ec != std::errc() || d.ptr != delay.data() + delay.size() ||
        ms > 60'000)
        return false;
    options->linkBitsPerSecond = kbits * 1000;
    options->linkDelay = std::chrono::milliseconds(ms);
    return true;
}

std::filesystem::path defaultDataDir() {
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "nubelo-site";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local/share/nubelo-site";
    return {};
}

int fail(const std::string &message) {
    std::fprintf(stderr, "nubelo-site: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    nubelo::site::Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool haveValue = false;
        if (arg.substr(0, 2) == "--") {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                haveValue = true;
            }
        }
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        auto next = [&]() -> bool {
            if (haveValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        if (arg == "--site-port" || arg == "--upload-port") {
            std::uint16_t *port = arg == "--site-port" ? &options.sitePort : &options.uploadPort;
            if (!next() || !parsePort(value, port))
                return fail(std::string(arg) + " wants a port number from 0 to 65535");
        } else if (arg == "--data") {
            if (!next() || value.empty())
                return fail("--data wants a folder");
            options.dataDir = std::string(value);
        } else if (arg == "--account") {
            const auto colon = next() ? value.find(':') : std::string_view::npos;
            if (colon == std::string_view::npos || colon == 0 || colon + 1 == value.size())
                return fail("--account wants EMAIL:PASSWORD");
            options.accounts.push_back(
                {std::string(value.substr(0, colon)), std::string(value.substr(colon + 1))});
        } else if (arg == "--bind") {
            if (!next() || value.empty())
                return fail("--bind wants an address");
            options.bind = std::string(value);
        } else if (arg == "--max-upload" || arg == "--max-buffered") {
            std::uint64_t bytes = 0;
            const bool ok = next();
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), bytes);
            if (!ok || ec != std::errc() || end != value.data() + value.size() || bytes == 0)
                return fail(std::string(arg) + " wants a number of bytes");
            (arg == "--max-upload" ? options.maxUpload : options.maxBuffered) = bytes;
        } else if (arg == "--link") {
            if (!next() || !parseLink(value, &options))
                return fail("--link wants KBITS:MS, e.g. 20000:30 (kbit/s above 0)");
        } else if (arg == "--journal") {
            if (!next() || value.empty())
                return fail("--journal wants a file");
            options.journalFile = std::string(value);
        } else {
            usage(stderr);
            return fail("unknown argument: " + std::string(arg));
        }
    }
    const bool demo = options.accounts.empty();
    if (options.dataDir.empty()) {
        options.dataDir = defaultDataDir();
        if (options.dataDir.empty())
            return fail("no --data folder given and no HOME to put one in");
    }

    // The site's threads inherit this mask, so the two signals reach only sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto site = nubelo::site::Site::start(options, &error);
    if (!site)
        return fail(error);
    std::printf("site-host %s\nupload-host %s\ndata %s\n", site->siteHost().c_str(),
                site->uploadHost().c_str(), options.dataDir.c_str());
    if (demo) {
        const auto account = site->demoAccount();
        std::printf("account %s:%s\n", account.email.c_str(), account.password.c_str());
    }
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    site.reset();
    return 0;
}
