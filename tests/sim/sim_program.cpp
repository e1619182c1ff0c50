#include "sim_program.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace korvath::sim::test {

SimProgram::SimProgram(const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);

    std::vector<std::string> all = {KORVATH_SIM_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (rc != 0) throw std::runtime_error("posix_spawn");
}

SimProgram::~SimProgram() {
    if (pid_ > 0) {
        signal(SIGKILL);
        wait();
    }
    closeInput();
    if (output_ >= 0) close(output_);
}

std::string SimProgram::readLine(int timeoutMs) {
    for (;;) {
        const auto end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        pollfd fd{output_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) return {};
        char chunk[256];
        const ssize_t n = read(output_, chunk, sizeof chunk);
        if (n <= 0) return {};
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool SimProgram::outputEnds(int timeoutMs) {
    for (;;) {
        pollfd fd{output_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) return false;
        char chunk[256];
        if (read(output_, chunk, sizeof chunk) <= 0) return true;
    }
}

void SimProgram::closeInput() {
    if (input_ >= 0) close(input_);
    input_ = -1;
}

void SimProgram::signal(int number) {
    if (pid_ > 0) kill(pid_, number);
}

int SimProgram::wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, 0);
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace korvath::sim::test
