/* Child processes on sockets: no SIGPIPE, no orphans. */
#include "firmware/coprocess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace plat {

namespace {

void CloseFd(int& fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::string ErrorText(int error)
{
    return std::strerror(error);
}

}  // namespace

std::string FindProgram(const std::string& name)
{
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string::npos) {
        return access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t colon = directories.find(':', start);
        std::string directory = directories.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        std::error_code error;
        if (access(candidate.c_str(), X_OK) == 0 && std::filesystem::is_regular_file(candidate, error)) {
            return candidate;
        }
        if (colon == std::string::npos) {
            return {};
        }
        start = colon + 1;
    }
}

// Sockets rather than pipes: a write to a dead child can then be told not to
// raise SIGPIPE (MSG_NOSIGNAL) without touching the process's signal state.
CoProcess::CoProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                     size_t memoryLimit)
{
    if (argv.empty()) {
        throw std::runtime_error("no program to start");
    }
    std::string program = FindProgram(argv[0]);
    if (program.empty()) {
        throw std::runtime_error(argv[0] + " not found");
    }
    int input[2];
    int output[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
        throw std::runtime_error("cannot create a socket for " + argv[0] + ": " + ErrorText(errno));
    }
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, output) != 0) {
        int error = errno;
        close(input[0]);
        close(input[1]);
        throw std::runtime_error("cannot create a socket for " + argv[0] + ": " + ErrorText(error));
    }

    // dup2 clears close-on-exec on the child's copies; every other descriptor
    // of ours (close-on-exec here) stays out of the child.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);

    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> variables;
    for (const std::string& variable : environment) {
        variables.push_back(const_cast<char*>(variable.c_str()));
    }
    for (char** inherited = environ; *inherited != nullptr; ++inherited) {
        std::string_view name(*inherited, std::strcspn(*inherited, "="));
        bool replaced = false;
        for (const std::string& variable : environment) {
            replaced = replaced || (variable.size() > name.size() && variable.compare(0, name.size(), name) == 0 &&
                                    variable[name.size()] == '=');
        }
        if (!replaced) {
            variables.push_back(*inherited);
        }
    }
    variables.push_back(nullptr);
    int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input[1]);
    close(output[1]);
    if (error != 0) {
        close(input[0]);
        close(output[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + program + ": " + ErrorText(error));
    }
    input_ = input[0];
    output_ = output[0];
    // Before the child has done much: the loader maps the program and its libraries first.
    if (memoryLimit > 0) {
        rlimit limit = {rlim_t(memoryLimit), rlim_t(memoryLimit)};
        prlimit(pid_, RLIMIT_AS, &limit, nullptr);
    }
}

CoProcess::~CoProcess()
{
    Kill();
    Wait();
    CloseFd(input_);
    CloseFd(output_);
}

bool CoProcess::Write(const std::string& text)
{
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = send(input_, text.data() + written, text.size() - written, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += size_t(n);
    }
    return true;
}

ssize_t CoProcess::Read(char* buffer, size_t size)
{
    for (;;) {
        ssize_t n = read(output_, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

bool CoProcess::WaitReadable(std::chrono::milliseconds limit)
{
    pollfd entry = {output_, POLLIN, 0};
    int n;
    do {
        n = poll(&entry, 1, int(limit.count()));
    } while (n < 0 && errno == EINTR);
    return n != 0;
}

void CoProcess::CloseInput()
{
    shutdown(input_, SHUT_WR);
}

// The pid stays valid until Wait() reaps the child, so a kill never reaches
// another process that happens to reuse the number.
void CoProcess::Kill()
{
    if (pid_ > 0 && !killed_ && !reaped_) {
        killed_ = true;
        kill(pid_, SIGKILL);
    }
}

int CoProcess::Wait()
{
    if (pid_ <= 0 || reaped_) {
        return exitStatus_;
    }
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    reaped_ = true;
    exitStatus_ = (done == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return exitStatus_;
}

int RunProgram(const std::vector<std::string>& argv, std::string* output, std::chrono::milliseconds limit)
{
    output->clear();
    CoProcess child(argv);
    child.CloseInput();
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !child.WaitReadable(left)) {
            child.Kill();
            child.Wait();
            output->append("\n(" + argv[0] + " did not finish in time and was stopped)");
            return -1;
        }
        ssize_t n = child.Read(buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        output->append(buffer, size_t(n));
    }
    return child.Wait();
}

}  // namespace plat
