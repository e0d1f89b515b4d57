// soak_run [hours]: polls the simulated meter for the given hours of virtual
// time (24 by default) and prints the requests, the frames shown, the log
// and the heap in use at each hour.
#include "simulated_radio/simulated_peripheral.h"
#include "simulated_session.h"
#include "timed_scheduler.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int hours = argc > 1 ? std::atoi(argv[1]) : 24;
    const auto started = std::chrono::steady_clock::now();
    auto clock = std::make_shared<simradio::VirtualClock>();
    auto timing = std::make_shared<TimedScheduler>(clock);
    reliability::SimulatedSession session(simradio::defaultWorld(), clock, timing);
    session.toggleScan(true);
    if (!session.selectByName("SIM Thermo-Hygrometer")) {
        std::puts("the meter was never listed");
        return 1;
    }
    std::vector<std::size_t> heapAtHour;
    for (int hour = 1; hour <= hours; ++hour) {
        clock->advanceBy(simradio::Duration{3'600'000});
        if (const auto heap = reliability::heapInUse())
            heapAtHour.push_back(*heap);
    }
    // Printed afterwards: the output's own buffer is not the program's heap.
    for (std::size_t hour = 0; hour < heapAtHour.size(); ++hour)
        std::printf("hour %2zu: heap in use %zu bytes\n", hour + 1, heapAtHour[hour]);
    if (heapAtHour.empty())
        std::puts("heap in use: not told by this C library");
    // The answer to the last tick's request.
    clock->advanceBy(simradio::Duration{1'000});
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
    std::printf("virtual hours: %d (wall %.1f s)\n", hours, wall.count());
    std::printf("measurement requests: %zu\nframes shown: %d\nlog lines: %zu\n",
                session.peripheral("02:00:5E:10:00:01")->measurementRequestsReceived(),
                session.temperature->writes + session.humidity->writes, session.log->lines);
    if (!heapAtHour.empty())
        std::printf("heap growth from hour 1 to hour %d: %lld bytes\n", hours,
                    static_cast<long long>(heapAtHour.back()) - static_cast<long long>(heapAtHour.front()));
    std::printf("longest callback: %.3f ms\n",
                std::chrono::duration<double, std::milli>(timing->longest).count());
    const auto& fault = session.log->firstFault;
    std::printf("malformed log line: %s\n", fault.empty() ? "none" : fault.c_str());
    return fault.empty() ? 0 : 1;
}
