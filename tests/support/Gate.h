#pragma once

#include <condition_variable>
#include <mutex>

namespace scripted {

// A door one thread waits at until another opens it.
class Gate {
public:
    void open() {
        const std::lock_guard locker(mMutex);
        mOpen = true;
        mOpened.notify_all();
    }
    void wait() {
        std::unique_lock locker(mMutex);
        mOpened.wait(locker, [this] { return mOpen; });
    }

private:
    std::mutex mMutex;
    std::condition_variable mOpened;
    bool mOpen = false;
};

} // namespace scripted
