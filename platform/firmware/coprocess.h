/*
 * A child process the machine talks to through its standard input and output
 * (standard error goes to the same stream). Writing to a child that has died
 * fails instead of raising SIGPIPE, and the destructor kills and reaps it, so
 * neither a crashed nor a stuck child can take the program down or outlive it.
 */
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace plat {

// The full path of a program found on PATH (or the name itself when it holds
// a '/' and is executable); empty when there is none.
std::string FindProgram(const std::string& name);

class CoProcess {
public:
    // Starts argv[0] (looked up on PATH) with this process's environment, in
    // which each "NAME=value" of environment replaces or adds its variable;
    // throws std::runtime_error when it cannot.
    // A memoryLimit above 0 caps the child's address space in bytes (set as
    // it starts): a child that asks for more has its allocations fail.
    explicit CoProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                       size_t memoryLimit = 0);
    ~CoProcess();
    CoProcess(const CoProcess&) = delete;
    CoProcess& operator=(const CoProcess&) = delete;

    // Writes all of text to the child's input; false once the child is gone.
    bool Write(const std::string& text);
    // Reads what the child wrote; 0 at the end of its output (it has exited or
    // closed it), -1 on an error.
    ssize_t Read(char* buffer, size_t size);
    // True when Read would not block (data, the end, or an error) within the limit.
    bool WaitReadable(std::chrono::milliseconds limit);
    // The descriptor Read reads, for a caller that waits on it together with
    // others of its own (poll, epoll); reading it stays with Read.
    int OutputDescriptor() const { return output_; }
    // Ends the child's input: a child that reads until the end then stops by itself.
    void CloseInput();
    // Kills the child (once); Read then returns 0.
    void Kill();
    // Waits for the child to end and returns its exit status (-1: ended by a signal).
    int Wait();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;   // our end of the child's standard input
    int output_ = -1;  // our end of the child's standard output and error
    bool killed_ = false;
    bool reaped_ = false;
    int exitStatus_ = -1;
};

// Runs a program to its end and returns its exit status (-1: killed by a signal
// or not started), with everything it wrote to standard output and error.
// A program still running after the time limit is killed.
int RunProgram(const std::vector<std::string>& argv, std::string* output,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace plat
