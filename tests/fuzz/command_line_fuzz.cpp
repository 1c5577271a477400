// parse_command_line on any argument vector (the input split at NUL bytes).
// Each input runs in a child process, since a refused command line ends the
// process: it either returns with the settings complete, or exits with code
// 1 after one of its messages (or the usage text alone). Never a crash.
#include <algorithm>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "common/settings.h"

// Linked with --wrap=exit: in the child, a refusal must end the child with its
// own code, not run the fuzzer's exit handlers.
extern "C" [[noreturn]] void __real_exit(int code);
static bool in_child = false;
extern "C" [[noreturn]] void __wrap_exit(int code)
{
    if (in_child) {
        std::fflush(nullptr);
        _exit(code);
    }
    __real_exit(code);
}

namespace {

constexpr const char* messages[] = {
    "You must specify a valid port number after -a\n",
    "You must specify a valid port number after -p\n",
    "You must specify an IP address or a hostname after -s\n",
    "You must specify a valid AUTH method after -t.\nUse quiln -? to see the list of valid AUTH methods\n",
    "You must specify a domain name after -h\n",
    "Too many domains in command line (max 100)\n",
    "You must specify a number of pickups from 1 to 1000 after -r\n",
    "You must specify an idle time-out from 1 to 3600 seconds after -i\n",
    "You must specify a file of CA certificates after -c\n",
    "You must specify a SHA-256 fingerprint (64 hex digits) after -f\n",
    "You must specify the file that holds the secret after -k\n",
    "Give -c or -f, not both: trust a CA or pin one certificate\n",
    "-c and -f need -e or -E: without TLS no certificate is checked\n",
    "-e and -E cannot be used together\n",
    "TLS is not available in this build\n",
    "",
};

// A refusal that names the file it could not read.
constexpr const char unreadable_ca_file[] = "Cannot read the CA certificates in ";

bool known_refusal(const std::string& err, const std::string& out, const std::vector<std::string>& args)
{
    const bool usage = out.find("Use:\n  quiln [-a port]") != std::string::npos;
    // The whole argument, as given: it may hold any byte but NUL.
    for (const auto& a : args) {
        if (err == "Invalid argument: " + a + "\n")
            return usage;
    }
    if (err.rfind(unreadable_ca_file, 0) == 0 && err.back() == '\n' &&
        std::count(err.begin(), err.end(), '\n') == 1)
        return true;
    for (const char* m : messages) {
        if (err == m)
            return m[0] != '\0' || usage;
    }
    return false;
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args{"quiln"};
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < 130; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() || size == 0)
        args.push_back(current);
    if (size == 0)
        args.pop_back();

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        in_child = true;
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        std::vector<const char*> argv;
        for (const auto& a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        settings = default_settings;
        option_index = 1;
        parse_command_line(static_cast<int>(args.size()), argv.data());
        const Settings& s = settings;
        const bool complete = s.server != nullptr && s.user != nullptr &&
                              (s.secret != nullptr) != (s.secret_file != nullptr) &&
                              s.atrn_port >= 1 && s.atrn_port <= 65535 && s.smtp_port >= 1 && s.smtp_port <= 65535 &&
                              s.smtp_host != nullptr && s.ehlo_domain != nullptr && s.domain_count >= 0 &&
                              s.domain_count <= max_domains && s.pickup_limit >= 0 &&
                              s.pickup_limit <= pickup_limit_max && s.relay_idle_seconds >= 0 &&
                              s.relay_idle_seconds <= relay_idle_seconds_max &&
                              !(s.ca_file != nullptr && s.pin_set != 0) &&
                              !(s.starttls != 0 && s.tls_on_connect != 0) &&
                              (s.starttls != 0 || s.tls_on_connect != 0 || (s.ca_file == nullptr && s.pin_set == 0));
        _exit(complete ? 0 : 3);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    const std::string out = drain(out_pipe[0]);
    const std::string err = drain(err_pipe[0]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        std::abort(); // the child crashed
    const int code = WEXITSTATUS(status);
    if (code == 0 && out.empty() && err.empty())
        return 0;
    if (code == 1 && known_refusal(err, out, args))
        return 0;
    std::fprintf(stderr, "exit %d, stderr: %s\n", code, err.c_str());
    std::abort();
}
