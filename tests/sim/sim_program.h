// Runs the korvath-sim program for a test: waits for its ready line (the pseudo-terminal path)
// and stops it by its process id.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace korvath::sim::test {

class SimProgram {
  public:
    /// Starts the program with `args`; stdin and stdout are pipes to this process.
    explicit SimProgram(const std::vector<std::string>& args);
    ~SimProgram();

    SimProgram(const SimProgram&) = delete;
    SimProgram& operator=(const SimProgram&) = delete;

    /// The first output line, waited for at most `timeoutMs`; empty when none came.
    std::string readLine(int timeoutMs = 10000);
    /// True when the program's output ended (it exited) within `timeoutMs`.
    bool outputEnds(int timeoutMs = 10000);
    void closeInput();
    void signal(int number);
    /// Reaps the program; its exit status, or -1 when it did not exit normally.
    int wait();

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

}  // namespace korvath::sim::test
