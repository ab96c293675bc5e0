// Work in a thread beside the caller's, for the companions' pipelines (the
// change pass's reading and writing, an output's rows of tiles written in
// the background).
#ifndef BESIDE_H
#define BESIDE_H

#include <system_error>
#include <thread>

// Work in a thread beside this one, joined at the latest when the Beside
// goes; run here at once when no thread can be had. Not moved once started.
struct Beside {
    std::thread thread;
    template <typename Work>
    void start(Work work)
    {
        try {
            thread = std::thread(work);
        } catch (const std::system_error &) {
            work();
        }
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    ~Beside() { join(); }
};

#endif
