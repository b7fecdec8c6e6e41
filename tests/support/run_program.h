// Runs a built program (skanvert by default, or vekgen) in a scratch
// working folder and captures its standard output, standard error and exit
// status separately, through pipes, so that a file size limit does not cut
// them. Runs may also set what a plain run cannot: a file size limit,
// another user, a wrapper program such as valgrind, and a watcher that may
// signal the program while it runs.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1000;  // exit status as the shell sees it (0..255), or -signal
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A scratch working folder holding a link "skanvert" to the built program,
// so that its settings file is "./skanvert.ini" there. Removed at the end.
class Workspace {
public:
    Workspace() {
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() /
               ("skanvert-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
        std::filesystem::create_symlink(SKANVERT_BIN, dir_ / "skanvert");
    }
    ~Workspace() {
        std::error_code ec;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(dir_, ec);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void write(const std::string& name, const std::string& content) const { writeFile(dir_ / name, content); }
    std::string read(const std::string& name) const { return readFile(dir_ / name); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
    // Names in the folder other than the program's link and the captures.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (name != "skanvert" && name.rfind(".capture", 0) != 0) names.push_back(name);
        }
        return names;
    }

    // Runs "./skanvert args..." in the folder; stdin gets `input`, or
    // /dev/null when none is given.
    RunResult run(const std::vector<std::string>& args, const std::optional<std::string>& input = std::nullopt) const;

private:
    std::filesystem::path dir_;
};

struct LaunchOptions {
    std::string program = "./skanvert";        // the program, from the workspace folder
    std::vector<std::string> wrapper;          // program and options put before it
    std::optional<rlim_t> fileSizeLimit;       // RLIMIT_FSIZE of the program
    bool fileSizeSignalKills = false;          // false: SIGXFSZ ignored, so writes fail with EFBIG
    std::optional<uid_t> user;                 // run as this user and group id (needs root)
    std::optional<std::string> input;          // standard input; /dev/null when none
    std::function<void(pid_t)> whileRunning;   // called once the program runs, before the wait
    int timeoutSeconds = 300;                  // then the program is killed (status -SIGKILL)
};

namespace detail {

// Drops to `id` as user and group, without supplementary groups.
inline bool becomeUser(uid_t id) {
    return setgroups(0, nullptr) == 0 && setgid(static_cast<gid_t>(id)) == 0 && setuid(id) == 0;
}

// Reads both pipes to their ends.
inline void drain(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    char buffer[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace detail

inline RunResult launch(const Workspace& ws, const std::vector<std::string>& args, const LaunchOptions& options = {}) {
    const std::string inPath = (ws.dir() / ".capture.launch.in").string();
    if (options.input) writeFile(inPath, *options.input);
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};

    std::vector<std::string> argStore = options.wrapper;
    argStore.push_back(options.program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(options.input ? inPath.c_str() : "/dev/null", O_RDONLY);
        if (in < 0 || chdir(ws.dir().c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        const rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        if (options.fileSizeLimit) {
            const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        signal(SIGXFSZ, options.fileSizeSignalKills ? SIG_DFL : SIG_IGN);
        if (options.user && !detail::becomeUser(*options.user)) _exit(126);
        if (options.wrapper.empty()) {
            execv(options.program.c_str(), argv.data());
        } else {
            execvp(argv[0], argv.data());
        }
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult result;
    std::thread reader(detail::drain, outPipe[0], errPipe[0], std::ref(result.out), std::ref(result.err));
    if (options.whileRunning) options.whileRunning(pid);
    // A program that hangs is killed, so that the test fails instead.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    std::error_code ec;
    std::filesystem::remove(inPath, ec);
    return result;
}

// True when a process running as `id` can run the built program and read
// the workspace: the condition for running the program as that user.
inline bool userCanRun(uid_t id, const Workspace& ws) {
    const pid_t pid = fork();
    if (pid == 0) {
        const bool ok = detail::becomeUser(id) && access(SKANVERT_BIN, X_OK) == 0 &&
                        access(ws.dir().c_str(), R_OK | X_OK) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first directory of PATH that holds an executable `program`, or empty.
inline std::string findProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        const std::string candidate = dir + "/" + program;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

inline RunResult Workspace::run(const std::vector<std::string>& args, const std::optional<std::string>& input) const {
    LaunchOptions options;
    options.input = input;
    return launch(*this, args, options);
}

}  // namespace testsupport
