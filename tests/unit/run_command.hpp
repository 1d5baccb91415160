#ifndef QUORVELIN_TESTS_RUN_COMMAND_HPP
#define QUORVELIN_TESTS_RUN_COMMAND_HPP

// Runs a program with arguments and captures its exit status and output.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct command_result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A program still running after timeout_seconds (0: no limit) is killed by
// SIGALRM and reported with status -1.
inline command_result run_command(const std::vector<std::string>& argv, unsigned timeout_seconds = 0)
{
    char out_path[] = "/tmp/quorvelin-test-out-XXXXXX";
    char err_path[] = "/tmp/quorvelin-test-err-XXXXXX";
    int out_fd = mkstemp(out_path);
    int err_fd = mkstemp(err_path);
    command_result result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        alarm(timeout_seconds); // a pending alarm survives execv
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    close(out_fd);
    close(err_fd);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    unlink(out_path);
    unlink(err_path);
    return result;
}

// The quorvelin binary under test, with arguments.
inline command_result quorvelin(std::vector<std::string> args, unsigned timeout_seconds = 0)
{
    args.insert(args.begin(), QUORVELIN_BINARY);
    return run_command(args, timeout_seconds);
}

// init_options in this process, as if called with these arguments.
template <class InitOptions>
void call_init_options(InitOptions init_options, std::vector<std::string> args)
{
    args.insert(args.begin(), "quorvelin");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    init_options(static_cast<int>(args.size()), argv.data());
}

#endif
