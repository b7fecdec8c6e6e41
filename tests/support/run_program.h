// Runs the built skanvert in a scratch working folder and captures its
// standard output, standard error and exit status separately.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
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
    RunResult run(const std::vector<std::string>& args, const std::optional<std::string>& input = std::nullopt) const {
        const auto outPath = dir_ / ".capture.out", errPath = dir_ / ".capture.err", inPath = dir_ / ".capture.in";
        if (input) writeFile(inPath, *input);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0) _exit(127);
            const int in = open(input ? inPath.c_str() : "/dev/null", O_RDONLY);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<std::string> argStore{"./skanvert"};
            argStore.insert(argStore.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : argStore) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv("./skanvert", argv.data());
            _exit(127);
        }
        RunResult result;
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        std::error_code ec;
        std::filesystem::remove(outPath, ec);
        std::filesystem::remove(errPath, ec);
        std::filesystem::remove(inPath, ec);
        return result;
    }

private:
    std::filesystem::path dir_;
};

}  // namespace testsupport
