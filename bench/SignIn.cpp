#include "Comparisons.h"

#include "Harness.h"
#include "NubeloConnections.h"
#include "SiteProcess.h"

#include <algorithm>
#include <chrono>

namespace bench {

void signIn(Harness &harness) {
    const Options &o = harness.options();
    say(QStringLiteral("4. sign-in round trip"));
    Figure &f =
        harness.add(QStringLiteral("4"), QStringLiteral("Sign-in (authenticate) on loopback"),
                    QStringLiteral("ms"));
    f.aim = Figure::Aim::ValueBelow;
    f.limit = 20;
    SiteProcess site;
    QString why;
    if (!site.start(o.siteProgram, harness.folder(QStringLiteral("site-4")), &why)) {
        harness.skip({f.id}, why);
        return;
    }
    PluginConfig config;
    config.siteHost = site.siteHost;
    config.uploadHost = site.uploadHost;
    {
        NubeloConnections client(config);
        // The first exchange also starts the network thread and opens the connection.
        client.authenticate(kEmail, kPassword);
        client.closeSession();
        const int reps = std::max(o.reps, o.quick ? 1 : 20);
        for (int i = 0; i < reps; ++i) {
            const auto begin = std::chrono::steady_clock::now();
            client.authenticate(kEmail, kPassword);
            const auto end = std::chrono::steady_clock::now();
            if (client.getState() != SessionLoggedIn) {
                harness.skip({f.id}, QStringLiteral("the sign-in failed"));
                return;
            }
            f.oursSamples.append(std::chrono::duration<double, std::milli>(end - begin).count());
            client.closeSession();
        }
    }
    f.ours = median(f.oursSamples);
    f.note = QStringLiteral("In-process, the login form's POST and its redirect with the "
                            "session cookie, then the home page; median of %1, the slowest %2 ms.")
                 .arg(f.oursSamples.size())
                 .arg(*std::max_element(f.oursSamples.begin(), f.oursSamples.end()), 0, 'f', 1);
}

} // namespace bench
