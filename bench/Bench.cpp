#include "Bench.h"

#include "Comparisons.h"
#include "Harness.h"
#include "NetworkThread.h"

namespace bench {

int runBench(const Options &options) {
    const auto wanted = [&options](int comparison) {
        return options.only.isEmpty() || options.only.contains(QString::number(comparison));
    };
    Harness harness(options);
    if (!harness.begin(wanted(1) || wanted(2) || wanted(3) || wanted(5) || wanted(7)))
        return 1;
    if (wanted(1))
        photosToPng(harness);
    if (wanted(2))
        uploads(harness);
    if (wanted(3) || wanted(5))
        wholeRun(harness);
    if (wanted(4))
        signIn(harness);
    if (wanted(6))
        supportLibrary(harness);
    if (wanted(7))
        uplink(harness);
    // After the last request (the sign-in's) and before the application object goes.
    platform::shutdown();
    return harness.finish();
}

} // namespace bench
