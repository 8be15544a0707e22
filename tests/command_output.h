#pragma once
// Test support: runs a shell command and keeps what it printed on standard
// output and its exit status.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

struct CommandRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string output;
    bool says(const std::string& s) const { return output.find(s) != std::string::npos; }
};

// s as one shell word.
inline std::string quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline CommandRun run_command(const std::string& command) {
    CommandRun r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    std::array<char, 4096> buffer{};
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) r.output.append(buffer.data(), n);
    const int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return r;
}
