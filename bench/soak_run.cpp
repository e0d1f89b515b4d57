// soak_run [hours]: polls the simulated meter for the given hours of virtual
// time (24 by default) and prints the requests, the frames shown, the log
// and the heap in use at each hour.
#include "simulated_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int hours = argc > 1 ? std::atoi(argv[1]) : 24;
    const auto started = std::chrono::steady_clock::now();
    const auto figures = reliability::runSoak(hours);
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    if (figures.heapAtHour.empty()) {
        std::puts("the meter was never listed");
        return 1;
    }
    for (std::size_t hour = 0; hour < figures.heapAtHour.size(); ++hour)
        std::printf("hour %2zu: heap in use %zu bytes\n", hour + 1, figures.heapAtHour[hour]);
    std::printf("virtual hours: %d (wall %.1f s)\n", hours, wall.count());
    std::printf("measurement requests: %zu\nframes shown: %zu\nlog lines: %zu\n", figures.requests,
                figures.framesShown, figures.logLines);
    std::printf("heap growth from hour 1 to hour %d: %lld bytes\n", hours,
                static_cast<long long>(figures.heapAtHour.back()) -
                    static_cast<long long>(figures.heapAtHour.front()));
    std::printf("longest callback: %.3f ms\n",
                std::chrono::duration<double, std::milli>(figures.longestCallback).count());
    std::printf("malformed log line: %s\n", figures.logFault.empty() ? "none" : figures.logFault.c_str());
    return figures.logFault.empty() ? 0 : 1;
}
