// The floor of the benchmark: the least a relay can do that waits once,
// reads once and writes once per hop. It watches nothing, checks nothing
// and ends at the first end or error of either side; of what a correct relay
// must do it keeps only the idle time-out (a wait with a time-out arms a
// timer each time it sleeps, which a wait without one does not).
// Whatever quiln does beyond this shows as the distance to it; what this
// reaches against socat bounds what any relay of that shape can reach here.
// Prints its port, takes one connection, and relays it to the sink's port.
#include <poll.h>

#include "bench_common.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    const int listener = bench::listen_loopback();
    const int provider = bench::accept_one(listener);
    const int sink = bench::connect_loopback(std::atoi(argv[1]));
    const int ends[2] = {provider, sink};
    static char buffer[16384]; // as quiln's relay steps
    for (;;) {
        pollfd fds[2] = {{provider, POLLIN, 0}, {sink, POLLIN, 0}};
        const int ready = poll(fds, 2, 60 * 1000); // quiln's idle time-out
        if (ready < 0)
            bench::die("poll");
        if (ready == 0)
            return 1;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t n = recv(ends[i], buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return 0;
            bench::send_all(ends[1 - i], std::string_view(buffer, static_cast<std::size_t>(n)));
        }
    }
}
