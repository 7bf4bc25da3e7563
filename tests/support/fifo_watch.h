// Tells whether a call blocked on a FIFO, without hanging the test when it did.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace brc::test {

// Runs `call` while watching the FIFOs in `fifos`: should the call still be running after a few
// seconds, a writer opens and closes each FIFO, again and again until the call returns, which
// releases any reader waiting on one. True when a reader was there to release, i.e. when the
// call blocked on a FIFO.
inline bool blockedOnFifo(const std::vector<std::string>& fifos, const std::function<void()>& call) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, released = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        auto wait = std::chrono::seconds(5);
        while (!cv.wait_for(lock, wait, [&] { return done; })) {
            for (const std::string& fifo : fifos) {
                // Succeeds only while a reader has the FIFO open or is opening it.
                const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    released = true;
                    ::close(fd);
                }
            }
            wait = std::chrono::seconds(1);
        }
    });
    call();
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
    return released;
}

} // namespace brc::test
